// Files of the SDK: the home directory and whole-file atomic writes.
//
// The home directory is process-wide state: set by the host through ZEVSiteSupport, else
// taken from the environment. Any thread may use these functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zevsite::files {

// Sets the home directory; an empty path returns to the environment's default.
void setHomeDirectory(std::string path);
// The home directory, created (with Library/ inside it, owner-only) on first use.
std::string homeDirectory();
// Changes whenever setHomeDirectory is called, so caches keyed on the home can tell.
std::uint64_t homeGeneration() noexcept;

// Joins a directory and a relative path with one "/".
std::string joinPath(std::string_view directory, std::string_view relative);
// Creates `path` and its parents with owner-only permissions; true if it exists afterwards.
bool makeDirectories(const std::string& path);
// makeDirectories, and `path` itself set to owner-only (0700) whatever it was before.
bool makePrivateDirectories(const std::string& path);
// Replaces `path` whole: a temporary file beside it, written, synced and renamed over it.
// On failure the old file is left as it was and false is returned.
bool writeFileAtomically(const std::string& path, std::string_view bytes);
// The whole content of `path`, or nothing when it cannot be read.
std::optional<std::string> readFile(const std::string& path);

}  // namespace zevsite::files
