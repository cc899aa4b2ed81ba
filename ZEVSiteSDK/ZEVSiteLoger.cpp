#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include "Platform/ZEVSiteForkSafety.h"
#include "Platform/ZEVSiteMutex.h"
#include "Platform/ZEVSiteNoDestructor.h"
#include "Platform/ZEVSitePlatformLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

struct LoggerState {
  std::atomic<bool> enabled{false};
  zevsite::Mutex mutex;  // guards sink and serialises output so lines never interleave
  ZEVSiteLoger::Sink sink ZEVSITE_GUARDED_BY(mutex);
};

// The platform layer's lines, logged as the SDK's own.
void logPlatformLine(std::string_view line) { ZEVSiteLoger::adLog("%@", line); }

LoggerState& loggerState() {
  static zevsite::NoDestructor<LoggerState> instance;
  static const bool forkSafe =
      zevsite::forksafety::registered(instance.get().mutex, zevsite::forksafety::kLogger);
  (void)forkSafe;
  // Installed with the logger's state, which setDebug creates: no line can be due before.
  static const bool platformLinesLogged = (zevsite::platformlog::setSink(&logPlatformLine), true);
  (void)platformLinesLogged;
  return instance.get();
}

}  // namespace

void ZEVSiteLoger::setDebug(bool enabled) noexcept {
  loggerState().enabled.store(enabled, std::memory_order_relaxed);
}

bool ZEVSiteLoger::isDebug() noexcept { return loggerState().enabled.load(std::memory_order_relaxed); }

void ZEVSiteLoger::setSink(Sink sink) noexcept {
  auto& logger = loggerState();
  zevsite::MutexLock lock(logger.mutex);
  logger.sink = std::move(sink);
}

std::string ZEVSiteLoger::describe(const ZEVSiteValue& value) {
  switch (value.kind()) {
    case ZEVSiteValue::Kind::Absent:
    case ZEVSiteValue::Kind::Null:
      return "(null)";
    case ZEVSiteValue::Kind::Bool:
      return *value.boolean() ? "1" : "0";
    case ZEVSiteValue::Kind::Integer:
      return std::to_string(*value.integer());
    case ZEVSiteValue::Kind::Double:
      return std::to_string(*value.number());
    case ZEVSiteValue::Kind::String:
      return *value.string();
    case ZEVSiteValue::Kind::Dictionary:
      return "{dictionary of " + std::to_string(value.dictionary()->count()) + " entries}";
  }
  return "(null)";
}

void ZEVSiteLoger::emit(std::string_view format, const std::string* arguments,
                        std::size_t count) noexcept {
  try {
    std::string line;
    line.reserve(format.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
      if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '@') {
        line += next < count ? arguments[next] : std::string("(null)");
        ++next;
        ++i;
      } else {
        line += format[i];
      }
    }
    auto& logger = loggerState();
    zevsite::MutexLock lock(logger.mutex);
    if (logger.sink) {
      logger.sink(line);
    } else {
      std::fprintf(stderr, "[ZEVSite] %s\n", line.c_str());
    }
  } catch (...) {
    // Out of memory or a throwing host sink: the line is dropped, the host is not disturbed.
  }
}
