/// @file
/// Symbol visibility for the ZEVSite SDK. A shared build exports only what carries
/// ZEVSITE_EXPORT (the library is built with hidden visibility; on Windows the classes are
/// exported from the DLL and imported by its users); a static build (the default) needs no
/// decoration. ZEVSITE_SHARED_LIBRARY comes with the shared library's CMake target and
/// pkg-config flags; ZEVSITE_BUILDING_LIBRARY is set only while the SDK itself compiles.
#pragma once

// Every public header includes this one first, so an older language level stops here with a
// message that says what to do, before the C++20 parts of the headers fail obscurely. GCC 10
// reports 201709 for -std=c++20; MSVC reports its level in _MSVC_LANG.
#if defined(_MSVC_LANG) ? _MSVC_LANG <= 201703L : __cplusplus <= 201703L
#error "the ZEVSite SDK's headers need C++20: compile the host with -std=c++20 (or later)"
#endif

#if !defined(ZEVSITE_SHARED_LIBRARY)
/// Marks a class as part of the library's exported interface. Empty in a static build; the
/// host never writes it itself and must not assume it expands to anything in particular.
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
