// Whole-content URL fetch on libcurl: http and https (certificate and host verification
// always on; the host's proxy and CA bundle, see NetworkSettings), and file URLs naming a
// regular file (read directly; anything else fails). Blocks the
// calling thread (the SDK calls it on its background pool only) until the content is complete or
// the fetch failed.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace zevsite {
struct FetchLimits {
  std::size_t maxBytes = 1 << 20;  // a larger body is a failed fetch
  std::chrono::milliseconds connectTimeout{10'000};
  std::chrono::milliseconds totalTimeout{30'000};
  int maxRedirects = 5;
};
}  // namespace zevsite

namespace zevsite::net {

// The whole body, or nothing: for a malformed or unsupported URL, a network error, a
// timeout, a body over the cap (a redirect's own body is held to the cap as well), or an HTTP
// status outside 2xx. Redirects are followed (http and https only) up to the limit.
std::optional<std::string> fetchURL(const std::string& url, const FetchLimits& limits);

// Makes libcurl ready for use from any thread; called before the first transfer.
void ensureCurlInitialised();

// Limits the transfer `curl` (a CURL*) and any redirect it follows to http and https, on
// every libcurl the SDK builds with (the option's string form came with 7.85).
void allowOnlyHttp(void* curl);

}  // namespace zevsite::net
