#include "ZEVSiteJourneys.h"

#include "ZEVSiteEventRecord.h"
#include "ZEVSiteSummaryFormat.h"

#include <cstdlib>
#include <map>

#include <nlohmann/json.hpp>

namespace zevsite::collector {

namespace {

constexpr std::int64_t kDayMillis = 86'400'000;

// Objects keep their members in the order written.
using Json = nlohmann::ordered_json;

// a / b rounded down (b > 0), for day numbers before 1970 too.
std::int64_t floorDivide(std::int64_t a, std::int64_t b) {
  return a / b - (a % b != 0 && a < 0 ? 1 : 0);
}

// The step `text` names, or nothing with `problem` set.
std::optional<FunnelStep> funnelStep(const std::string& text, std::string& problem) {
  using Kind = FunnelStep::Kind;
  if (!isQueryText(text, kLongestStepText)) {
    problem = "a step is at most " + std::to_string(kLongestStepText) +
              " bytes of UTF-8 text without control characters";
    return std::nullopt;
  }
  const std::size_t colon = text.find(':');
  const std::string kind = text.substr(0, colon);
  const std::string name = colon == std::string::npos ? "" : text.substr(colon + 1);
  FunnelStep step{Kind::PageView, name, "", text};
  if (colon != std::string::npos && kind == "pageview") return step;
  if (kind == "custom" && !name.empty() && isCustomEvent(name)) {
    step.kind = Kind::CustomEvent;
    return step;
  }
  if (kind == "action" && !name.empty()) {
    step.kind = Kind::CustomAction;
    return step;
  }
  const std::size_t slash = name.find('/');
  if (kind == "event" && slash != std::string::npos) {
    step.kind = Kind::Event;
    step.name = name.substr(0, slash);
    step.action = name.substr(slash + 1);
    return step;
  }
  problem =
      "a step is pageview:TITLE, event:CATEGORY/ACTION, custom:NAME (an event the host named) or "
      "action:ID";
  return std::nullopt;
}

}  // namespace

std::int64_t periodOfDay(std::int64_t dayNumber, RetentionPeriod period) {
  return period == RetentionPeriod::Day ? dayNumber : floorDivide(dayNumber + 3, 7);
}

std::int64_t firstDayOfPeriod(std::int64_t number, RetentionPeriod period) {
  return period == RetentionPeriod::Day ? number : number * 7 - 3;
}

std::optional<RetentionQuery> retentionQuery(const SummaryQuery& range, const std::string& period,
                                             std::string& problem) {
  if (period != "" && period != "day" && period != "week") {
    problem = "period is day or week";
    return std::nullopt;
  }
  RetentionQuery query{range, period == "day" ? RetentionPeriod::Day : RetentionPeriod::Week};
  if (query.period == RetentionPeriod::Day &&
      *parseDay(range.to) - *parseDay(range.from) >= kMaxDailyRetentionDays) {
    problem = "by day, the range is at most " + std::to_string(kMaxDailyRetentionDays) + " days";
    return std::nullopt;
  }
  return query;
}

std::optional<FunnelQuery> funnelQuery(const SummaryQuery& range,
                                       const std::vector<std::string>& steps,
                                       std::string& problem) {
  if (steps.empty() || steps.size() > kMostFunnelSteps) {
    problem = "a funnel has 1 to " + std::to_string(kMostFunnelSteps) + " steps (step=...)";
    return std::nullopt;
  }
  FunnelQuery query{range, {}};
  for (const std::string& text : steps) {
    auto step = funnelStep(text, problem);
    if (!step) return std::nullopt;
    query.steps.push_back(std::move(*step));
  }
  return query;
}

std::string retentionJson(const Retention& retention) {
  Json cohorts = Json::array();
  for (const auto& cohort : retention.cohorts) {
    cohorts.push_back(
        {{"cohort", cohort.start}, {"size", cohort.size}, {"retained", cohort.retained}});
  }
  const SummaryQuery& range = retention.query.range;
  const Json json = {{"app", range.app},
                     {"from", range.from},
                     {"to", range.to},
                     {"period", retention.query.period == RetentionPeriod::Day ? "day" : "week"},
                     {"cohorts", cohorts}};
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string funnelJson(const Funnel& funnel) {
  Json steps = Json::array();
  for (std::size_t k = 0; k < funnel.query.steps.size(); ++k) {
    steps.push_back({{"step", funnel.query.steps[k].text}, {"clients", funnel.clients.at(k)}});
  }
  const SummaryQuery& range = funnel.query.range;
  const Json json = {{"app", range.app}, {"from", range.from}, {"to", range.to}, {"steps", steps}};
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string sqlStepCondition(const SqlDialect& dialect, const FunnelStep& step) {
  switch (step.kind) {
    case FunnelStep::Kind::PageView:
      return "event = 'pageview' AND title = " + dialect.quote(step.name);
    case FunnelStep::Kind::Event:
      return "event = 'event' AND caid = '' AND category = " + dialect.quote(step.name) +
             " AND action = " + dialect.quote(step.action);
    case FunnelStep::Kind::CustomEvent:
      return "event = " + dialect.quote(step.name);
    case FunnelStep::Kind::CustomAction:
      return "event = 'event' AND caid = " + dialect.quote(step.name);
  }
  return "0";
}

std::pair<std::int64_t, std::int64_t> sqlTimeRange(const SummaryQuery& range) {
  return {*parseDay(range.from) * kDayMillis, (*parseDay(range.to) + 1) * kDayMillis};
}

Retention assembleRetention(const RetentionQuery& query, const SqlRows& rows) {
  const std::int64_t last = periodOfDay(*parseDay(query.range.to), query.period);
  std::map<std::int64_t, std::vector<std::int64_t>> byCohort;
  for (const auto& row : rows) {
    if (row.size() != 3) throw StoreError("unexpected answer to the retention's statement");
    const std::int64_t cohort = sqlInteger(row[0]), period = sqlInteger(row[1]);
    if (cohort > last || period < cohort || period > last) continue;
    auto& retained = byCohort[cohort];
    retained.resize(static_cast<std::size_t>(last - cohort + 1));
    retained[static_cast<std::size_t>(period - cohort)] = sqlInteger(row[2]);
  }
  Retention retention{query, {}};
  for (auto& [cohort, retained] : byCohort) {
    const std::int64_t size = retained.front();
    retention.cohorts.push_back(
        {formatDay(firstDayOfPeriod(cohort, query.period)), size, std::move(retained)});
  }
  return retention;
}

Funnel assembleFunnel(const FunnelQuery& query, const SqlRows& rows) {
  if (rows.size() != 1 || rows.front().size() != query.steps.size()) {
    throw StoreError("unexpected answer to the funnel's statement");
  }
  Funnel funnel{query, {}};
  for (const std::string& clients : rows.front()) funnel.clients.push_back(sqlInteger(clients));
  return funnel;
}

}  // namespace zevsite::collector
