// Network status codes and the send-condition flags of the task queue.
#pragma once

enum ZEVSiteNetworkStatus : int {
  ZEVSiteNetworkStatus_None = 0,
  ZEVSiteNetworkStatus_WiFi = 1,
  ZEVSiteNetworkStatus_WWAN = 2,
  ZEVSiteNetworkStatus_2G = 3,
  ZEVSiteNetworkStatus_3G = 4,
  ZEVSiteNetworkStatus_4G = 5,
  ZEVSiteNetworkStatus_Unknown = 6,
};

// Flags combined into a task queue's send condition.
enum ZEVSiteNetworkCondition : int {
  ZEVSiteNetworkConditionWWAN = 2,
  ZEVSiteNetworkConditionWifi = 4,
};
