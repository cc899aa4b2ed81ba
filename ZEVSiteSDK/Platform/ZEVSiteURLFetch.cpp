#include "ZEVSiteURLFetch.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

// Ends the transfer once more than the cap of one answer's body has come in. appendBody sees
// only the final answer's body: libcurl reads the body of a redirect it follows to the end,
// however long, and discards it; this counts that too.
int checkDownloaded(void* context, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t) {
  const auto* body = static_cast<const Body*>(context);
  return static_cast<std::uint64_t>(downloaded) > body->maxBytes ? 1 : 0;
}

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

struct UrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

bool isFileURL(const std::string& url) {
  return url.size() >= 5 && strncasecmp(url.c_str(), "file:", 5) == 0;
}

// The local path a file URL names (decoded), or nothing for a malformed URL or one that
// names another host.
std::optional<std::string> filePath(const std::string& url) {
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  char* rawHost = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_HOST, &rawHost, 0) == CURLUE_OK) {
    std::unique_ptr<char, CurlFree> host(rawHost);
    if (*host && strcasecmp(host.get(), "localhost") != 0) return std::nullopt;
  }
  char* rawPath = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_PATH, &rawPath, CURLU_URLDECODE) != CURLUE_OK) {
    return std::nullopt;
  }
  std::unique_ptr<char, CurlFree> path(rawPath);
  return std::string(path.get());
}

// A file URL's content, read only from a regular file: a FIFO, device or socket could block
// the reading thread for good or never end. Opened without blocking, then checked on the
// open descriptor, so the file cannot be swapped between check and read.
std::optional<std::string> readFileURL(const std::string& url, std::size_t maxBytes) {
  auto path = filePath(url);
  if (!path || path->empty()) return std::nullopt;
  FileCloser file{::open(path->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  if (file.fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  if (static_cast<std::uint64_t>(info.st_size) > maxBytes) return std::nullopt;
  std::string bytes;
  char buffer[16 * 1024];
  for (;;) {
    ssize_t got = ::read(file.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return bytes;
    if (bytes.size() + static_cast<std::size_t>(got) > maxBytes) return std::nullopt;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

void ensureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void applyProxyAndTrust(void* curl, const ProxyAndTrust& options) {
  if (!options.userAgent.empty())
    curl_easy_setopt(curl, CURLOPT_USERAGENT, options.userAgent.c_str());
  if (options.proxyURL) {
    // The host's proxy is for every request: no_proxy in the environment does not apply.
    // libcurl copies both strings.
    curl_easy_setopt(curl, CURLOPT_PROXY, options.proxyURL->c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  }
  if (options.caBundle) {
    // Only this bundle is trusted: the system's directory of certificates is not consulted.
    curl_easy_setopt(curl, CURLOPT_CAINFO, options.caBundle->c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, static_cast<char*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_PROXY_CAINFO, options.caBundle->c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY_CAPATH, static_cast<char*>(nullptr));
  }
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
}

void allowOnlyHttp(void* curl) {
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  // Deprecated from 7.85 on, and the only form before it.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS,
                   static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
}

std::optional<std::string> fetchURL(const std::string& url, const FetchLimits& limits) {
  if (url.empty()) return std::nullopt;
  ensureCurlInitialised();
  if (isFileURL(url)) return readFileURL(url, limits.maxBytes);
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) return std::nullopt;
  CURL* curl = handle.get();
  Body body{{}, limits.maxBytes};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  allowOnlyHttp(curl);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(limits.maxRedirects));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(limits.connectTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  applyProxyAndTrust(curl, limits.network);  // verification stays on
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &checkDownloaded);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &body);
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
