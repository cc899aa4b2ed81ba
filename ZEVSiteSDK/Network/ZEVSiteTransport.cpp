#include "ZEVSiteTransport.h"

#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSiteNoDestructor.h"
#include "ZEVSiteHTTPClient.h"

namespace {

struct FactorySlot {
  zevsite::Mutex mutex;  // guards factory: tests replace it while no sender is being made
  zevsite::TransportFactory factory ZEVSITE_GUARDED_BY(mutex);
};

FactorySlot& slot() {
  static zevsite::NoDestructor<FactorySlot> instance;
  return instance.get();
}

}  // namespace

void zevsite::net::setTransportFactory(TransportFactory factory) {
  auto& state = slot();
  zevsite::MutexLock lock(state.mutex);
  state.factory = std::move(factory);
}

std::unique_ptr<zevsite::Transport> zevsite::net::makeTransport() {
  TransportFactory factory;
  {
    auto& state = slot();
    zevsite::MutexLock lock(state.mutex);
    factory = state.factory;
  }
  if (factory) return factory();
  return std::make_unique<HttpClient>();
}
