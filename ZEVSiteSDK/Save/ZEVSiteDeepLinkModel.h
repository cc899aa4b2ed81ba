// The process-wide record of deep-link campaign state.
//
// handleOpenURL writes the campaign values it finds into it, the start-up event reads them
// and marks them sent, and the start-up work marks the SDK as initialised. The record's
// accessors take no lock: callers hold lock() (a recursive mutex, so the thread that
// holds it may dispatch a start-up event that takes it again) around every use.
#pragma once

#include <ZEVSiteSDK/ZEVSiteValue.h>

#include "../Platform/ZEVSiteMutex.h"

#include <mutex>

class ZEVSiteDeepLinkModel {
 public:
  // The one record of the process, created on first use, never destroyed.
  static ZEVSiteDeepLinkModel& shareInstance();

  // Taken by every reader and writer of the fields below.
  zevsite::RecursiveMutex& lock() ZEVSITE_RETURN_CAPABILITY(lock_) { return lock_; }

  bool deepLinkInit() const ZEVSITE_REQUIRES(lock_) { return deepLinkInit_; }
  void setDeepLinkInit(bool value) ZEVSITE_REQUIRES(lock_) { deepLinkInit_ = value; }
  bool DeepLinkPacket() const ZEVSITE_REQUIRES(lock_) { return DeepLinkPacket_; }
  void setDeepLinkPacket(bool value) ZEVSITE_REQUIRES(lock_) { DeepLinkPacket_ = value; }
  const ZEVSiteText& qxc() const ZEVSITE_REQUIRES(lock_) { return qxc_; }
  void setQxc(ZEVSiteText value) ZEVSITE_REQUIRES(lock_) { qxc_ = std::move(value); }
  const ZEVSiteText& qxs() const ZEVSITE_REQUIRES(lock_) { return qxs_; }
  void setQxs(ZEVSiteText value) ZEVSITE_REQUIRES(lock_) { qxs_ = std::move(value); }
  const ZEVSiteText& lastQxc() const ZEVSITE_REQUIRES(lock_) { return lastQxc_; }
  void setLastQxc(ZEVSiteText value) ZEVSITE_REQUIRES(lock_) { lastQxc_ = std::move(value); }
  const ZEVSiteText& lastQxs() const ZEVSITE_REQUIRES(lock_) { return lastQxs_; }
  void setLastQxs(ZEVSiteText value) ZEVSITE_REQUIRES(lock_) { lastQxs_ = std::move(value); }
  const ZEVSiteText& appid() const ZEVSITE_REQUIRES(lock_) { return appid_; }
  void setAppid(ZEVSiteText value) ZEVSITE_REQUIRES(lock_) { appid_ = std::move(value); }
  bool SdkInit() const ZEVSITE_REQUIRES(lock_) { return SdkInit_; }
  void setSdkInit(bool value) ZEVSITE_REQUIRES(lock_) { SdkInit_ = value; }

 private:
  zevsite::RecursiveMutex lock_;  // guards every field below
  bool deepLinkInit_ ZEVSITE_GUARDED_BY(lock_) = false;
  bool DeepLinkPacket_ ZEVSITE_GUARDED_BY(lock_) = false;
  ZEVSiteText qxc_ ZEVSITE_GUARDED_BY(lock_);
  ZEVSiteText qxs_ ZEVSITE_GUARDED_BY(lock_);
  ZEVSiteText lastQxc_ ZEVSITE_GUARDED_BY(lock_);
  ZEVSiteText lastQxs_ ZEVSITE_GUARDED_BY(lock_);
  ZEVSiteText appid_ ZEVSITE_GUARDED_BY(lock_);
  bool SdkInit_ ZEVSITE_GUARDED_BY(lock_) = false;
};
