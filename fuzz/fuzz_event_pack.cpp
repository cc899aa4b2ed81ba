// Fuzzes the reading of a stored row of events: any bytes must be read without a crash or a
// read outside them, and what a row gives back must survive being written and read again
// unchanged (a cut row is rewritten from what was read).
#include "Queue/ZEVSiteEventPack.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view row(reinterpret_cast<const char*>(data), size);
  std::vector<zevsite::StoredEvent> events;
  if (!zevsite::unpackEvents(row, 1, events) || events.empty()) return 0;
  // Ids must grow within a row; a row that says otherwise is kept as read, never rewritten.
  for (std::size_t i = 1; i < events.size(); ++i) {
    if (events[i].rowId <= events[i - 1].rowId) return 0;
  }
  zevsite::EventPackWriter writer;
  writer.start(events.front().rowId);
  for (const auto& event : events) {
    writer.add(event.rowId, event.name, event.body, event.createdMillis, event.seenMillis);
  }
  std::vector<zevsite::StoredEvent> again;
  if (!zevsite::unpackEvents(writer.bytes(), writer.firstId(), again)) std::abort();
  if (again.size() != events.size()) std::abort();
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (again[i].rowId != events[i].rowId || again[i].name != events[i].name ||
        again[i].body != events[i].body || again[i].createdMillis != events[i].createdMillis ||
        again[i].seenMillis != events[i].seenMillis) {
      std::abort();
    }
  }
  return 0;
}
