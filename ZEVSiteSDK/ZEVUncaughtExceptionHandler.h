// The SDK's process-wide handler for uncaught failures: a std::terminate handler that logs
// the exception that escaped (through ZEVSiteLoger) and then hands over to the handler that
// was installed before it, so the host's own crash handling still runs.
#pragma once

class ZEVUncaughtExceptionHandler {
 public:
  // With `install` true, makes the SDK's handler the terminate handler, remembering the
  // previous one. Installing again while ours is current changes nothing, so the handler
  // never chains to itself. `showAlert` is accepted for compatibility; nothing is shown.
  // Any thread.
  static void installZEVUncaughtExceptionHandler(bool install, bool showAlert);
};
