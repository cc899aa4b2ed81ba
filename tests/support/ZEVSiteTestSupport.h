// Shared helpers of the SDK's tests: a fixture with a temporary home directory, the manual
// platform, and captured log lines and events; decoding of upload strings.
#pragma once

#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "ZEVSiteManagerImpl.h"
#include "ZEVSiteManualPlatform.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Reaches the manager's private fields (the manager declares this class its friend).
class ZEVSiteManagerTestAccess {
 public:
  static void setAppId(ZEVSiteManager& manager, ZEVSiteText appId) {
    manager.impl_->appId = std::move(appId);
  }
  static std::shared_ptr<ZEVSiteTaskQueue> taskQueue(const ZEVSiteManager& manager) {
    return manager.impl_->taskQueue;
  }
  static void setTaskQueue(ZEVSiteManager& manager, std::shared_ptr<ZEVSiteTaskQueue> queue) {
    manager.impl_->taskQueue = std::move(queue);
  }
  static ZEVSiteText channel(const ZEVSiteManager& manager) { return manager.impl_->channel; }
  static ZEVSiteText sdkConfigURL(const ZEVSiteManager& manager) {
    return manager.impl_->sdkConfigURL();
  }
};

// The line logged by the first event kept for want of a collect URL (once per process; each
// test runs in a process of its own).
inline constexpr const char* kEventsKeptLine =
    "[Site] events are stored and kept until ZEVSiteSupport::setCollectURL is called";

// The decoded key=value pairs of an upload string, in order (decoded as the collector does).
struct ZEVSiteUpload {
  std::vector<std::pair<std::string, std::string>> fields;

  static ZEVSiteUpload decode(std::string_view upload);
  std::optional<std::string> get(std::string_view key) const;
  // The event's own keys: every field but the SDK's attributes (isSdkAttribute).
  std::vector<std::pair<std::string, std::string>> eventFields() const;
  // The attributes the SDK adds to every event: v, cid, eid, ts, sdkv and the context.
  static bool isSdkAttribute(std::string_view key);
};

struct ZEVSiteObservedEvent {
  std::string name;
  std::string upload;
  ZEVSiteUpload decoded() const { return ZEVSiteUpload::decode(upload); }
};

class ZEVSiteTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::vector<std::string> logLines();
  // The captured lines but kEventsKeptLine, for tests that track without a collect URL and
  // look at other lines: whether a test sees that line depends on what ran before it in the
  // process.
  std::vector<std::string> logLinesButEventsKept();
  std::vector<ZEVSiteObservedEvent> events();
  void clearCaptured();
  // Upload strings in the event store of the home directory, once every accepted event is
  // on disk and, where one can be made, a send was attempted (ZEVSiteSupport::flush).
  std::vector<std::string> storedUploads();

  std::string home_;
  std::shared_ptr<ZEVSiteManualPlatform> platform_;

 private:
  std::mutex capturedMutex_;  // guards logLines_ and events_ (written from SDK threads)
  std::vector<std::string> logLines_;
  std::vector<ZEVSiteObservedEvent> events_;
};

// The content of a whole gzip stream; throws std::runtime_error when it is not one.
std::string gunzipped(const std::string& compressed);

// A fresh, empty temporary directory.
std::string makeTemporaryDirectory();

// A child process running `program` with `arguments`; its standard output goes to the
// returned pipe's read end (or nowhere when `readOutput` is false, fd -1). pid -1 on failure.
struct ZEVSiteChild {
  int pid = -1;
  int outputFd = -1;
};
ZEVSiteChild spawnChild(const std::string& program, std::vector<std::string> arguments,
                        bool readOutput);
