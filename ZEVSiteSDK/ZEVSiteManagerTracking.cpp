// The manager's event tracking: page views, classic events, custom actions, the custom
// dimension and metric mapping, and the one dispatch through which every event leaves.
#include <ZEVSiteSDK/ZEVSiteManager.h>

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include "ZEVSiteEventContext.h"
#include "ZEVSiteGuard.h"
#include "ZEVSiteManagerImpl.h"
#include "ZEVSiteParameter.h"
#include "ZEVSiteSupportInternal.h"
#include "ZEVSiteTaskQueue.h"
#include "ZEVSiteText16.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace {

bool hasText(const ZEVSiteText& text) { return text && !text->empty(); }

// A thread's upload buffer keeps at most this much memory between events (an upload string
// is at most 8 KiB; the encoder may look a little past that before it refuses an event).
constexpr std::size_t kKeptUploadCapacity = 16 * 1024;
// Entries an event's dictionary makes room for at once: the system's and a few of the host's.
constexpr std::size_t kTypicalEventEntries = 12;

// The buffer an event is encoded into: this thread's, whose memory the next event reuses
// (the queue copies the bytes into its staging ring), or one of its own when an event
// observer tracks an event while the thread's buffer still holds the one it observes.
class UploadBuffer {
 public:
  UploadBuffer() : reused_(!std::exchange(threadBufferInUse, true)) {}
  ~UploadBuffer() {
    if (!reused_) return;
    threadBufferInUse = false;
    if (threadBuffer.capacity() > kKeptUploadCapacity) std::string().swap(threadBuffer);
  }
  UploadBuffer(const UploadBuffer&) = delete;
  UploadBuffer& operator=(const UploadBuffer&) = delete;
  std::string& text() { return reused_ ? threadBuffer : own_; }

 private:
  static thread_local std::string threadBuffer;
  static thread_local bool threadBufferInUse;
  const bool reused_;
  std::string own_;
};

thread_local std::string UploadBuffer::threadBuffer;
thread_local bool UploadBuffer::threadBufferInUse = false;

bool contains(const std::string& text, std::string_view word) {
  return text.find(word) != std::string::npos;
}

}  // namespace

void ZEVSiteManager::trackEventName(ZEVSiteText event, ZEVSiteText /*uploadDics*/,
                                    const ZEVSiteDictionary& properties) {
  // The caller's dictionary is never modified: the dispatch works on a copy.
  zevsite::guarded([&] { dispatchEvent(std::move(event), properties); });
}

bool ZEVSiteManager::dispatchEvent(ZEVSiteText event, ZEVSiteDictionary parameters) {
  bool accepted = false;
  zevsite::guarded([&] {
    if (!ZEVSiteSupport::isTrackingEnabled()) return;  // opted out: not even a log line
    if (!hasText(event)) {
      ZEVSiteLoger::adLog("event name is nil!");
      zevsite::support::callRefused();
      return;
    }
    const ZEVSiteText& id = impl_->appId;
    std::string idText = id ? *id : std::string("(null)");
    parameters.setValue(contains(idText, "dc-") ? idText : "dc-" + idText, "tid");
    parameters.setValue(std::move(*event), "t");
    UploadBuffer buffer;
    std::string& upload = buffer.text();
    if (!ZEVSiteParameter::writeUploadAttributes(parameters, upload)) {
      ZEVSiteLoger::adLog("[Site] Site SDK event send failed, Please check your code.");
      zevsite::support::callRefused();
      return;
    }
    if (const auto& queue = impl_->taskQueue) {
      queue->addTask(upload, *parameters.valueForKey("t")->string());
      accepted = true;
    }
  });
  return accepted;
}

void zevsite::mapCustomDimMetrics(ZEVSiteDictionary& dict, const ZEVSiteDictionary& hostEntries) {
  for (const auto& [key, value] : hostEntries) {
    // The first characters of the whole key are cut, wherever the word was found.
    if (contains(key, "customDimension")) {
      dict.setValue(value, "cd" + zevsite::dropUtf16Units(key, 15));
    } else if (contains(key, "customMetrics")) {
      dict.setValue(value, "cm" + zevsite::dropUtf16Units(key, 13));
    }
  }
}

void ZEVSiteManager::appendParameterFor(ZEVSiteDictionary& dict, const ZEVSiteValue& DimMetrics) {
  zevsite::guarded([&] {
    if (DimMetrics.isAbsent()) return;
    const ZEVSiteDictionary* hostEntries = DimMetrics.dictionary();
    if (!hostEntries) throw std::invalid_argument("custom dimensions are not a dictionary");
    zevsite::mapCustomDimMetrics(dict, *hostEntries);
  });
}

void ZEVSiteManager::trackPageView(ZEVSiteText title, const ZEVSiteValue& customDimMetrics) {
  zevsite::guarded([&] {
    if (!ZEVSiteSupport::isTrackingEnabled()) return;  // opted out: not even a log line
    ZEVSiteDictionary parameters;
    parameters.reserve(kTypicalEventEntries);
    if (!hasText(title)) {
      ZEVSiteLoger::adLog(
          "[Site] Site SDK initlize failed,title must not null,Please check your code.");
      zevsite::support::callRefused();
      return;
    }
    parameters.setValue(std::move(*title), "dt");
    parameters.setValue(0, "ni");
    appendParameterFor(parameters, customDimMetrics);
    zevsite::EventContext::instance().addDefaultDimensions(parameters);
    dispatchEvent("pageview", std::move(parameters));
  });
}

void ZEVSiteManager::trackEvent(ZEVSiteText eventClassify, ZEVSiteText eventAction,
                                ZEVSiteText eventTag, std::int64_t eventPrice,
                                const ZEVSiteValue& customDimMetrics) {
  zevsite::guarded([&] {
    if (!ZEVSiteSupport::isTrackingEnabled()) return;  // opted out: not even a log line
    ZEVSiteDictionary parameters;
    parameters.reserve(kTypicalEventEntries);
    if (!hasText(eventClassify) && !hasText(eventAction) && !hasText(eventTag)) {
      ZEVSiteLoger::adLog(
          "[Site] Site SDK event send failed,eventClassify and eventAction and eventTag must "
          "have at least one item that cannot be null, Please check your code.");
      zevsite::support::callRefused();
      return;
    }
    parameters.setValue(eventClassify, "ec");
    parameters.setValue(eventAction, "ea");
    if (hasText(eventTag)) parameters.setValue(*eventTag, "el");
    parameters.setValue(eventPrice, "ev");
    parameters.setValue(0, "ni");
    appendParameterFor(parameters, customDimMetrics);
    zevsite::EventContext::instance().addDefaultDimensions(parameters);
    dispatchEvent("event", std::move(parameters));
  });
}

void ZEVSiteManager::trackSiteCustomEvent(const ZEVSiteValue& customEvent,
                                          const ZEVSiteValue& customDimMetrics) {
  zevsite::guarded([&] {
    if (!ZEVSiteSupport::isTrackingEnabled()) return;  // opted out: not even a log line
    const ZEVSiteDictionary* action = customEvent.dictionary();
    if (!action) {
      ZEVSiteLoger::adLog(
          "[Site] Site SDK event send failed,eventAction must be NSDictionary, Please check your "
          "code.");
      zevsite::support::callRefused();
      return;
    }
    if (action->empty()) {
      ZEVSiteLoger::adLog("[Site] Site SDK event send failed,eventAction must not null");
      zevsite::support::callRefused();
      return;
    }
    ZEVSiteDictionary parameters;
    for (const auto& [key, value] : *action) {
      if (key == "customActionId") {
        parameters.setValue(value, "caid");
      } else if (contains(key, "customActionLabel")) {
        parameters.setValue(value, "cal" + zevsite::dropUtf16Units(key, 17));
      } else if (contains(key, "customActionValue")) {
        parameters.setValue(value, "cav" + zevsite::dropUtf16Units(key, 17));
      }
    }
    if (!parameters.valueForKey("caid")) {
      ZEVSiteLoger::adLog(
          "[Site] Site SDK event send failed,customActionId must be null, Please check your "
          "code.");
      zevsite::support::callRefused();
      return;
    }
    if (parameters.count() < 2) {
      ZEVSiteLoger::adLog(
          "[Site] Site SDK event send failed,customActionLabel and customActionValue must have at "
          "least one item that cannot be null, Please check your code.");
      zevsite::support::callRefused();
      return;
    }
    parameters.setValue(0, "ni");
    appendParameterFor(parameters, customDimMetrics);
    zevsite::EventContext::instance().addDefaultDimensions(parameters);
    dispatchEvent("event", std::move(parameters));
  });
}
