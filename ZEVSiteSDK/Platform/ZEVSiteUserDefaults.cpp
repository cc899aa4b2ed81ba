#include "ZEVSiteUserDefaults.h"

#include "ZEVSiteFiles.h"

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

std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out += text[i + 1] == 'n' ? '\n' : text[i + 1];
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

ZEVSiteUserDefaults::ZEVSiteUserDefaults(std::string homeDirectory)
    : path_(zevsite::files::joinPath(homeDirectory, "Library/Preferences/zevsite.defaults")) {
  load();
}

void ZEVSiteUserDefaults::load() {
  auto content = zevsite::files::readFile(path_);
  if (!content) return;
  std::string_view rest(*content);
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab == 0) continue;
    values_[std::string(line.substr(0, tab))] = unescape(line.substr(tab + 1));
  }
}

std::int64_t ZEVSiteUserDefaults::integerForKey(std::string_view key) const {
  return findInteger(key).value_or(0);
}

std::optional<std::int64_t> ZEVSiteUserDefaults::findInteger(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto found = values_.find(key);
  if (found == values_.end() || found->second.empty() || found->second[0] != 'i') return {};
  std::int64_t value = 0;
  const char* first = found->second.data() + 1;
  const char* last = found->second.data() + found->second.size();
  auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return {};
  return value;
}

void ZEVSiteUserDefaults::setInteger(std::int64_t value, std::string_view key) {
  std::lock_guard lock(mutex_);
  values_[std::string(key)] = "i" + std::to_string(value);
  dirty_ = true;
  writeLocked();
}

std::optional<std::string> ZEVSiteUserDefaults::stringForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto found = values_.find(key);
  if (found == values_.end() || found->second.empty() || found->second[0] != 's') return {};
  return found->second.substr(1);
}

void ZEVSiteUserDefaults::setString(std::string value, std::string_view key) {
  std::lock_guard lock(mutex_);
  values_[std::string(key)] = "s" + value;
  dirty_ = true;
  writeLocked();
}

bool ZEVSiteUserDefaults::synchronize() {
  std::lock_guard lock(mutex_);
  return !dirty_ || writeLocked();
}

bool ZEVSiteUserDefaults::writeLocked() {
  std::string content;
  for (const auto& [key, value] : values_) content += key + '\t' + escape(value) + '\n';
  std::string directory = path_.substr(0, path_.rfind('/'));
  if (zevsite::files::makeDirectories(directory) &&
      zevsite::files::writeFileAtomically(path_, content)) {
    dirty_ = false;
  }
  return !dirty_;
}
