/// @file
/// Network status codes and the send-condition flags of the task queue.
#pragma once

/// A network status, as ZEVSiteNetworkStatusSimple::currentNetworkStatus reports it. The SDK
/// sends while the status is Wi-Fi, any cellular kind or Unknown, never while it is None.
enum ZEVSiteNetworkStatus : int {
  ZEVSiteNetworkStatus_None = 0,     ///< No link: nothing is sent.
  ZEVSiteNetworkStatus_WiFi = 1,     ///< Wi-Fi, or another unmetered link such as a wired one.
  ZEVSiteNetworkStatus_WWAN = 2,     ///< A cellular link of unknown generation.
  ZEVSiteNetworkStatus_2G = 3,       ///< A 2G cellular link; counts as WWAN.
  ZEVSiteNetworkStatus_3G = 4,       ///< A 3G cellular link; counts as WWAN.
  ZEVSiteNetworkStatus_4G = 5,       ///< A 4G cellular link; counts as WWAN.
  ZEVSiteNetworkStatus_Unknown = 6,  ///< The status cannot be told; counts as either link.
};

/// Flags combined into a task queue's send condition.
enum ZEVSiteNetworkCondition : int {
  ZEVSiteNetworkConditionWWAN = 2,  ///< Sending is allowed on a cellular link.
  ZEVSiteNetworkConditionWifi = 4,  ///< Sending is allowed on Wi-Fi.
};
