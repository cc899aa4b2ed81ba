// A collector for uploads from the SDK, on an event-driven HTTP server (HttpFront): accepts
// POST /collect with upload strings joined by newlines, plain or gzip (Content-Encoding),
// decodes each one, and keeps the events deduplicated by their event id ("eid"). With an
// analytics store attached it is the SDK's backend: a batch is answered 2xx only once the
// store holds it (503 with Retry-After when the store fails; batches arriving together are
// stored with one insert), and GET /api/summary, /api/retention, /api/funnel and /api/apps
// answer from the store.
// Used by the demo, the standalone zevsite-collector and the benchmarks; the tests' recording
// and scripting double (tests/support) is built on it.
//
// A request's X-ZEVSite-Sent-At header (the device's clock when it sent the request) gives
// the device's clock error: the stores keep each event's ts as the device gave it and, beside
// it, that ts corrected by the error, by which the summary counts days.
//
// Bounds: the request body as received, its size after gzip (413, nothing of it kept) and
// the lines per request (413, so the SDK splits the batch). Lines that are not an event's
// upload string are counted, logged and skipped. The collector keeps no event in memory: the
// store (or the --jsonl file, or an observer) keeps them.
//
// Handlers run on the server's threads; every accessor is thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ZEVSiteAccess.h"
#include "ZEVSiteAnalyticsStore.h"
#include "ZEVSiteHttpFront.h"
#include "ZEVSiteRecentIds.h"
#include "ZEVSiteUploadDecoder.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zevsite::collector {

struct CollectedEvent {
  std::string eventId;
  std::vector<std::pair<std::string, std::string>> fields;  // decoded, in order
  std::string get(const std::string& key) const;
};

// An upload request as answered, for an observer.
struct UploadRequest {
  std::size_t uploads = 0;  // upload strings in the body (0 when it was not read whole)
  int status = 0;
  int remotePort = 0;
  std::string contentType;
  std::string contentEncoding;  // "" for a plain body
  std::size_t bodyBytes = 0;    // as it came over the wire, before gzip was undone
  std::string userAgent;
};

struct CollectorReply {
  int status = 200;
  std::string retryAfter;  // sent as Retry-After when not empty
  std::chrono::milliseconds delay{0};
};

class Collector {
 public:
  Collector();
  // An https collector with the certificate chain and private key of these PEM files.
  Collector(const std::string& certificateFile, const std::string& privateKeyFile);
  ~Collector();

  // Listens on `host`:`port` (0: any free port); returns the collect URL.
  std::string start(const std::string& host = "127.0.0.1", int port = 0);
  void stop();

  // Called with the upload string of every new (not duplicate) event, on a server thread,
  // after the store holds it. Call before start().
  void setOnEvent(std::function<void(const std::string& upload)> onEvent);
  // Decides the reply to an upload request instead of the collector (nullopt: the collector's
  // own), from its number of upload strings; a 2xx reply still has the batch stored. How a
  // test plays a failing collector. Call before start().
  void setReplyOverride(std::function<std::optional<CollectorReply>(std::size_t uploads)> reply);
  // Called after every upload request was answered, on a server thread. Call before start().
  void setRequestObserver(std::function<void(const UploadRequest&)> observer);
  // The HTTP server, for further routes (tests serve documents of their own). Add routes
  // before start().
  HttpFront& server() { return *server_; }

  // Serves `document` at GET /sdk-config.xml (the SDK configuration document). Call
  // before start().
  void serveConfig(std::string document);
  // Appends every new event to `path` as one JSON object per line: its upload string's
  // fields, except that "ts" is the event time corrected by the device's clock error and
  // "device_ts", right after it, the ts the device sent.
  bool writeJsonLines(const std::string& path);

  // Keeps accepted events in `store` as well and answers the summary API from it. Call
  // before start().
  void setStore(std::unique_ptr<AnalyticsStore> store);
  AnalyticsStore* store() { return store_.get(); }
  // Call before start().
  void setLimits(UploadLimits limits);
  // Who may read (API tokens, host names) and post (origins); see ZEVSiteAccess.h. With API
  // tokens the collector serves a login page at /login that sets the session cookie. Call
  // before start().
  void setAccess(AccessPolicy policy);
  // Stores only events of apps registered in the store (zevsite-collector apps add); a request
  // with none is answered 403 and stores nothing. Needs a store. Call before start().
  void setOnlyRegisteredApps(bool only);
  // Where the collector's diagnostic lines go (default: standard error); called on server
  // threads. Call before start().
  void setLog(std::function<void(const std::string& line)> log);
  // The collector's wall clock, ms since the epoch (default: the system clock): when a
  // request arrived, against which the device's clock error is measured, and today for the
  // summary's default range. Called on server threads. Call before start().
  void setClock(std::function<std::int64_t()> nowMillis);

  // Counts and deduplicates events exactly, by a hash of each event id kept for good (about
  // 40 bytes per event): a collector for load tests and benchmarks that must know each
  // event arrived once. Without a store it decodes nothing.
  void countOnly(std::size_t expectedEvents);

  // New events accepted, duplicates dropped, lines skipped as malformed, upload requests
  // answered, and bytes of upload bodies as they came over the wire, so far.
  std::size_t eventCount();
  std::size_t duplicates();
  std::size_t malformedLines();
  std::size_t uploadRequests();
  std::size_t bodyBytesReceived();
  // Waits until eventCount() reaches `count`, or the timeout passes.
  bool waitForEventCount(std::size_t count, std::chrono::milliseconds timeout);
  // Times GET /sdk-config.xml was served.
  std::size_t configRequests();

  // Decodes "k=v&k=v" with percent-escapes.
  static std::vector<std::pair<std::string, std::string>> decode(const std::string& upload);
  static CollectedEvent decodeEvent(const std::string& upload);

 private:
  void addRoutes();
  void handleUpload(const httplib::Request& request, std::int64_t receivedTime,
                    const std::string& body, httplib::Response& response);
  CollectorReply accept(const httplib::Request& request, std::int64_t receivedTime,
                        const std::string& body);
  void countRaw(const std::string& body);
  CollectorReply acceptDecoded(DecodedBatch batch);
  void keepNewEvents(const DecodedBatch& batch, const std::vector<bool>& isNew);
  bool seen(const std::string& eventId);
  // What a read route answers for a valid range (app, from, to): JSON, or nothing with
  // `problem` set for other arguments that are not valid. Throws StoreError.
  using QueryAnswer =
      std::function<std::optional<std::string>(const SummaryQuery& range, std::string& problem)>;
  // Answers a read route of the store: 404 without a store, 400 for arguments that are not
  // valid, 503 (with Retry-After) when the store fails; `what` names it in the log.
  void serveQuery(const httplib::Request& request, httplib::Response& response,
                  const std::string& what, const QueryAnswer& answer);
  void serveSummary(const httplib::Request& request, httplib::Response& response);
  // GET /api/retention?app=&from=&to=&period=day|week
  void serveRetention(const httplib::Request& request, httplib::Response& response);
  // GET /api/funnel?app=&from=&to=&step=...&step=...
  void serveFunnel(const httplib::Request& request, httplib::Response& response);
  // One table of the summary as CSV, for a spreadsheet: GET /api/summary.csv?app=&from=&to=
  // &table=daily|pages|events|campaigns|custom|properties|platforms|versions|locales.
  void serveSummaryCsv(const httplib::Request& request, httplib::Response& response);
  void serveApps(httplib::Response& response);
  void recordRequest(const UploadRequest& request);
  // Appends one event to the --jsonl file; with mutex_ held.
  void writeJsonLineLocked(const std::string& upload, std::int64_t clockCorrection);

  void configureServer();
  // The HTTP server's body bound follows the upload limits.
  void applyLimits();
  // The access check of a request before any route runs: nullopt lets it through.
  std::optional<Refusal> refusalOf(const httplib::Request& request);
  void addLoginRoutes();
  // Removes the events of apps that are not registered from `batch`, logging how many;
  // returns how many. Throws StoreError when the registered apps cannot be read.
  std::size_t dropUnregisteredApps(DecodedBatch& batch);
  bool isRegisteredApp(const std::string& app);

  std::string scheme_ = "http";
  AccessControl access_;
  bool onlyRegisteredApps_ = false;  // set before start()
  // Event ids remembered to drop repeated uploads before the store (which keeps each event
  // once anyway): about 40 bytes each, under 3 MiB.
  static constexpr std::size_t kRecentIds = 64 * 1024;
  static constexpr std::int64_t kRegisteredAppsRefreshMillis = 2000;
  std::mutex registeredMutex_;  // guards the two below (server threads storing batches)
  std::unordered_set<std::string> registeredIds_;
  std::int64_t registeredReadAt_ = 0;  // collector clock; 0: never read
  // Reads requests on its event thread and runs the routes on its handler threads.
  std::unique_ptr<HttpFront> server_;
  // Set before start(), read-only while the server runs.
  std::unique_ptr<AnalyticsStore> store_;
  UploadLimits limits_;
  std::function<void(const std::string&)> log_;
  std::function<std::int64_t()> clock_;

  // A batch waiting to be stored, on the stack of the server thread that decoded it.
  struct PendingBatch {
    DecodedBatch* batch;
    bool done = false;    // set under commitMutex_ once its group was stored or failed
    bool stored = false;  // its group is in the store
  };
  // Stores `group` in one store insert: checks its event ids in order, so a batch counts as
  // seen only once the store holds it. Run by one server thread at a time.
  bool commitGroup(const std::vector<PendingBatch*>& group);

  // Group commit: while one server thread stores a group of batches, the batches arriving
  // meanwhile queue; once it is done, one of their threads stores them all with one insert.
  // Never held while storing, nor together with mutex_.
  std::mutex commitMutex_;
  std::condition_variable groupCommitted_;  // with commitMutex_
  std::vector<PendingBatch*> commitQueue_;  // guarded by commitMutex_
  bool committing_ = false;                 // guarded by commitMutex_
  // Set before start(), read-only while the server runs.
  std::function<void(const std::string&)> onEvent_;
  std::function<std::optional<CollectorReply>(std::size_t)> replyOverride_;
  std::function<void(const UploadRequest&)> requestObserver_;

  std::mutex mutex_;                 // guards everything below
  std::condition_variable changed_;  // with mutex_: counted_ grew
  std::ofstream jsonLines_;
  // The ids of the latest new events: duplicates within it are dropped before the store.
  RecentIds recentIds_{kRecentIds};
  bool countOnly_ = false;
  std::unordered_set<std::uint64_t> seenIdHashes_;  // the count-only mode's event ids
  std::size_t counted_ = 0;
  std::size_t duplicates_ = 0;
  std::size_t malformed_ = 0;
  std::size_t uploadRequests_ = 0;
  std::size_t bodyBytes_ = 0;
  std::string configDocument_;
  std::size_t configRequests_ = 0;
};

}  // namespace zevsite::collector
