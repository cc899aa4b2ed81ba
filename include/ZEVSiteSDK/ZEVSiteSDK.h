/// @file
/// Umbrella header: everything a host needs to use the ZEVSite SDK.
#pragma once

#include <ZEVSiteSDK/ZEVSiteExport.h>
#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteManager.h>
#include <ZEVSiteSDK/ZEVSiteNetworkStatus.h>
#include <ZEVSiteSDK/ZEVSiteNetworkStatusSimple.h>
#include <ZEVSiteSDK/ZEVSiteSupport.h>
#include <ZEVSiteSDK/ZEVSiteValue.h>
#include <ZEVSiteSDK/ZEVSiteVersion.h>
