#include "ZEVSiteHTTPClient.h"

#include "../Platform/ZEVSiteURLFetch.h"

#include <curl/curl.h>

#include <charconv>
#include <cstring>

struct ZEVSiteHTTPClient::Handle {
  CURL* curl = nullptr;
  ~Handle() {
    if (curl) curl_easy_cleanup(curl);
  }
};

namespace {

struct Exchange {
  std::string retryAfter;
};

std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) { return size * count; }

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

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
};

}  // namespace

ZEVSiteHTTPRequest buildUploadRequest(const std::string& collectURL,
                                      const std::vector<std::string>& uploads) {
  ZEVSiteHTTPRequest request{"POST", collectURL, {"Content-Type: text/plain; charset=utf-8"}, {}};
  std::size_t size = 0;
  for (const auto& upload : uploads) size += upload.size() + 1;
  request.body.reserve(size);
  for (const auto& upload : uploads) {
    if (!request.body.empty()) request.body += '\n';
    request.body += upload;
  }
  return request;
}

std::optional<std::chrono::seconds> parseRetryAfter(const std::string& value,
                                                    std::int64_t nowSeconds) {
  if (value.empty()) return std::nullopt;
  std::int64_t seconds = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (error == std::errc() && end == value.data() + value.size()) {
    if (seconds < 0) return std::nullopt;
    return std::chrono::seconds(seconds);
  }
  time_t date = curl_getdate(value.c_str(), nullptr);
  if (date < 0) return std::nullopt;
  return std::chrono::seconds(std::max<std::int64_t>(0, date - nowSeconds));
}

ZEVSiteHTTPClient::ZEVSiteHTTPClient() : handle_(std::make_unique<Handle>()) {
  zevsite::net::ensureCurlInitialised();
}

ZEVSiteHTTPClient::~ZEVSiteHTTPClient() = default;

ZEVSiteHTTPResponse ZEVSiteHTTPClient::send(const ZEVSiteHTTPRequest& request,
                                            std::chrono::milliseconds connectTimeout,
                                            std::chrono::milliseconds totalTimeout) {
  ZEVSiteHTTPResponse response;
  if (aborted_) {
    response.error = "aborted";
    return response;
  }
  if (!handle_->curl) handle_->curl = curl_easy_init();
  CURL* curl = handle_->curl;
  if (!curl) {
    response.error = "no HTTP handle";
    return response;
  }
  curl_easy_reset(curl);  // keeps the connection cache: the next request reuses it
  HeaderList headers;
  for (const auto& header : request.headers) {
    headers.list = curl_slist_append(headers.list, header.c_str());
  }
  Exchange exchange;
  char errorText[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(totalTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discardBody);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &readHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &checkAbort);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &aborted_);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  CURLcode result = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  if (result != CURLE_OK) {
    response.error = errorText[0] ? errorText : curl_easy_strerror(result);
    return response;
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  response.retryAfter = std::move(exchange.retryAfter);
  return response;
}
