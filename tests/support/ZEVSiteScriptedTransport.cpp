#include "ZEVSiteScriptedTransport.h"

#include "ZEVSiteTestSupport.h"

#include <algorithm>
#include <stdexcept>

// Shared by the test and every transport made from the factory (the sender's thread).
struct ZEVSiteScriptedTransport::Script {
  struct Exchange {
    zevsite::HttpRequest request;
    std::optional<zevsite::HttpResponse> response;
  };
  std::mutex mutex;  // guards every field below
  std::condition_variable changed;
  std::vector<Exchange> exchanges;
  std::size_t handedOut = 0;  // exchanges nextRequest returned
  std::size_t awaited = 0;    // exchanges whose answer a sender has waited for
  std::optional<long> standingStatus;
  bool aborted = false;  // the test ended, or a sender's shutdown aborted its request

  zevsite::HttpResponse awaitAnswer(std::size_t index) {
    std::unique_lock lock(mutex);
    awaited = std::max(awaited, index + 1);
    changed.notify_all();
    changed.wait(lock, [&] { return exchanges[index].response || standingStatus || aborted; });
    if (!exchanges[index].response) {
      if (standingStatus) {
        exchanges[index].response = zevsite::HttpResponse{*standingStatus, {}, {}};
      } else {
        exchanges[index].response = zevsite::HttpResponse{0, {}, "aborted"};
      }
    }
    return *exchanges[index].response;
  }
};

class ZEVSiteScriptedTransport::Transport final : public zevsite::Transport {
 public:
  explicit Transport(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  void start(zevsite::HttpRequest request, std::chrono::milliseconds,
             std::chrono::milliseconds) override {
    std::lock_guard lock(script_->mutex);
    index_ = script_->exchanges.size();
    script_->exchanges.push_back({std::move(request), std::nullopt});
    script_->changed.notify_all();
  }
  zevsite::HttpResponse finish() override { return script_->awaitAnswer(index_); }
  void abort() override {
    std::lock_guard lock(script_->mutex);
    script_->aborted = true;
    script_->changed.notify_all();
  }

 private:
  const std::shared_ptr<Script> script_;
  std::size_t index_ = 0;  // the exchange started last (the sender's thread only)
};

ZEVSiteScriptedTransport::ZEVSiteScriptedTransport() : script_(std::make_shared<Script>()) {
  zevsite::net::setTransportFactory(
      [script = script_] { return std::make_unique<Transport>(script); });
}

ZEVSiteScriptedTransport::~ZEVSiteScriptedTransport() {
  zevsite::net::setTransportFactory(nullptr);
  std::lock_guard lock(script_->mutex);
  script_->aborted = true;
  script_->changed.notify_all();
}

std::optional<zevsite::HttpRequest> ZEVSiteScriptedTransport::nextRequest(
    std::chrono::milliseconds guard) {
  std::unique_lock lock(script_->mutex);
  if (!script_->changed.wait_for(lock, guard,
                                 [&] { return script_->exchanges.size() > script_->handedOut; }))
    return std::nullopt;
  return script_->exchanges[script_->handedOut++].request;
}

bool ZEVSiteScriptedTransport::waitUntilAnswerAwaited(std::chrono::milliseconds guard) {
  std::unique_lock lock(script_->mutex);
  return script_->changed.wait_for(lock, guard, [&] {
    return script_->handedOut > 0 && script_->awaited >= script_->handedOut;
  });
}

void ZEVSiteScriptedTransport::answer(long status, std::string retryAfter) {
  std::lock_guard lock(script_->mutex);
  if (script_->handedOut == 0) throw std::logic_error("answer before nextRequest");
  script_->exchanges[script_->handedOut - 1].response =
      zevsite::HttpResponse{status, std::move(retryAfter), {}};
  script_->changed.notify_all();
}

void ZEVSiteScriptedTransport::failWithoutAnswer(std::string error) {
  std::lock_guard lock(script_->mutex);
  if (script_->handedOut == 0) throw std::logic_error("answer before nextRequest");
  script_->exchanges[script_->handedOut - 1].response =
      zevsite::HttpResponse{0, {}, std::move(error)};
  script_->changed.notify_all();
}

void ZEVSiteScriptedTransport::answerAllWith(std::optional<long> status) {
  std::lock_guard lock(script_->mutex);
  script_->standingStatus = status;
  script_->changed.notify_all();
}

std::size_t ZEVSiteScriptedTransport::startedCount() {
  std::lock_guard lock(script_->mutex);
  return script_->exchanges.size();
}

std::vector<std::string> ZEVSiteScriptedTransport::deliveredUploads() {
  std::vector<zevsite::HttpRequest> delivered;
  {
    std::lock_guard lock(script_->mutex);
    for (const auto& exchange : script_->exchanges) {
      if (exchange.response && exchange.response->status / 100 == 2)
        delivered.push_back(exchange.request);
    }
  }
  std::vector<std::string> uploads;
  for (const auto& request : delivered) {
    for (auto& upload : uploadsOf(request)) uploads.push_back(std::move(upload));
  }
  return uploads;
}

std::vector<std::string> ZEVSiteScriptedTransport::uploadsOf(const zevsite::HttpRequest& request) {
  bool gzip = false;
  for (const auto& header : request.headers) gzip |= header == "Content-Encoding: gzip";
  const std::string body = gzip ? gunzipped(request.body) : request.body;
  std::vector<std::string> uploads;
  std::size_t begin = 0;
  while (begin < body.size()) {
    std::size_t end = body.find('\n', begin);
    if (end == std::string::npos) end = body.size();
    uploads.push_back(body.substr(begin, end - begin));
    begin = end + 1;
  }
  return uploads;
}
