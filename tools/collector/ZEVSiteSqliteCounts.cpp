#include "ZEVSiteSqliteCounts.h"

#include "ZEVSiteJourneys.h"

#include <algorithm>
#include <charconv>

namespace zevsite::collector {

namespace {

// The 8 bytes of a session id's 16 hex digits, or a hash of any other text.
std::uint64_t sessionBytes(std::string_view sid) {
  std::uint64_t bytes = 0;
  const auto [end, error] = std::from_chars(sid.data(), sid.data() + sid.size(), bytes, 16);
  if (sid.size() == 16 && error == std::errc() && end == sid.data() + sid.size()) return bytes;
  return std::hash<std::string_view>{}(sid);
}

}  // namespace

void SessionCounter::add(std::string_view cid, std::string_view sid, std::int64_t first,
                         std::int64_t last) {
  auto client = clients_.find(cid);
  if (client == clients_.end()) {
    client = clients_.emplace(std::string(cid), static_cast<std::uint32_t>(clients_.size())).first;
  }
  rows_.push_back({client->second, sessionBytes(sid), first, last});
}

SqlRows SessionCounter::rows() {
  std::sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
    return a.client != b.client ? a.client < b.client : a.session < b.session;
  });
  std::int64_t sessions = 0, millis = 0;
  for (std::size_t i = 0; i < rows_.size();) {
    std::int64_t first = rows_[i].first, last = rows_[i].last;
    std::size_t next = i + 1;
    for (; next < rows_.size() && rows_[next].client == rows_[i].client &&
           rows_[next].session == rows_[i].session;
         ++next) {
      first = std::min(first, rows_[next].first);
      last = std::max(last, rows_[next].last);
    }
    ++sessions;
    millis += last - first;
    i = next;
  }
  return {{std::to_string(sessions), std::to_string(millis)}};
}

void ProfileCounter::count(Entries& entries, std::initializer_list<std::string_view> key,
                           std::uint32_t client, std::int64_t events) {
  scratch_.clear();
  for (std::string_view part : key) {
    const auto size = static_cast<std::uint32_t>(part.size());
    scratch_.append(reinterpret_cast<const char*>(&size), sizeof size).append(part);
  }
  auto entry = entries.find(scratch_);
  if (entry == entries.end()) {
    entry = entries.emplace(scratch_, Entry{{key.begin(), key.end()}, {}, 0}).first;
  }
  auto& clients = entry->second.clients;
  if (clients.empty() || clients.back() != client) clients.push_back(client);
  entry->second.events += events;
}

void ProfileCounter::add(const Profile& p, std::int64_t events) {
  auto found = clients_.find(p.cid);
  if (found == clients_.end()) {
    found = clients_.emplace(std::string(p.cid), static_cast<std::uint32_t>(clients_.size())).first;
    anonymousClients_.push_back(false);
  }
  const std::uint32_t client = found->second;
  // A new day, or a new client of the day.
  if (days_.empty() || days_.back().first != p.day) {
    days_.emplace_back(p.day, 1);
  } else if (client != lastClient_) {
    ++days_.back().second;
  }
  lastClient_ = client;
  if (p.uid.empty()) {
    anonymousClients_[client] = true;
  } else if (userIds_.find(p.uid) == userIds_.end()) {
    userIds_.emplace(p.uid);
  }
  if (!p.os.empty()) count(platforms_, {p.os, p.osVersion}, client, events);
  if (!p.appVersion.empty()) count(appVersions_, {p.appVersion}, client, events);
  if (!p.locale.empty()) count(locales_, {p.locale}, client, events);
}

SqlRows ProfileCounter::listRows(Entries& entries, bool withEvents) {
  std::vector<Entry*> sorted;
  for (auto& [joined, entry] : entries) {
    std::sort(entry.clients.begin(), entry.clients.end());
    entry.clients.erase(std::unique(entry.clients.begin(), entry.clients.end()),
                        entry.clients.end());
    sorted.push_back(&entry);
  }
  std::sort(sorted.begin(), sorted.end(), [withEvents](const Entry* a, const Entry* b) {
    if (a->clients.size() != b->clients.size()) return a->clients.size() > b->clients.size();
    if (withEvents && a->events != b->events) return a->events > b->events;
    return a->key < b->key;
  });
  if (sorted.size() > kSummaryListLimit) sorted.resize(kSummaryListLimit);
  SqlRows rows;
  for (const Entry* entry : sorted) {
    rows.push_back(entry->key);
    rows.back().push_back(std::to_string(entry->clients.size()));
    if (withEvents) rows.back().push_back(std::to_string(entry->events));
  }
  return rows;
}

SqlRows ProfileCounter::days() const {
  SqlRows rows;
  for (const auto& [day, clients] : days_) rows.push_back({day, std::to_string(clients)});
  return rows;
}
SqlRows ProfileCounter::clients() const { return {{std::to_string(clients_.size())}}; }

SqlRows ProfileCounter::users() const {
  const auto anonymous = std::count(anonymousClients_.begin(), anonymousClients_.end(), true);
  return {{std::to_string(userIds_.size() + static_cast<std::size_t>(anonymous))}};
}
SqlRows ProfileCounter::platforms() { return listRows(platforms_, true); }
SqlRows ProfileCounter::appVersions() { return listRows(appVersions_, true); }
SqlRows ProfileCounter::locales() { return listRows(locales_, false); }

void RetentionCounter::add(std::string_view cid, std::int64_t dayNumber) {
  const std::int64_t period = periodOfDay(dayNumber, period_);
  auto found = periods_.find(cid);
  auto& periods = found != periods_.end() ? found->second : periods_[std::string(cid)];
  // Rows come in day order, so a client's repeats of a period are mostly adjacent.
  if (periods.empty() || periods.back() != period) periods.push_back(period);
}

SqlRows RetentionCounter::rows() const {
  std::map<std::pair<std::int64_t, std::int64_t>, std::int64_t> clients;  // (cohort, period)
  std::vector<std::int64_t> sorted;
  for (const auto& [cid, periods] : periods_) {
    sorted = periods;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    for (std::int64_t period : sorted) ++clients[{sorted.front(), period}];
  }
  SqlRows rows;
  for (const auto& [key, n] : clients) {
    rows.push_back({std::to_string(key.first), std::to_string(key.second), std::to_string(n)});
  }
  return rows;
}

void FunnelCounter::add(std::string_view cid, std::int64_t ts, std::uint32_t steps) {
  auto client = clients_.find(cid);
  if (client == clients_.end()) client = clients_.emplace(std::string(cid), Progress{}).first;
  Progress& progress = client->second;
  if (progress.steps != 0 && progress.time == ts) {
    progress.steps |= steps;
  } else {
    progress.time = ts;
    progress.steps = steps;
  }
  while (progress.reached < steps_ && (progress.steps >> progress.reached & 1) != 0) {
    ++progress.reached;
  }
}

SqlRows FunnelCounter::rows() const {
  std::vector<std::int64_t> reached(steps_ + 1);
  for (const auto& [cid, progress] : clients_) ++reached[progress.reached];
  // The clients at step k or further reached it.
  SqlRows rows(1);
  std::int64_t further = 0;
  for (std::size_t k = steps_; k > 0; --k) {
    further += reached[k];
    rows.front().insert(rows.front().begin(), std::to_string(further));
  }
  return rows;
}

}  // namespace zevsite::collector
