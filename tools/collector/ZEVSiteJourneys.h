// How clients come back and how far they go: the retention and funnel queries from the API's
// arguments, their JSON, and what both SQL stores share to answer them (a step's condition,
// the periods' numbering, the answers assembled from rows of the same shape), so SQLite and
// ClickHouse give identical answers. Pure functions, any thread.
#pragma once

#include "ZEVSiteSqlSummary.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zevsite::collector {

// The longest range a retention by day may ask for: its answer grows with the square of the
// number of periods (by week, the summary's longest range).
constexpr std::int64_t kMaxDailyRetentionDays = 366;
// The longest text a funnel step may name.
constexpr std::size_t kLongestStepText = 512;

// The number of the period holding day `dayNumber` (days from 1970-01-01): the day itself,
// or the week from Monday (week 0 starts on Monday 1969-12-29). What both stores' statements
// compute.
std::int64_t periodOfDay(std::int64_t dayNumber, RetentionPeriod period);
// The day number of the first day of period `number`.
std::int64_t firstDayOfPeriod(std::int64_t number, RetentionPeriod period);

// A retention query over `range` by `period` ("day", "week" or empty: week). Nothing, with
// `problem` set, for another period or a range too long for days.
std::optional<RetentionQuery> retentionQuery(const SummaryQuery& range, const std::string& period,
                                             std::string& problem);
// A funnel query over `range` with `steps`, each "pageview:TITLE", "event:CATEGORY/ACTION"
// (split at the first '/'), "custom:NAME" or "action:ID": 1 to kMostFunnelSteps of them, each
// valid UTF-8 without control characters and at most kLongestStepText bytes. Nothing, with
// `problem` set, otherwise.
std::optional<FunnelQuery> funnelQuery(const SummaryQuery& range,
                                       const std::vector<std::string>& steps, std::string& problem);

// {"app","from","to","period","cohorts":[{"cohort":DAY,"size":N,"retained":[N,...]}]}
std::string retentionJson(const Retention& retention);
// {"app","from","to","steps":[{"step":TEXT,"clients":N}]}
std::string funnelJson(const Funnel& funnel);

// The condition on an events table's columns (event, title, category, action, caid) that an
// event meets to be `step`.
std::string sqlStepCondition(const SqlDialect& dialect, const FunnelStep& step);
// The event times of `range`'s days: [first, end) in ms since the epoch.
std::pair<std::int64_t, std::int64_t> sqlTimeRange(const SummaryQuery& range);
// The retention from rows (cohort, period, clients), both periods numbered as periodOfDay
// does: the clients first seen in period `cohort` that had an event in `period`.
Retention assembleRetention(const RetentionQuery& query, const SqlRows& rows);
// The funnel from one row holding the clients of each step, in order.
Funnel assembleFunnel(const FunnelQuery& query, const SqlRows& rows);

}  // namespace zevsite::collector
