// The collector's dashboard: reads /api/apps and /api/summary and shows them. Every value
// that comes from events goes into the page as text (textContent), never as markup. The app
// and the range are kept in the page's URL (?app=ID&days=N), so a view can be linked.
"use strict";

const REFRESH_MS = 10000;
const RANGES = ["7", "30", "90"];
const charts = {};
const linked = new URLSearchParams(window.location.search);
// The app the URL asked for, until the picker has offered it once.
let wantedApp = linked.get("app");
if (RANGES.includes(linked.get("days"))) document.getElementById("range").value = linked.get("days");

function utcDay(offsetDays) {
  const day = new Date(Date.now() + offsetDays * 86400000);
  return day.toISOString().slice(0, 10);
}

async function getJson(path) {
  const answer = await fetch(path, { cache: "no-store" });
  // The session ended (or the collector's tokens changed): back to the login page.
  if (answer.status === 401) window.location.assign("/login");
  if (!answer.ok) throw new Error(path + ": HTTP " + answer.status);
  return answer.json();
}

function setText(id, value) {
  document.getElementById(id).textContent = String(value);
}

function fillTable(id, rows, columns) {
  const body = document.querySelector("#" + id + " tbody");
  body.replaceChildren();
  for (const row of rows) {
    const tr = document.createElement("tr");
    for (const column of columns) {
      const td = document.createElement("td");
      td.textContent = String(row[column]);
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
}

function fillList(id, items) {
  const list = document.getElementById(id);
  list.replaceChildren();
  for (const text of items) {
    const li = document.createElement("li");
    li.textContent = text;
    list.appendChild(li);
  }
}

// Draws or updates the chart on canvas `id`; records on the canvas how many points it drew.
function drawChart(id, type, labels, datasets) {
  const canvas = document.getElementById(id);
  if (typeof Chart === "undefined") {
    canvas.dataset.drawn = "no Chart.js";
    return;
  }
  if (charts[id]) {
    charts[id].data.labels = labels;
    charts[id].data.datasets = datasets;
    charts[id].update();
  } else {
    charts[id] = new Chart(canvas, {
      type: type,
      data: { labels: labels, datasets: datasets },
      options: { animation: false, responsive: true, maintainAspectRatio: type !== "line",
                 indexAxis: type === "bar" ? "y" : "x", plugins: { legend: { display: type === "line" } } },
    });
  }
  canvas.dataset.drawn = String(labels.length);
}

function show(summary) {
  const totals = summary.totals;
  setText("tile-pageviews", totals.pageviews);
  setText("tile-classic-events", totals.classicEvents);
  setText("tile-custom-actions", totals.customActions);
  setText("tile-pulses", totals.pulses);
  setText("tile-custom-events", totals.customEvents);
  setText("tile-events", totals.events);
  setText("tile-starts", totals.starts);
  setText("tile-installs", totals.installs);
  setText("tile-clients", totals.clients);
  drawChart("daily-chart", "line", summary.daily.map((d) => d.day), [
    { label: "page views", data: summary.daily.map((d) => d.pageviews), borderColor: "#2f6fde", backgroundColor: "#2f6fde" },
    { label: "events", data: summary.daily.map((d) => d.events), borderColor: "#e08a1e", backgroundColor: "#e08a1e" },
  ]);
  drawChart("pages-chart", "bar", summary.topPages.map((p) => p.title), [
    { label: "views", data: summary.topPages.map((p) => p.views), backgroundColor: "#2f6fde" },
  ]);
  fillList("pages-list", summary.topPages.map((p) => p.title + " (" + p.views + ")"));
  fillTable("events-table", summary.topEvents, ["category", "action", "count"]);
  fillTable("campaigns-table", summary.campaigns, ["campaign", "source", "starts"]);
  fillTable("custom-table", summary.customEvents, ["name", "count"]);
  fillTable("properties-table", summary.customEventProperties, ["name", "key", "value", "count"]);
}

async function loadApps() {
  const picker = document.getElementById("app");
  const chosen = picker.value;
  const answer = await getJson("/api/apps");
  const apps = answer.apps;
  const names = answer.names || {};
  picker.replaceChildren();
  for (const app of apps) {
    const option = document.createElement("option");
    option.value = app;
    // A registered app shows its name (as text, never markup).
    option.textContent = Object.hasOwn(names, app) ? names[app] + " (" + app + ")" : app;
    picker.appendChild(option);
  }
  if (wantedApp !== null && apps.includes(wantedApp)) picker.value = wantedApp;
  else if (apps.includes(chosen)) picker.value = chosen;
  wantedApp = null;
}

// Keeps the view in the URL, without a new history entry per change.
function rememberView(app, days) {
  const query = new URLSearchParams({ app: app, days: days });
  window.history.replaceState(null, "", "?" + query.toString());
  document.body.dataset.view = app + "/" + days;
}

// Points the CSV links at the tables of the view shown.
function linkCsv(query) {
  for (const link of document.querySelectorAll("a.csv")) {
    const tableQuery = new URLSearchParams(query);
    tableQuery.set("table", link.dataset.table);
    link.href = "/api/summary.csv?" + tableQuery.toString();
  }
}

// No app has sent an event: how to point an SDK here.
function showEmpty(empty) {
  document.getElementById("empty").hidden = !empty;
  document.getElementById("summary").hidden = empty;
  const collectURL = window.location.origin + "/collect";
  setText("empty-cpp", 'ZEVSiteSupport::setCollectURL("' + collectURL + '");  // C++');
  setText("empty-c", 'zevsite_set_collect_url("' + collectURL + '");  /* C */');
}

async function refresh() {
  const status = document.getElementById("status");
  try {
    await loadApps();
    const app = document.getElementById("app").value;
    showEmpty(!app);
    if (!app) {
      status.textContent = "no events yet";
      document.body.dataset.loaded = "empty";
      return;
    }
    const days = Number(document.getElementById("range").value);
    const query = new URLSearchParams({ app: app, from: utcDay(1 - days), to: utcDay(0) });
    rememberView(app, days);
    linkCsv(query);
    show(await getJson("/api/summary?" + query.toString()));
    status.textContent = "updated " + new Date().toLocaleTimeString();
    document.body.dataset.loaded = "true";
  } catch (error) {
    status.textContent = String(error.message);
  }
}

document.getElementById("app").addEventListener("change", refresh);
document.getElementById("range").addEventListener("change", refresh);
refresh();
setInterval(refresh, REFRESH_MS);
