#include "ZEVUncaughtExceptionHandler.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include "Platform/ZEVSiteMutex.h"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>

namespace {

std::atomic<std::terminate_handler> previousHandler{nullptr};
zevsite::Mutex installMutex;  // serialises installations so two threads cannot chain each other

[[noreturn]] void onTerminate() {
  if (std::exception_ptr current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& error) {
      ZEVSiteLoger::adLog("[Site] uncaught exception: %@", error);
    } catch (...) {
      ZEVSiteLoger::adLog("[Site] uncaught exception of unknown type");
    }
  }
  if (std::terminate_handler previous = previousHandler.load()) previous();
  std::abort();
}

}  // namespace

void ZEVUncaughtExceptionHandler::installZEVUncaughtExceptionHandler(bool install,
                                                                     bool /*showAlert*/) {
  if (!install) return;
  zevsite::MutexLock lock(installMutex);
  if (std::get_terminate() == &onTerminate) return;
  previousHandler.store(std::set_terminate(&onTerminate));
}
