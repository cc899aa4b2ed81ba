// Files of the SDK: the home directory and whole-file atomic writes.
//
// The home directory is process-wide state: set by the host through ZEVSiteSupport, else
// taken from the environment. Any thread may use these functions.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zevsite::files {

// Where the process's environment puts the home directory when the host sets none:
// $ZEVSITE_HOME, else $XDG_DATA_HOME/zevsite/<application>, else
// <home>/.local/share/zevsite/<application>, with <home> from $HOME or else the password
// database. "" when there is no home at all. `getenv` and `passwordHome` stand for the
// process's environment and password database.
struct HomeEnvironment {
  std::function<const char*(const char*)> getenv;
  std::function<std::string()> passwordHome;
  std::string applicationName;
};
std::string defaultHomeDirectory(const HomeEnvironment& environment);
// The executable's file name made safe as one path component ("application" if unknown).
std::string applicationName();
// `name` reduced to letters, digits, '.', '-' and '_' (others become '_'); never "", "." or
// "..".
std::string safePathComponent(std::string_view name);

// Sets the home directory; an empty path returns to the environment's default.
void setHomeDirectory(std::string path);
// The home directory, created (with Library/ inside it, owner-only) on first use. "" when
// there is none, or when it (or its Library/) belongs to another user: events then stay in
// memory until the host sets one. Each refusal is logged once.
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
