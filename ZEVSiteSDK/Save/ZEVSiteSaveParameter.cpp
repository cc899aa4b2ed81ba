#include "ZEVSiteSaveParameter.h"

#include "../Platform/ZEVSiteFiles.h"
#include "../Platform/ZEVSiteNoDestructor.h"
#include "../Platform/ZEVSitePlatform.h"
#include "../ZEVSiteRandom.h"

namespace {
constexpr const char* kClientIdKey = "ZEVSITE_CLIENT_ID";
}

ZEVSiteSaveParameter& ZEVSiteSaveParameter::shareInstance() {
  static ZEVSiteNoDestructor<ZEVSiteSaveParameter> store;
  return store.get();
}

std::int64_t ZEVSiteSaveParameter::getCid() {
  std::uint64_t generation = zevsite::files::homeGeneration();
  if (cachedGeneration_.load(std::memory_order_acquire) == generation) {
    return cachedCid_.load(std::memory_order_relaxed);
  }
  std::lock_guard lock(mutex_);
  auto defaults = ZEVSitePlatform::current().standardUserDefaults();
  auto stored = defaults->findInteger(kClientIdKey);
  if (!stored) {
    // A random positive id: the top bit cleared, zero excluded. A stored id is used as it
    // stands, whatever its value.
    std::int64_t fresh = 0;
    while (fresh == 0) fresh = static_cast<std::int64_t>(zevsite::randomUInt64() >> 1);
    defaults->setInteger(fresh, kClientIdKey);
    stored = fresh;
  }
  cachedCid_.store(*stored, std::memory_order_relaxed);
  cachedGeneration_.store(generation, std::memory_order_release);
  return *stored;
}
