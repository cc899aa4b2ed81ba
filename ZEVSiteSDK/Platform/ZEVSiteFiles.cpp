#include "ZEVSiteFiles.h"

#include "ZEVSiteNoDestructor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace zevsite::files {
namespace {

struct HomeState {
  std::mutex mutex;  // guards path and prepared
  std::string path;
  bool prepared = false;
  std::atomic<std::uint64_t> generation{1};
};

HomeState& homeState() {
  static ZEVSiteNoDestructor<HomeState> state;
  return state.get();
}

std::string defaultHomeDirectory() {
  if (const char* home = std::getenv("ZEVSITE_HOME"); home && *home) return home;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return joinPath(xdg, "zevsite");
  if (const char* home = std::getenv("HOME"); home && *home) {
    return joinPath(home, ".local/share/zevsite");
  }
  return "/tmp/zevsite-" + std::to_string(::getuid());
}

}  // namespace

void setHomeDirectory(std::string path) {
  auto& state = homeState();
  std::lock_guard lock(state.mutex);
  state.path = std::move(path);
  state.prepared = false;
  state.generation.fetch_add(1, std::memory_order_acq_rel);
}

std::string homeDirectory() {
  auto& state = homeState();
  std::lock_guard lock(state.mutex);
  if (!state.prepared) {
    if (state.path.empty()) state.path = defaultHomeDirectory();
    makePrivateDirectories(joinPath(state.path, "Library"));
    state.prepared = true;
  }
  return state.path;
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
