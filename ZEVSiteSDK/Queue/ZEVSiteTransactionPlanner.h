// Sizes the writer's transactions by the free space on the store's disk. With room to spare a
// transaction takes up to kTransactionBytes of upload bytes, the fastest way. Below
// kLowDiskBytes free it takes at most a budget that halves after each transaction a full disk
// refused (down to one event) and doubles again with every one that fits, up to
// kLowDiskTransactionBytes; every commit then checkpoints a log of kLowDiskCheckpointFrames
// pages or more; and no transaction starts that would leave less than kDiskReserveBytes free.
// No I/O: the writer asks the disk and the store, the planner decides. Used by the writer
// thread alone.
#pragma once

#include "ZEVSiteStagingArea.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zevsite {
class TransactionPlanner {
 public:
  static constexpr std::uint64_t kLowDiskBytes = 16 * 1024 * 1024;
  static constexpr std::size_t kLowDiskTransactionBytes = 32 * 1024;
  // Upload bytes per transaction otherwise: about 3,000 page views, a few milliseconds.
  static constexpr std::size_t kTransactionBytes = 512 * 1024;
  static constexpr int kLowDiskCheckpointFrames = 32;
  // Free space the writer leaves on the disk (counting free pages inside the database), so
  // that the sender can still lease and delete delivered events, and the log be checkpointed:
  // on a full disk every SQLite write fails, and nothing would ever be sent again.
  static constexpr std::uint64_t kDiskReserveBytes = 256 * 1024;

  struct Transaction {
    std::size_t end = 0;     // the rows from the start given up to here; one at least
    std::size_t bytes = 0;   // their upload bytes
    bool lowOnDisk = false;  // the careful mode: small transactions, frequent checkpoints
  };

  // The next transaction of `rows` from `begin` (< rows.size()), with `freeBytes` free on the
  // disk (nullopt: unknown, taken as plenty).
  Transaction next(std::span<const PendingEvent> rows, std::size_t begin,
                   std::optional<std::uint64_t> freeBytes) const;
  // Whether a transaction that grows the store's files by `growthBytes` leaves the reserve:
  // a log whose pages the database cannot grow to take can never be checkpointed, nor
  // started over, and every later write (a lease, a deletion) fails.
  static bool leavesReserve(std::uint64_t freeBytes, std::uint64_t growthBytes) {
    return freeBytes >= kDiskReserveBytes + growthBytes;
  }
  // A transaction was committed: the low-disk budget doubles (up to its cap).
  void committed();
  // A full disk refused a transaction: the low-disk budget halves (down to one byte, so one
  // event).
  void refusedByFullDisk();
  std::size_t lowDiskBudget() const { return lowDiskBudget_; }

 private:
  std::size_t lowDiskBudget_ = kLowDiskTransactionBytes;
};
}  // namespace zevsite
