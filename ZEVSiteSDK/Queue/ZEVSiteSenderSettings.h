// What the sender needs from above it, handed in by the facade when the sender is made: the
// host's settings as they are at each attempt, and the transport to post through. Each
// function is called on the sender's thread (never on a tracking call) and must not block.
#pragma once

#include "../Network/ZEVSiteTransport.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace zevsite {

struct SenderSettings {
  // Where uploads go; absent or empty: nothing is sent.
  std::function<std::optional<std::string>()> collectURL;
  // False while the user has opted out: nothing is sent, and a leased batch is let go.
  std::function<bool()> trackingEnabled;
  // The total timeout of an upload (the connect timeout is at most 10 s of it).
  std::function<std::chrono::milliseconds()> requestTimeout;
  // Whether upload bodies are gzip.
  std::function<bool()> compression;
  // How long stored events gather before they go; zero: at once.
  std::function<std::chrono::milliseconds()> dispatchInterval;
  // The send-condition flags (ZEVSiteNetworkCondition bits, as the queues' send conditions)
  // the network satisfies now.
  std::function<int()> networkConditions;
  // Makes the sender's transport, once.
  TransportFactory makeTransport;
};

}  // namespace zevsite
