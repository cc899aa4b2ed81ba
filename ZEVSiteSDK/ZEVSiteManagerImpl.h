// The manager's fields, kept out of the public header so that it shows only the contract
// and a host never compiles against the SDK's internals. Owned by the manager.
#pragma once

#include <ZEVSiteSDK/ZEVSiteManager.h>

#include "Platform/ZEVSiteMutex.h"

#include <memory>
#include <mutex>

class ZEVSiteTaskQueue;

struct ZEVSiteManager::Impl {
  // appId, channel and taskQueue are written only during creation, before the manager is
  // shared with other threads.
  ZEVSiteText appId;
  ZEVSiteText channel;
  std::shared_ptr<ZEVSiteTaskQueue> taskQueue;

  // The configuration URL is written by configFromUrl on a host thread and read by the
  // refresh task on the background pool, so it is guarded.
  ZEVSiteText sdkConfigURL() const;
  void setSdkConfigURL(ZEVSiteText url);

 private:
  mutable zevsite::Mutex sdkConfigURLMutex_;  // guards sdkConfigURL_
  ZEVSiteText sdkConfigURL_ ZEVSITE_GUARDED_BY(sdkConfigURLMutex_);
};
