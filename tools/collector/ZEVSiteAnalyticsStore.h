// The collector's analytics store: where accepted events are kept and what the summary API
// and the report read. One interface, one implementation per database (SQLite, ClickHouse);
// openAnalyticsStore picks one from a --db URL. Owned by whoever opened it (the collector,
// the report command). Implementations are thread-safe: server threads insert and query
// concurrently.
#pragma once

#include "ZEVSiteEventRecord.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zevsite::collector {

// A store that cannot do what was asked (database down, disk full, bad answer).
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SummaryQuery {
  std::string app;   // the host's app id, without "dc-"
  std::string from;  // YYYY-MM-DD, inclusive
  std::string to;    // YYYY-MM-DD, inclusive
};

struct Summary {
  struct Totals {
    std::int64_t events = 0, pageviews = 0, classicEvents = 0, customActions = 0, starts = 0,
                 installs = 0, pulses = 0, customEvents = 0, clients = 0;
    // Distinct (client, session id) among the events with a session id.
    std::int64_t sessions = 0;
    // Distinct user ids, plus the distinct clients of the events without one (a client seen
    // signed in and signed out counts in both).
    std::int64_t users = 0;
    // Over those sessions: the time from each one's first event in the range to its last.
    double avgSessionSeconds = 0;
  };
  struct Day {
    std::string day;
    std::int64_t pageviews = 0, events = 0, clients = 0;
  };
  struct Page {
    std::string title;
    std::int64_t views = 0;
  };
  struct Event {
    std::string category, action;
    std::int64_t count = 0;
  };
  struct Campaign {
    std::string campaign, source;
    std::int64_t starts = 0;
  };
  // An event the host named itself (trackEventName with a name of its own).
  struct CustomEvent {
    std::string name;
    std::int64_t count = 0;
  };
  // How often a custom event carried a property with a value.
  struct Property {
    std::string name, key, value;
    std::int64_t count = 0;
  };
  // Where the events that say so came from: an OS name and version, an app version, a
  // locale. Events without the attribute are in no entry; events with an OS name but no
  // version are in the entry with an empty version.
  struct Platform {
    std::string os, osVersion;
    std::int64_t clients = 0, events = 0;
  };
  struct AppVersion {
    std::string version;
    std::int64_t clients = 0, events = 0;
  };
  struct Locale {
    std::string locale;
    std::int64_t clients = 0;
  };
  SummaryQuery query;
  Totals totals;
  std::vector<Day> daily;  // every day of the range, zeros included
  std::vector<Page> topPages;
  std::vector<Event> topEvents;
  std::vector<Campaign> campaigns;
  std::vector<CustomEvent> customEvents;
  std::vector<Property> customEventProperties;
  // At most kSummaryListLimit each: most clients first, then most events, then by their
  // text (byte order).
  std::vector<Platform> platforms;
  std::vector<AppVersion> appVersions;
  std::vector<Locale> locales;
};

// The UTC periods retention groups clients by: days, or weeks from Monday.
enum class RetentionPeriod { Day, Week };

struct RetentionQuery {
  SummaryQuery range;
  RetentionPeriod period = RetentionPeriod::Week;
};

// The clients of the range grouped by the period of their first event in it (their cohort),
// and how many of each cohort had an event in each period from it to the range's last.
struct Retention {
  struct Cohort {
    std::string start;  // the cohort period's first day, YYYY-MM-DD
    std::int64_t size = 0;
    // [k]: clients of the cohort with an event in the k-th period after the cohort's; [0] is
    // the size, the last entry the range's last period.
    std::vector<std::int64_t> retained;
    bool operator==(const Cohort&) const = default;
  };
  RetentionQuery query;
  std::vector<Cohort> cohorts;  // oldest first, only those with clients
};

// One step of a funnel: events of one kind that match a name.
struct FunnelStep {
  enum class Kind {
    PageView,      // a page view titled `name`
    Event,         // a classic event of category `name` and action `action`
    CustomEvent,   // a custom event named `name`
    CustomAction,  // a custom action whose id is `name`
  };
  Kind kind = Kind::PageView;
  std::string name, action;
  std::string text;  // the step as the query gave it: "pageview:Home"
};

struct FunnelQuery {
  SummaryQuery range;
  std::vector<FunnelStep> steps;  // 1 to kMostFunnelSteps
};

constexpr std::size_t kMostFunnelSteps = 10;

// clients[k]: the clients that did step k at or after the time they first did step k-1
// after the steps before it (so, in order), every step within the range; clients[0]: those
// that did the first step at all.
struct Funnel {
  FunnelQuery query;
  std::vector<std::int64_t> clients;
};

// An app registered by the operator (zevsite-collector apps add).
struct RegisteredApp {
  std::string id;  // the host's app id, without "dc-"
  std::string name;
  bool operator==(const RegisteredApp&) const = default;
};

class AnalyticsStore {
 public:
  virtual ~AnalyticsStore() = default;

  // Stores `records` in one transaction (one insert); returns once they are durable.
  // Records whose event id is stored already are kept once. Throws StoreError.
  virtual void insert(const std::vector<EventRecord>& records) = 0;
  // Each event id counted once. Throws StoreError.
  virtual Summary summary(const SummaryQuery& query) = 0;
  // Throws StoreError.
  virtual Retention retention(const RetentionQuery& query) = 0;
  // Throws StoreError.
  virtual Funnel funnel(const FunnelQuery& query) = 0;
  // The app ids seen, sorted. Throws StoreError.
  virtual std::vector<std::string> apps() = 0;
  // Registers app `id` under `name`; registering it again renames it. Throws StoreError.
  virtual void registerApp(const std::string& id, const std::string& name) = 0;
  // The registered apps, sorted by id. Throws StoreError.
  virtual std::vector<RegisteredApp> registeredApps() = 0;
};

// Makes `path` (created when missing) readable and writable by its owner only, whatever the
// umask: the collector's files hold every event's data. Throws StoreError.
void makeOwnerOnlyFile(const std::string& path);

// Whether opening may create a store. Readers (the report) take only one that exists, so a
// misspelt path is an error instead of an empty store that reports zeros.
enum class StoreAccess { CreateIfMissing, ExistingOnly };

// "sqlite:PATH" or "clickhouse:http://HOST:PORT/DATABASE". Creates the database, table or
// file when missing (SQLite files owner-only, whatever the umask), unless `access` says
// ExistingOnly: then a missing SQLite file is a StoreError that says so. Throws StoreError
// (also for an unknown scheme).
std::unique_ptr<AnalyticsStore> openAnalyticsStore(
    const std::string& url, StoreAccess access = StoreAccess::CreateIfMissing);

}  // namespace zevsite::collector
