// The process-wide record of deep-link campaign state.
//
// handleOpenURL writes the campaign values it finds into it, the start-up event reads them
// and marks them sent, and the start-up work marks the SDK as initialised. The record's
// accessors take no lock: callers hold lock() (a recursive mutex, so the thread that
// holds it may dispatch a start-up event that takes it again) around every use.
#pragma once

#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <mutex>

class ZEVSiteDeepLinkModel {
 public:
  // The one record of the process, created on first use, never destroyed.
  static ZEVSiteDeepLinkModel& shareInstance();

  // Taken by every reader and writer of the fields below.
  std::recursive_mutex& lock() { return lock_; }

  bool deepLinkInit() const { return deepLinkInit_; }
  void setDeepLinkInit(bool value) { deepLinkInit_ = value; }
  bool DeepLinkPacket() const { return DeepLinkPacket_; }
  void setDeepLinkPacket(bool value) { DeepLinkPacket_ = value; }
  const ZEVSiteText& qxc() const { return qxc_; }
  void setQxc(ZEVSiteText value) { qxc_ = std::move(value); }
  const ZEVSiteText& qxs() const { return qxs_; }
  void setQxs(ZEVSiteText value) { qxs_ = std::move(value); }
  const ZEVSiteText& lastQxc() const { return lastQxc_; }
  void setLastQxc(ZEVSiteText value) { lastQxc_ = std::move(value); }
  const ZEVSiteText& lastQxs() const { return lastQxs_; }
  void setLastQxs(ZEVSiteText value) { lastQxs_ = std::move(value); }
  const ZEVSiteText& appid() const { return appid_; }
  void setAppid(ZEVSiteText value) { appid_ = std::move(value); }
  bool SdkInit() const { return SdkInit_; }
  void setSdkInit(bool value) { SdkInit_ = value; }

 private:
  std::recursive_mutex lock_;  // guards every field below
  bool deepLinkInit_ = false;
  bool DeepLinkPacket_ = false;
  ZEVSiteText qxc_;
  ZEVSiteText qxs_;
  ZEVSiteText lastQxc_;
  ZEVSiteText lastQxs_;
  ZEVSiteText appid_;
  bool SdkInit_ = false;
};
