// Symbol visibility for the ZEVSite SDK. A shared build exports only what carries
// ZEVSITE_EXPORT; a static build (the default) needs no decoration.
#pragma once

#if defined(ZEVSITE_SHARED_LIBRARY)
#if defined(ZEVSITE_BUILDING_LIBRARY)
#define ZEVSITE_EXPORT __attribute__((visibility("default")))
#else
#define ZEVSITE_EXPORT
#endif
#else
#define ZEVSITE_EXPORT
#endif
