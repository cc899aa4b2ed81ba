#include "ZEVSiteUserDefaults.h"

#include "ZEVSiteFiles.h"
#include "ZEVSiteForkSafety.h"
#include "ZEVSitePlatform.h"

#include "ZEVSitePlatformLog.h"

#include <sys/stat.h>

#include <charconv>

namespace {

// One entry per line: key, a tab, the tagged value; "\\" and "\n" escaped in values.
std::string escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

// The value text of a line, or nothing when its escapes are not ours.
std::optional<std::string> unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 == text.size()) return std::nullopt;
    char escaped = text[++i];
    if (escaped == 'n')
      out += '\n';
    else if (escaped == '\\')
      out += '\\';
    else
      return std::nullopt;
  }
  return out;
}

bool isInteger(std::string_view digits) {
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return error == std::errc() && end == digits.data() + digits.size();
}

// A tagged value as written by this store: "i<decimal>" or "s<text>".
bool isTaggedValue(std::string_view value) {
  if (value.empty()) return false;
  if (value[0] == 's') return true;
  return value[0] == 'i' && isInteger(value.substr(1));
}

}  // namespace

zevsite::UserDefaults::UserDefaults(std::string homeDirectory)
    : path_(homeDirectory.empty()
                ? std::string()
                : zevsite::files::joinPath(homeDirectory, "Library/Preferences/zevsite.defaults")) {
  // Nothing else can see the store yet; the lock is taken so that the analysis checks load.
  zevsite::MutexLock lock(mutex_);
  load();
}

void zevsite::UserDefaults::load() {
  if (path_.empty()) return;
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) return;  // no defaults yet
  if (static_cast<std::uint64_t>(info.st_size) > kMaxFileBytes) {
    keepDamagedFileAside("larger than 1 MiB", 0);
    return;
  }
  auto content = zevsite::files::readFile(path_);
  if (!content) return;
  std::string_view rest(*content);
  std::size_t damagedLines = 0;
  // Every line this store writes ends with a newline: a last line without one is torn.
  if (!rest.empty() && rest.back() != '\n') ++damagedLines;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    bool complete = end != std::string_view::npos;
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(complete ? end + 1 : rest.size());
    if (!complete) break;  // counted above
    std::size_t tab = line.find('\t');
    std::optional<std::string> value;
    if (tab != std::string_view::npos && tab != 0 && line.find('\0') == std::string_view::npos) {
      value = unescape(line.substr(tab + 1));
    }
    if (!value || !isTaggedValue(*value)) {
      ++damagedLines;
      continue;
    }
    values_[std::string(line.substr(0, tab))] = std::move(*value);
  }
  if (damagedLines > 0) {
    keepDamagedFileAside(std::to_string(damagedLines) + " unreadable lines", values_.size());
  }
}

void zevsite::UserDefaults::keepDamagedFileAside(std::string_view why, std::size_t keptEntries) {
  const std::string aside =
      path_ + ".corrupt-" + std::to_string(ZEVSitePlatform::current().currentTimeMillis());
  if (ZEVSitePlatform::current().renameFile(path_, aside) == 0) {
    zevsite::platformlog::write({"[Site] the user defaults ", path_, " are damaged (", why,
                                 "); kept aside as ", aside, ", ", std::to_string(keptEntries),
                                 " readable entries kept"});
  } else {
    zevsite::platformlog::write({"[Site] the user defaults ", path_, " are damaged (", why,
                                 ") and could not be moved aside; ", std::to_string(keptEntries),
                                 " readable entries kept"});
  }
  // What was readable is written back at the next change (or synchronize).
  dirty_ = true;
}

std::int64_t zevsite::UserDefaults::integerForKey(std::string_view key) const {
  return findInteger(key).value_or(0);
}

std::optional<std::int64_t> zevsite::UserDefaults::findInteger(std::string_view key) const {
  zevsite::MutexLock lock(mutex_);
  auto found = values_.find(key);
  if (found == values_.end() || found->second.empty() || found->second[0] != 'i') return {};
  std::int64_t value = 0;
  const char* first = found->second.data() + 1;
  const char* last = found->second.data() + found->second.size();
  auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return {};
  return value;
}

void zevsite::UserDefaults::setInteger(std::int64_t value, std::string_view key) {
  zevsite::MutexLock lock(mutex_);
  values_[std::string(key)] = "i" + std::to_string(value);
  dirty_ = true;
  writeLocked();
}

void zevsite::UserDefaults::stageInteger(std::int64_t value, std::string_view key) {
  zevsite::MutexLock lock(mutex_);
  values_[std::string(key)] = "i" + std::to_string(value);
  dirty_ = true;
}

std::optional<std::string> zevsite::UserDefaults::stringForKey(std::string_view key) const {
  zevsite::MutexLock lock(mutex_);
  auto found = values_.find(key);
  if (found == values_.end() || found->second.empty() || found->second[0] != 's') return {};
  return found->second.substr(1);
}

void zevsite::UserDefaults::setString(std::string value, std::string_view key) {
  zevsite::MutexLock lock(mutex_);
  values_[std::string(key)] = "s" + value;
  dirty_ = true;
  writeLocked();
}

void zevsite::UserDefaults::stageString(std::string value, std::string_view key) {
  zevsite::MutexLock lock(mutex_);
  values_[std::string(key)] = "s" + value;
  dirty_ = true;
}

void zevsite::UserDefaults::registerForFork() {
  zevsite::forksafety::registerLock(mutex_, zevsite::forksafety::kDefaults);
}

void zevsite::UserDefaults::stageRemoval(std::string_view key) {
  zevsite::MutexLock lock(mutex_);
  if (values_.erase(std::string(key)) != 0) dirty_ = true;
}

void zevsite::UserDefaults::removeObjectForKey(std::string_view key) {
  zevsite::MutexLock lock(mutex_);
  auto found = values_.find(key);
  if (found == values_.end()) return;
  values_.erase(found);
  dirty_ = true;
  writeLocked();
}

bool zevsite::UserDefaults::synchronize() {
  zevsite::MutexLock lock(mutex_);
  return !dirty_ || writeLocked();
}

bool zevsite::UserDefaults::writeLocked() {
  if (path_.empty()) return false;  // memory only until the host sets a home directory
  std::string content;
  for (const auto& [key, value] : values_) content += key + '\t' + escape(value) + '\n';
  std::string directory = path_.substr(0, path_.rfind('/'));
  if (zevsite::files::makeDirectories(directory) &&
      zevsite::files::writeFileAtomically(path_, content)) {
    dirty_ = false;
  }
  return !dirty_;
}
