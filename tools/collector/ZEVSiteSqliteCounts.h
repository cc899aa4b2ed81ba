// What the SQLite store counts itself from rows it reads one at a time, where SQLite would
// sort hundreds of thousands of rows to count distinct pairs: clients, sessions, users and
// the profile lists from its per-day rows, retention from the clients of each day, and a
// funnel from its range's events in time order. Each answers in the shape of the rows
// ClickHouse's statements answer, for the same assembly (ZEVSiteSqlSummary.h,
// ZEVSiteJourneys.h). One counter per thread; plain values, no shared state.
#pragma once

#include "ZEVSiteSqlSummary.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zevsite::collector {

// Maps and sets of text looked up by a view, without making a string of it first.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};
template <class Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

// The sessions of a range from their rows of each day.
class SessionCounter {
 public:
  // Session `sid` of client `cid` had events from `first` to `last` (ms) on a day.
  void add(std::string_view cid, std::string_view sid, std::int64_t first, std::int64_t last);
  // One row: the sessions, and the sum over them of their last minus first event time (ms).
  SqlRows rows();

 private:
  // A day's row of a session: its client's number, its id's 8 bytes (the 16 hex digits the
  // collector stores; a hash of any other text, which a store written by hand may hold), and
  // its first and last event time. Sorted and merged at the end: cheaper than a hash table
  // of the sessions, whose lookups miss the cache.
  struct Row {
    std::uint32_t client;
    std::uint64_t session;
    std::int64_t first, last;
  };
  TextMap<std::uint32_t> clients_;  // client id -> its number
  std::vector<Row> rows_;
};

// The clients, users and profile lists of a range from the rows of each day's clients.
class ProfileCounter {
 public:
  struct Profile {
    std::string_view day, cid, uid, os, osVersion, appVersion, locale;
  };
  // `events` events of client `cid` on `day` had `profile`; the rows of a day one after the
  // other, its clients' in order.
  void add(const Profile& profile, std::int64_t events);
  SqlRows days() const;     // day, clients: each day with clients
  SqlRows clients() const;  // one row: the clients
  SqlRows users() const;    // one row: the users (see Summary::Totals)
  SqlRows platforms();      // os, os version, clients, events
  SqlRows appVersions();    // version, clients, events
  SqlRows locales();        // locale, clients

 private:
  struct Entry {
    std::vector<std::string> key;
    // The numbers of its clients, a client once per day it had the entry's profile: sorted
    // and made unique when the rows are made.
    std::vector<std::uint32_t> clients;
    std::int64_t events = 0;
  };
  // Each list's entries by their key's parts joined, each after its length.
  using Entries = TextMap<Entry>;
  // At most kSummaryListLimit rows of `entries`: keys, clients, and the events when
  // `withEvents`; most clients first, then most events, then by key.
  static SqlRows listRows(Entries& entries, bool withEvents);
  void count(Entries& entries, std::initializer_list<std::string_view> key, std::uint32_t client,
             std::int64_t events);

  TextMap<std::uint32_t> clients_;      // client id -> its number
  std::vector<bool> anonymousClients_;  // by number: had events without a user id
  TextSet userIds_;
  std::vector<std::pair<std::string, std::int64_t>> days_;  // day, clients so far
  std::uint32_t lastClient_ = 0;                            // the number of the last row's client
  Entries platforms_, appVersions_, locales_;
  std::string scratch_;  // a key while it is looked up
};

// Retention's rows from the clients of each day of the query's range.
class RetentionCounter {
 public:
  explicit RetentionCounter(RetentionPeriod period) : period_(period) {}
  // Client `cid` had an event on day `dayNumber`.
  void add(std::string_view cid, std::int64_t dayNumber);
  // (cohort, period, clients) as assembleRetention takes them.
  SqlRows rows() const;

 private:
  RetentionPeriod period_;
  // Client -> the periods it had events in, in the order added.
  TextMap<std::vector<std::int64_t>> periods_;
};

// A funnel's clients from the events of its steps in the order they happened: each client
// moves on to the next step with the first event of it, at or after its time of the step it
// is at. Events of one time count together, in any order, so an event at the time a client
// reached a step counts for the next one too, as the funnel's at-or-after asks.
class FunnelCounter {
 public:
  explicit FunnelCounter(std::size_t steps) : steps_(steps) {}
  // Client `cid` had an event at `ts` that is step k for each bit k of `steps`; `ts` never
  // less than the last one added.
  void add(std::string_view cid, std::int64_t ts, std::uint32_t steps);
  // One row: the clients that reached each step.
  SqlRows rows() const;

 private:
  struct Progress {
    std::size_t reached = 0;  // steps done
    std::int64_t time = 0;    // the time of its latest events
    std::uint32_t steps = 0;  // the steps its events at that time are
  };
  std::size_t steps_;
  TextMap<Progress> clients_;
};

}  // namespace zevsite::collector
