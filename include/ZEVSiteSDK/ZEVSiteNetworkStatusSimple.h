/// @file
/// The current network status, as the SDK sees it.
#pragma once

#include <ZEVSiteSDK/ZEVSiteExport.h>
#include <ZEVSiteSDK/ZEVSiteNetworkStatus.h>

#include <functional>

/// The current network status, as the SDK sees it: the host's provider, else the operating
/// system's interfaces. The sender and the configuration refresh consult it.
class ZEVSITE_EXPORT ZEVSiteNetworkStatusSimple {
 public:
  /// Returns the status reported by the host's provider, or, without one, read from the
  /// operating system: a wireless interface up gives Wi-Fi, a cellular modem up gives WWAN,
  /// a wired link only gives Wi-Fi (an unmetered link), nothing up gives None.
  /// Any thread; the default reads a few small system files.
  static ZEVSiteNetworkStatus currentNetworkStatus();

  /// Lets the host report the status. The provider is called on SDK threads and on the thread
  /// of ZEVSiteManager::configFromUrl; it must be thread-safe and must not throw. An empty
  /// function restores the operating-system default.
  using Provider = std::function<ZEVSiteNetworkStatus()>;
  /// Installs `provider` (see Provider); an empty function restores the operating-system
  /// default. Any thread; applies from the next status the SDK asks for.
  static void setProvider(Provider provider);
};
