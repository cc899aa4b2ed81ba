/// @file
/// The C++ headers' common first include: stops an older language level with a readable
/// message, then brings in ZEVSITE_EXPORT (<ZEVSiteSDK/ZEVSiteVisibility.h>).
#pragma once

// Every public header includes this one first, so an older language level stops here with a
// message that says what to do, before the C++20 parts of the headers fail obscurely. GCC 10
// reports 201709 for -std=c++20; MSVC reports its level in _MSVC_LANG.
#if defined(_MSVC_LANG) ? _MSVC_LANG <= 201703L : __cplusplus <= 201703L
#error "the ZEVSite SDK's headers need C++20: compile the host with -std=c++20 (or later)"
#endif

#include <ZEVSiteSDK/ZEVSiteVisibility.h>
