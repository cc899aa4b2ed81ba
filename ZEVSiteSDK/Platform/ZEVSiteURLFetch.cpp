#include "ZEVSiteURLFetch.h"

#include "../Network/ZEVSiteNetworkSettings.h"

#include <curl/curl.h>
#include <strings.h>

#include <memory>
#include <mutex>

namespace zevsite::net {
namespace {

struct Body {
  std::string bytes;
  std::size_t maxBytes;
  bool overflowed = false;
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto* body = static_cast<Body*>(context);
  std::size_t length = size * count;
  if (body->bytes.size() + length > body->maxBytes) {
    body->overflowed = true;
    return 0;  // stops the transfer: read no further
  }
  body->bytes.append(data, length);
  return length;
}

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

void ensureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::optional<std::string> fetchURL(const std::string& url, const ZEVSiteFetchLimits& limits) {
  if (url.empty()) return std::nullopt;
  ensureCurlInitialised();
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) return std::nullopt;
  CURL* curl = handle.get();
  Body body{{}, limits.maxBytes};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,file");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(limits.maxRedirects));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(limits.connectTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  applyNetworkSettings(curl);  // proxy and CA bundle; verification stays on
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  if (curl_easy_perform(curl) != CURLE_OK || body.overflowed) return std::nullopt;
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  char* scheme = nullptr;
  curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme);
  bool isHttp = scheme && (strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0);
  if (isHttp && (status < 200 || status > 299)) return std::nullopt;
  return std::move(body.bytes);
}

}  // namespace zevsite::net
