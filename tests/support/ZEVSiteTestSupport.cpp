#include "ZEVSiteTestSupport.h"

#include <set>

#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteCollector.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char** environ;

std::string makeTemporaryDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zevsite-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

ZEVSiteChild spawnChild(const std::string& program, std::vector<std::string> arguments,
                        bool readOutput) {
  int pipeFds[2] = {-1, -1};
  if (readOutput && ::pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (readOutput) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
#ifdef ZEVSITE_TEST_EMULATOR
  std::string path = ZEVSITE_TEST_EMULATOR;
  std::string target = program;
  std::vector<char*> argv{path.data(), target.data()};
#else
  std::string path = program;
  std::vector<char*> argv{path.data()};
#endif
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (readOutput) ::close(pipeFds[1]);
  return {pid, pipeFds[0]};
}

ZEVSiteUpload ZEVSiteUpload::decode(std::string_view upload) {
  return {zevsite::collector::Collector::decode(std::string(upload))};
}

std::optional<std::string> ZEVSiteUpload::get(std::string_view key) const {
  for (const auto& [name, value] : fields) {
    if (name == key) return value;
  }
  return std::nullopt;
}

bool ZEVSiteUpload::isSdkAttribute(std::string_view key) {
  static const std::set<std::string, std::less<>> kSdkKeys = {
      "v",  "cid", "eid",  "ts", "sdkv", "uid", "av",  "ab",
      "os", "osv", "arch", "lc", "tz",   "sr",  "sid", "sn"};
  return kSdkKeys.count(key) != 0;
}

std::vector<std::pair<std::string, std::string>> ZEVSiteUpload::eventFields() const {
  std::vector<std::pair<std::string, std::string>> own;
  for (const auto& field : fields) {
    const std::string& key = field.first;
    if (isSdkAttribute(key)) continue;
    own.push_back(field);
  }
  return own;
}

void ZEVSiteTest::SetUp() {
  home_ = makeTemporaryDirectory();
  ZEVSiteSupport::setHomeDirectory(home_);
  platform_ = std::make_shared<ZEVSiteManualPlatform>();
  ZEVSitePlatform::install(platform_);
  ZEVSiteLoger::setSink([this](std::string_view line) {
    std::lock_guard lock(capturedMutex_);
    logLines_.emplace_back(line);
  });
  ZEVSiteLoger::setDebug(true);
  ZEVSiteSupport::setEventObserver([this](std::string_view name, std::string_view upload) {
    std::lock_guard lock(capturedMutex_);
    events_.push_back({std::string(name), std::string(upload)});
  });
}

void ZEVSiteTest::TearDown() {
  ZEVSiteSupport::flush(std::chrono::seconds(5));
  ZEVSiteSupport::setEventObserver(nullptr);
  ZEVSiteLoger::setSink(nullptr);
  ZEVSiteLoger::setDebug(false);
  // The event context is the process's: leave none of this test's settings to the next.
  ZEVSiteSupport::setAppVersion(std::nullopt, std::nullopt);
  ZEVSiteSupport::setScreenSize(0, 0);
  ZEVSiteSupport::setDefaultCustomDimMetrics(ZEVSiteValue());
  ZEVSiteSupport::setSessionTimeout(std::chrono::minutes(30));
  ZEVSiteSupport::setApplicationActive(true);
  // Workers this test drove run on threads of their own from here on, as in a host: ctest
  // runs each test in a process of its own, but a developer may run several in one.
  platform_->stopDriving();
  std::error_code ignored;
  std::filesystem::remove_all(home_, ignored);
}

std::vector<std::string> ZEVSiteTest::logLines() {
  std::lock_guard lock(capturedMutex_);
  return logLines_;
}

std::vector<std::string> ZEVSiteTest::logLinesButEventsKept() {
  std::vector<std::string> lines = logLines();
  std::erase(lines, kEventsKeptLine);
  return lines;
}

std::vector<ZEVSiteObservedEvent> ZEVSiteTest::events() {
  std::lock_guard lock(capturedMutex_);
  return events_;
}

void ZEVSiteTest::clearCaptured() {
  std::lock_guard lock(capturedMutex_);
  logLines_.clear();
  events_.clear();
}

std::vector<std::string> ZEVSiteTest::storedUploads() {
  // Every accepted event on disk and, where a send can be attempted (a collect URL is set and
  // tracking enabled), an attempt made: what it delivered is gone.
  const ZEVSiteText url = ZEVSiteSupport::collectURL();
  const bool canSend = url && !url->empty() && ZEVSiteSupport::isTrackingEnabled();
  EXPECT_EQ(ZEVSiteSupport::flush(std::chrono::seconds(10)), canSend);
  EXPECT_TRUE(zevsite::EventStorage::forHome(home_)->flush(std::chrono::steady_clock::now()));
  std::vector<std::string> uploads;
  zevsite::EventStorage::forHome(home_)->withStore([&](zevsite::EventStore& store) {
    for (auto& event : store.readAll()) uploads.push_back(std::move(event.body));
  });
  return uploads;
}

std::string gunzipped(const std::string& compressed) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) throw std::runtime_error("inflateInit2");
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  std::string plain;
  char buffer[16384];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    plain.append(buffer, sizeof buffer - stream.avail_out);
  }
  inflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("not a whole gzip stream");
  return plain;
}
