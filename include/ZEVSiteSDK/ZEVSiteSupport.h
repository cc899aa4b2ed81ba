// SDK-wide settings and state shared by every manager in the process.
//
// Set the home directory, collect URL and event observer before the first
// ZEVSiteManager::sharedInstanceWithAppId call; later changes apply to what follows them.
// Every operation is thread-safe.
#pragma once

#include <ZEVSiteSDK/ZEVSiteExport.h>
#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

class ZEVSITE_EXPORT ZEVSiteSupport {
 public:
  // Called for every event a task queue accepts, on the thread that tracked it (a host
  // thread, or the SDK's background pool for start-up events), before the event is stored.
  // Keep it short and do not call back into the SDK's tracking operations. Should it throw,
  // the event is stored all the same and the first throw is logged.
  using EventObserver =
      std::function<void(std::string_view eventName, std::string_view uploadString)>;

  // The SDK-wide application id, set by the manager once it accepts an id.
  static void setAppId(ZEVSiteText appId);
  static ZEVSiteText appId();

  // Whether activation has been recorded: persisted in the home directory, so it is true on
  // every launch after the first start-up event ever.
  static bool isActivated();
  static void setActivated();

  // The SDK's data directory, standing for the application's home directory. Default:
  // $ZEVSITE_HOME, else $XDG_DATA_HOME/zevsite, else $HOME/.local/share/zevsite.
  // Library/ is created inside it, owner-only. Nothing is written outside it.
  static void setHomeDirectory(std::string path);
  static std::string homeDirectory();

  // Where task queues post their batches. While unset (the default), events are stored and
  // kept until one is set.
  static void setCollectURL(ZEVSiteText url);
  static ZEVSiteText collectURL();

  // Total time limit of each HTTP request the SDK makes (configuration download, uploads).
  // Zero (the default) means: the cached configuration's timeout, else 30 seconds.
  static void setRequestTimeout(std::chrono::milliseconds timeout);
  static std::chrono::milliseconds requestTimeout();

  // Installs (or, with an empty function, removes) the event observer.
  static void setEventObserver(EventObserver observer);

  // Blocks the calling thread until every event accepted before the call is on disk and a
  // send was attempted (true), or until `timeout` passed (false). Never call it from the
  // event observer.
  static bool flush(std::chrono::milliseconds timeout);

  // Stops sending for the rest of the process: the upload in flight is abandoned (its
  // events stay stored and go out on a later launch) and staged events are written. Returns
  // within `timeout`: true when all of that finished in time. Tracking keeps storing.
  static bool shutdown(std::chrono::milliseconds timeout);
};
