// Whole-content URL fetch on libcurl: http and https (certificate and host verification
// always on; the proxy and CA bundle the caller hands in), and file URLs naming a
// regular file (read directly; anything else fails). Blocks the
// calling thread (the SDK calls it on its background pool only) until the content is complete or
// the fetch failed.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace zevsite {
// The host's proxy and certificate authority for a transfer.
struct ProxyAndTrust {
  std::optional<std::string> proxyURL;  // absent: libcurl's proxy environment variables
  std::optional<std::string> caBundle;  // absent: the system's certificate store
  std::string userAgent;                // the User-Agent header; empty: libcurl sends none
};

struct FetchLimits {
  std::size_t maxBytes = 1 << 20;  // a larger body is a failed fetch
  std::chrono::milliseconds connectTimeout{10'000};
  std::chrono::milliseconds totalTimeout{30'000};
  int maxRedirects = 5;
  ProxyAndTrust network;  // the caller's network options
};
}  // namespace zevsite

namespace zevsite::net {

// The whole body, or nothing: for a malformed or unsupported URL, a network error, a
// timeout, a body over the cap (a redirect's own body is held to the cap as well), or an HTTP
// status outside 2xx. Redirects are followed (http and https only) up to the limit.
std::optional<std::string> fetchURL(const std::string& url, const FetchLimits& limits);

// Makes libcurl ready for use from any thread; called before the first transfer.
void ensureCurlInitialised();

// Sets the proxy and certificate options of the libcurl easy handle `curl`; certificate and
// host verification stay on whatever the options say.
void applyProxyAndTrust(void* curl, const ProxyAndTrust& options);

// Limits the transfer `curl` (a CURL*) and any redirect it follows to http and https, on
// every libcurl the SDK builds with (the option's string form came with 7.85).
void allowOnlyHttp(void* curl);

}  // namespace zevsite::net
