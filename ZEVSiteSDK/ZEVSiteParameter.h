// The serialiser: turns one complete event (its parameters, "tid" and "t" included) into
// the upload string the task queue stores and sends.
//
// Format: "key=value&key=value...", the event's keys in their order, then the system
// attributes: v (protocol version 1), cid (client id), eid (a time-ordered version-7 UUID),
// ts (ms since the epoch when the event was made) and sdkv (SDK version), then the event's
// context (zevsite::EventContext: uid, av, ab, os, osv, arch, lc, tz, sr, sid, sn). They are
// the SDK's own: an event value under one of those names is left out, with one log line. Keys and
// values are UTF-8, percent-encoded as RFC 3986 asks (only A-Z a-z 0-9 - . _ ~ stay as they are).
// Integers are plain decimal, booleans 1 or 0, the null placeholder an empty value, a nested
// dictionary compact JSON.
//
// Stateless and safe to call from any number of threads at once.
#pragma once

#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <cstddef>
#include <string>
#include <string_view>

class ZEVSiteParameter {
 public:
  // Longest upload string the SDK sends; a longer event is refused.
  static constexpr std::size_t kMaxUploadBytes = 8 * 1024;

  // The upload string of `event`, or "" when the event cannot be sent: longer than
  // kMaxUploadBytes (found out as soon as the plain text alone is too long), or holding a
  // dictionary nested deeper than ZEVSiteDictionary::kMaxNesting.
  static std::string systemUploadAttributes(const ZEVSiteDictionary& event);
  // The same into `out` (emptied first), whose memory is reused: false, `out` emptied, when
  // the event cannot be sent.
  static bool writeUploadAttributes(const ZEVSiteDictionary& event, std::string& out);

  // Appends `text` percent-encoded to `out`.
  static void appendPercentEncoded(std::string& out, std::string_view text);
  // A new version-7 UUID for the time `unixMillis`, as 36 lowercase characters.
  static std::string makeEventId(std::int64_t unixMillis);
};
