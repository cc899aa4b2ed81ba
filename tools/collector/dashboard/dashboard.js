// The collector's dashboard: reads /api/apps, /api/summary and /api/retention and shows them,
// and a funnel of the steps the user picks from /api/funnel. Every value that comes from
// events goes into the page as text (textContent), never as markup. The app, the range and
// the funnel's steps are kept in the page's URL (?app=ID&days=N&step=S...), so a view can be
// linked.
"use strict";

const REFRESH_MS = 10000;
const RANGES = ["7", "30", "90"];
const MAX_SHOWN_STEPS = 5;
const charts = {};
const linked = new URLSearchParams(window.location.search);
// The app the URL asked for, until the picker has offered it once.
let wantedApp = linked.get("app");
// The funnel's steps the URL asked for, shown once the first summary is in.
let wantedSteps = linked.getAll("step").slice(0, MAX_SHOWN_STEPS);
// The query of the view shown (app, from, to), for the funnel.
let shownQuery = null;
if (RANGES.includes(linked.get("days"))) document.getElementById("range").value = linked.get("days");

function utcDay(offsetDays) {
  const day = new Date(Date.now() + offsetDays * 86400000);
  return day.toISOString().slice(0, 10);
}

async function getJson(path) {
  const answer = await fetch(path, { cache: "no-store" });
  // The session ended (or the collector's tokens changed): back to the login page.
  if (answer.status === 401) window.location.assign("/login");
  if (!answer.ok) {
    // The collector says what was wrong with the query (a funnel's step, say).
    let problem = "HTTP " + answer.status;
    try {
      problem = (await answer.json()).error || problem;
    } catch (error) {
      // Not JSON: the status says it.
    }
    throw new Error(path.split("?")[0] + ": " + problem);
  }
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

// "16m 30s" for 990 seconds.
function duration(seconds) {
  const whole = Math.round(seconds);
  if (whole < 60) return whole + "s";
  if (whole < 3600) return Math.floor(whole / 60) + "m " + String(whole % 60).padStart(2, "0") + "s";
  return Math.floor(whole / 3600) + "h " + String(Math.floor(whole / 60) % 60).padStart(2, "0") + "m";
}

// Horizontal bars in container `id`: one row per item, its label, a bar as long as its value
// is against the largest, and the value's text. Records on the container how many it drew.
function drawBars(id, items) {
  const container = document.getElementById(id);
  container.replaceChildren();
  const largest = Math.max(1, ...items.map((item) => item.value));
  for (const item of items) {
    const row = document.createElement("div");
    row.className = "bar-row";
    const label = document.createElement("span");
    label.className = "bar-label";
    label.textContent = item.label;
    const track = document.createElement("div");
    track.className = "bar-track";
    const fill = document.createElement("div");
    fill.className = "bar-fill";
    fill.style.width = (100 * item.value / largest).toFixed(1) + "%";
    track.appendChild(fill);
    const value = document.createElement("span");
    value.className = "bar-value";
    value.textContent = item.text;
    if (item.title) row.title = item.title;
    row.append(label, track, value);
    container.appendChild(row);
  }
  container.dataset.drawn = String(items.length);
}

// The steps the summary suggests for a funnel: its pages, events and custom events.
function suggestSteps(summary) {
  const steps = [
    ...summary.topPages.map((p) => "pageview:" + p.title),
    ...summary.topEvents.map((e) => "event:" + e.category + "/" + e.action),
    ...summary.customEvents.map((e) => "custom:" + e.name),
  ];
  const list = document.getElementById("step-suggestions");
  list.replaceChildren();
  for (const step of steps) {
    const option = document.createElement("option");
    option.value = step;
    list.appendChild(option);
  }
}

function show(summary) {
  const totals = summary.totals;
  setText("tile-users", totals.users);
  setText("tile-sessions", totals.sessions);
  setText("tile-avg-session", totals.sessions > 0 ? duration(totals.avgSessionSeconds) : "–");
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
  drawBars("platforms-bars", summary.platforms.map((p) => ({
    label: p.os + (p.osVersion ? " " + p.osVersion : ""), value: p.clients, text: String(p.clients),
    title: p.events + " events",
  })));
  drawBars("versions-bars", summary.appVersions.map((v) => ({
    label: v.version, value: v.clients, text: String(v.clients), title: v.events + " events",
  })));
  fillTable("locales-table", summary.locales, ["locale", "clients"]);
  suggestSteps(summary);
}

// The cohorts as a table: each row a cohort, each cell the share of it with an event in that
// period after its first, shaded by that share.
function showRetention(retention) {
  const table = document.getElementById("retention-table");
  const periods = Math.max(0, ...retention.cohorts.map((c) => c.retained.length));
  const unit = retention.period === "day" ? "day " : "week ";
  const head = document.createElement("tr");
  for (const text of ["Cohort", "Clients", ...Array.from({ length: periods }, (_, k) => unit + k)]) {
    const th = document.createElement("th");
    th.textContent = text;
    head.appendChild(th);
  }
  table.tHead.replaceChildren(head);
  const body = table.tBodies[0];
  body.replaceChildren();
  for (const cohort of retention.cohorts) {
    const tr = document.createElement("tr");
    for (const text of [cohort.cohort, String(cohort.size)]) {
      const td = document.createElement("td");
      td.textContent = text;
      tr.appendChild(td);
    }
    for (const clients of cohort.retained) {
      const rate = cohort.size > 0 ? clients / cohort.size : 0;
      const td = document.createElement("td");
      td.textContent = Math.round(100 * rate) + "%";
      td.title = clients + " of " + cohort.size + " clients";
      td.style.backgroundColor = "rgba(47, 111, 222, " + (0.08 + 0.72 * rate).toFixed(2) + ")";
      if (rate > 0.5) td.style.color = "#fff";
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
  table.dataset.cohorts = String(retention.cohorts.length);
}

function funnelSteps() {
  return Array.from(document.querySelectorAll(".funnel-step"))
    .map((input) => input.value.trim())
    .filter((step) => step !== "");
}

// Asks the collector for the funnel of the steps entered, over the view's range, and shows
// each step's clients against the first step's.
async function showFunnel() {
  const status = document.getElementById("funnel-status");
  const steps = funnelSteps();
  if (!shownQuery || steps.length === 0) {
    status.textContent = "Enter at least one step.";
    return;
  }
  const query = new URLSearchParams(shownQuery);
  for (const step of steps) query.append("step", step);
  rememberSteps(steps);
  try {
    const json = await getJson("/api/funnel?" + query.toString());
    const first = json.steps.length > 0 ? json.steps[0].clients : 0;
    drawBars("funnel-bars", json.steps.map((s, k) => ({
      label: (k + 1) + ". " + s.step, value: s.clients,
      text: s.clients + (first > 0 ? " (" + Math.round(100 * s.clients / first) + "%)" : ""),
    })));
    status.textContent = "";
    document.body.dataset.funnel = "shown";
  } catch (error) {
    status.textContent = String(error.message);
  }
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
  for (const step of funnelSteps()) query.append("step", step);
  window.history.replaceState(null, "", "?" + query.toString());
  document.body.dataset.view = app + "/" + days;
}

function rememberSteps(steps) {
  const query = new URLSearchParams(window.location.search);
  query.delete("step");
  for (const step of steps) query.append("step", step);
  window.history.replaceState(null, "", "?" + query.toString());
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
    shownQuery = query;
    if (wantedSteps.length > 0) {
      const inputs = document.querySelectorAll(".funnel-step");
      wantedSteps.forEach((step, k) => { inputs[k].value = step; });
    }
    rememberView(app, days);
    linkCsv(query);
    show(await getJson("/api/summary?" + query.toString()));
    const retentionQuery = new URLSearchParams(query);
    retentionQuery.set("period", document.getElementById("retention-period").value);
    showRetention(await getJson("/api/retention?" + retentionQuery.toString()));
    if (wantedSteps.length > 0) {
      wantedSteps = [];
      // As a click on the button would.
      document.getElementById("funnel-button").click();
    }
    status.textContent = "updated " + new Date().toLocaleTimeString();
    document.body.dataset.loaded = "true";
  } catch (error) {
    status.textContent = String(error.message);
  }
}

// A new app or range: the funnel shown follows it.
async function changeView() {
  await refresh();
  if (document.body.dataset.funnel === "shown") await showFunnel();
}

document.getElementById("app").addEventListener("change", changeView);
document.getElementById("range").addEventListener("change", changeView);
document.getElementById("retention-period").addEventListener("change", refresh);
document.getElementById("funnel-form").addEventListener("submit", (event) => {
  event.preventDefault();
  showFunnel();
});
refresh();
setInterval(refresh, REFRESH_MS);
