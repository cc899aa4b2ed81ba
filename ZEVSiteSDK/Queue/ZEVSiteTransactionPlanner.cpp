#include "ZEVSiteTransactionPlanner.h"

#include <algorithm>

zevsite::TransactionPlanner::Transaction zevsite::TransactionPlanner::next(
    std::span<const PendingEvent> rows, std::size_t begin,
    std::optional<std::uint64_t> freeBytes) const {
  Transaction transaction;
  transaction.lowOnDisk = freeBytes && *freeBytes < kLowDiskBytes;
  const std::size_t limit = transaction.lowOnDisk ? lowDiskBudget_ : kTransactionBytes;
  std::size_t end = begin;
  do {
    transaction.bytes += rows[end].body.size();
    ++end;
  } while (end < rows.size() && transaction.bytes + rows[end].body.size() <= limit);
  transaction.end = end;
  return transaction;
}

void zevsite::TransactionPlanner::committed() {
  lowDiskBudget_ = std::min(lowDiskBudget_ * 2, kLowDiskTransactionBytes);
}

void zevsite::TransactionPlanner::refusedByFullDisk() {
  lowDiskBudget_ = std::max<std::size_t>(lowDiskBudget_ / 2, 1);
}
