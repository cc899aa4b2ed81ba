#include "ZEVSiteFiles.h"
#include "ZEVSiteForkSafety.h"

#include "ZEVSiteMutex.h"
#include "ZEVSiteNoDestructor.h"

#include "ZEVSitePlatformLog.h"

#include <pwd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace zevsite::files {
namespace {

struct HomeState {
  zevsite::Mutex mutex;  // guards path, resolved and prepared; a leaf lock
  // As set by the host, or "" for the environment's default
  std::string path ZEVSITE_GUARDED_BY(mutex);
  std::string resolved ZEVSITE_GUARDED_BY(mutex);  // what homeDirectory() answers once prepared
  bool prepared ZEVSITE_GUARDED_BY(mutex) = false;
  std::atomic<std::uint64_t> generation{1};
};

HomeState& homeState() {
  static NoDestructor<HomeState> state;
  static const bool forkSafe =
      zevsite::forksafety::registered(state.get().mutex, zevsite::forksafety::kLeaf);
  (void)forkSafe;
  return state.get();
}

std::string passwordDatabaseHome() {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384, '\0');
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir) {
    return {};
  }
  return found->pw_dir;
}

// The owner of `path` when it exists and is not the effective user: such a directory is
// another user's, and the SDK's data must not go there (nor be read from there).
std::optional<uid_t> foreignOwner(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || info.st_uid == ::geteuid()) return std::nullopt;
  return info.st_uid;
}

// Decides the home directory of the current setting, creating it owner-only. Logs and
// answers "" when there is none or it is not the user's own.
std::string prepareHome(const std::string& requested) {
  std::string path = requested;
  if (path.empty()) {
    path = defaultHomeDirectory({[](const char* name) { return std::getenv(name); },
                                 &passwordDatabaseHome, applicationName()});
  }
  if (path.empty()) {
    zevsite::platformlog::write(
        {"[Site] no home directory: neither ZEVSITE_HOME, XDG_DATA_HOME nor HOME is set and the "
         "user has no home; events are kept in memory until ZEVSiteSupport::setHomeDirectory"});
    return {};
  }
  std::string library = joinPath(path, "Library");
  for (const std::string& checked : {path, library}) {
    if (auto owner = foreignOwner(checked)) {
      zevsite::platformlog::write({"[Site] the home directory ", path, " is refused: ", checked,
                                   " belongs to user ", std::to_string(*owner),
                                   ", not to this one; events are kept in memory until "
                                   "ZEVSiteSupport::setHomeDirectory"});
      return {};
    }
  }
  makePrivateDirectories(library);
  return path;
}

}  // namespace

std::string safePathComponent(std::string_view name) {
  std::string safe;
  for (char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-' || c == '_';
    safe += plain ? c : '_';
  }
  if (safe.empty() || safe == "." || safe == "..") safe = "application";
  return safe;
}

std::string applicationName() {
  std::string buffer(4096, '\0');
  ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  std::string_view executable;
  if (length > 0) executable = std::string_view(buffer.data(), static_cast<std::size_t>(length));
  if (executable.empty() && program_invocation_name) executable = program_invocation_name;
  if (auto slash = executable.rfind('/'); slash != std::string_view::npos) {
    executable.remove_prefix(slash + 1);
  }
  // The kernel marks an executable replaced on disk while it runs.
  constexpr std::string_view kDeleted = " (deleted)";
  if (executable.ends_with(kDeleted)) executable.remove_suffix(kDeleted.size());
  return safePathComponent(executable);
}

std::string defaultHomeDirectory(const HomeEnvironment& environment) {
  auto variable = [&](const char* name) -> std::string {
    const char* value = environment.getenv(name);
    return value ? value : "";
  };
  if (std::string home = variable("ZEVSITE_HOME"); !home.empty()) return home;
  std::string application = safePathComponent(environment.applicationName);
  // A relative XDG_DATA_HOME is invalid and ignored, as the base-directory rules say.
  if (std::string xdg = variable("XDG_DATA_HOME"); !xdg.empty() && xdg.front() == '/') {
    return joinPath(joinPath(xdg, "zevsite"), application);
  }
  std::string home = variable("HOME");
  if (home.empty()) home = environment.passwordHome();
  if (home.empty()) return {};
  return joinPath(joinPath(home, ".local/share/zevsite"), application);
}

void setHomeDirectory(std::string path) {
  auto& state = homeState();
  zevsite::MutexLock lock(state.mutex);
  state.path = std::move(path);
  state.prepared = false;
  state.generation.fetch_add(1, std::memory_order_acq_rel);
}

std::string homeDirectory() {
  auto& state = homeState();
  zevsite::MutexLock lock(state.mutex);
  if (!state.prepared) {
    state.resolved = prepareHome(state.path);
    state.prepared = true;
  }
  return state.resolved;
}

std::uint64_t homeGeneration() noexcept {
  return homeState().generation.load(std::memory_order_acquire);
}

std::string joinPath(std::string_view directory, std::string_view relative) {
  std::string joined(directory);
  while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  if (joined.empty()) return std::string(relative);
  joined += '/';
  joined += relative;
  return joined;
}

bool makeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool makePrivateDirectories(const std::string& path) {
  if (!makeDirectories(path)) return false;
  ::chmod(path.c_str(), 0700);
  return true;
}

bool writeFileAtomically(const std::string& path, std::string_view bytes) {
  std::string temporary = path + ".tmp-XXXXXX";
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0;
  for (std::size_t written = 0; ok && written < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(content).str();
}

}  // namespace zevsite::files
