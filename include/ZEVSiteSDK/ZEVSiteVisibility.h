/// @file
/// Symbol visibility for the ZEVSite SDK, shared by the C++ headers and the C interface
/// (<ZEVSiteSDK/zevsite.h>), so it holds nothing but the preprocessor. A shared build exports
/// only what carries ZEVSITE_EXPORT (the library is built with hidden visibility; on Windows
/// the classes and functions are exported from the DLL and imported by its users); a static
/// build (the default) needs no decoration. ZEVSITE_SHARED_LIBRARY comes with the shared
/// library's CMake target and pkg-config flags; ZEVSITE_BUILDING_LIBRARY is set only while
/// the SDK itself compiles.
#ifndef ZEVSITE_VISIBILITY_H
#define ZEVSITE_VISIBILITY_H

#if !defined(ZEVSITE_SHARED_LIBRARY)
/// Marks a class or a C function as part of the library's exported interface. Empty in a
/// static build; the host never writes it itself and must not assume it expands to anything
/// in particular.
#define ZEVSITE_EXPORT
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(ZEVSITE_BUILDING_LIBRARY)
#define ZEVSITE_EXPORT __declspec(dllexport)
#else
#define ZEVSITE_EXPORT __declspec(dllimport)
#endif
#else
#define ZEVSITE_EXPORT __attribute__((visibility("default")))
#endif

#endif  // ZEVSITE_VISIBILITY_H
