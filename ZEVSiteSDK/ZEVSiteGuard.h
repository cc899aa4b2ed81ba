// The guarded region of the SDK's public operations: runs a body, discards any
// std::exception it raises (the SDK's failures must never reach the host) and lets every
// other kind of exception pass to the caller unchanged.
#pragma once

#include <exception>

namespace zevsite {

template <class Body>
void guarded(Body&& body) {
  try {
    body();
  } catch (const std::exception&) {
    // Discarded on purpose: the operation returns normally.
  }
}

}  // namespace zevsite
