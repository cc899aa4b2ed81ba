#include "ZEVSitePlatformLog.h"

#include <atomic>
#include <string>

namespace {
// Constant-initialised: a line written during static initialisation finds it ready.
std::atomic<zevsite::platformlog::Sink> installedSink{nullptr};
}  // namespace

void zevsite::platformlog::setSink(Sink sink) {
  installedSink.store(sink, std::memory_order_release);
}

void zevsite::platformlog::write(std::initializer_list<std::string_view> parts) noexcept {
  const Sink sink = installedSink.load(std::memory_order_acquire);
  if (!sink) return;
  try {
    std::string line;
    for (std::string_view part : parts) line += part;
    sink(line);
  } catch (...) {
    // Out of memory for a log line: the line is dropped, the caller goes on.
  }
}
