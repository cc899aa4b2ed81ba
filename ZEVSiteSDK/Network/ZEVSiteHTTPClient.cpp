#include "ZEVSiteHTTPClient.h"

#include "../Platform/ZEVSiteURLFetch.h"
#include "ZEVSiteGzip.h"
#include "ZEVSiteNetworkSettings.h"

#include <curl/curl.h>

#include <cstring>
#include <optional>

namespace {

// Most bytes read of an answer's body. The collector answers with a few bytes; a misbehaving
// server or a captive portal could stream gigabytes, each of them paid for by the host's user,
// for as long as the request timeout lets it. (libcurl bounds the headers itself.)
constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

struct Exchange {
  std::string retryAfter;
  std::size_t bodyBytes = 0;
  // The body passed kMaxAnswerBytes and the request was ended there: the status stands.
  bool bodyCut = false;
};

}  // namespace

// The request in flight and everything libcurl reads from while it runs.
namespace zevsite {
struct HttpClient::Handle {
  CURLM* multi = curl_multi_init();
  CURL* easy = curl_easy_init();
  HttpRequest request;
  curl_slist* headers = nullptr;
  Exchange exchange;
  char errorText[CURL_ERROR_SIZE] = {0};
  bool inFlight = false;
  std::optional<std::string> startError;

  ~Handle() {
    if (inFlight) curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
  }
};
}  // namespace zevsite

namespace {

// Discards the body, which decides nothing, and ends the transfer (a short count makes
// libcurl fail it with CURLE_WRITE_ERROR and close the connection) once it grows too long.
std::size_t discardBody(char*, std::size_t size, std::size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  const std::size_t length = size * count;
  exchange->bodyBytes += length;
  if (exchange->bodyBytes > kMaxAnswerBytes) {
    exchange->bodyCut = true;
    return 0;
  }
  return length;
}

std::size_t readHeader(char* data, std::size_t size, std::size_t count, void* context) {
  std::size_t length = size * count;
  std::string_view line(data, length);
  constexpr std::string_view kName = "retry-after:";
  if (line.size() > kName.size() && strncasecmp(line.data(), kName.data(), kName.size()) == 0) {
    std::string_view value = line.substr(kName.size());
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() &&
           (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) {
      value.remove_suffix(1);
    }
    static_cast<Exchange*>(context)->retryAfter = std::string(value);
  }
  return length;
}

int checkAbort(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<std::atomic<bool>*>(context)->load() ? 1 : 0;
}

}  // namespace

namespace zevsite {

HttpRequest buildUploadRequest(const std::string& collectURL,
                               const std::vector<std::string>& uploads, bool compress) {
  HttpRequest request{"POST", collectURL, {"Content-Type: text/plain; charset=utf-8"}, {}};
  std::size_t size = 0;
  for (const auto& upload : uploads) size += upload.size() + 1;
  request.body.reserve(size);
  for (const auto& upload : uploads) {
    if (!request.body.empty()) request.body += '\n';
    request.body += upload;
  }
  if (compress) {
    if (auto gzipped = zevsite::net::gzipCompress(request.body)) {
      request.body = std::move(*gzipped);
      request.headers.emplace_back("Content-Encoding: gzip");
    }
  }
  return request;
}

}  // namespace zevsite

zevsite::HttpClient::HttpClient() {
  zevsite::net::ensureCurlInitialised();
  handle_ = std::make_unique<Handle>();
}

zevsite::HttpClient::~HttpClient() = default;

void zevsite::HttpClient::abandonAfterFork() {
  // The parent's handles stay allocated on purpose: cleaning them up could write to the
  // shared socket (a TLS close, the rest of a request). A few kilobytes per fork.
  (void)handle_.release();
  handle_ = std::make_unique<Handle>();
  aborted_.store(false);
}

void zevsite::HttpClient::abort() {
  aborted_.store(true);
  if (handle_->multi) curl_multi_wakeup(handle_->multi);
}

void zevsite::HttpClient::start(zevsite::HttpRequest request,
                                std::chrono::milliseconds connectTimeout,
                                std::chrono::milliseconds totalTimeout) {
  Handle& h = *handle_;
  h.startError.reset();
  if (aborted_) {
    h.startError = "aborted";
    return;
  }
  if (!h.multi || !h.easy) {
    h.startError = "no HTTP handle";
    return;
  }
  CURL* curl = h.easy;
  curl_easy_reset(curl);  // keeps the connection cache: the next request reuses it
  h.request = std::move(request);
  curl_slist_free_all(h.headers);
  h.headers = nullptr;
  for (const auto& header : h.request.headers) {
    h.headers = curl_slist_append(h.headers, header.c_str());
  }
  h.exchange = Exchange{};
  h.errorText[0] = '\0';
  curl_easy_setopt(curl, CURLOPT_URL, h.request.url.c_str());
  zevsite::net::allowOnlyHttp(curl);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, h.request.method.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, h.request.body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(h.request.body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, h.headers);
  curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  zevsite::net::applyNetworkSettings(curl);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(totalTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discardBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &h.exchange);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &readHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &h.exchange);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &checkAbort);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &aborted_);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, h.errorText);
  if (curl_multi_add_handle(h.multi, curl) != CURLM_OK) {
    h.startError = "cannot start the request";
    return;
  }
  h.inFlight = true;
  int running = 0;
  curl_multi_perform(h.multi, &running);  // connects (or reuses) and sends what it can
}

zevsite::HttpResponse zevsite::HttpClient::finish() {
  Handle& h = *handle_;
  zevsite::HttpResponse response;
  if (h.startError || !h.inFlight) {
    response.error = h.startError.value_or("no request started");
    return response;
  }
  CURLcode result = CURLE_OK;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(h.multi, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    if (running == 0) break;
    // The timeouts and the abort flag are checked by libcurl on every perform.
    curl_multi_poll(h.multi, nullptr, 0, 100, nullptr);
  }
  int pending = 0;
  while (CURLMsg* message = curl_multi_info_read(h.multi, &pending)) {
    if (message->msg == CURLMSG_DONE) result = message->data.result;
  }
  curl_multi_remove_handle(h.multi, h.easy);
  h.inFlight = false;
  // A body cut short by discardBody came after the whole status line and headers: the
  // answer counts, only the rest of its body is not read.
  if (result == CURLE_WRITE_ERROR && h.exchange.bodyCut) result = CURLE_OK;
  if (result != CURLE_OK) {
    response.error = h.errorText[0] ? h.errorText : curl_easy_strerror(result);
    return response;
  }
  curl_easy_getinfo(h.easy, CURLINFO_RESPONSE_CODE, &response.status);
  response.retryAfter = std::move(h.exchange.retryAfter);
  return response;
}
