// The per-folder lock: exclusive, advisory and never waited for, so a second
// operation on a busy folder fails at once. Not re-entrant.
#pragma once

#include <functional>
#include <string>

#include "core/store/checkpoint_store.h"

namespace redomark {

// Runs body while holding the lock of folder in store. Throws RedomarkError::busy
// when it is held, RedomarkError::io when the lock file cannot be opened, and
// passes on whatever body throws (after removing a folder directory that holds
// only ".lock").
void withFolderLock(const CheckpointStore& store, const std::string& folder, const std::function<void()>& body);

// The same, but false instead of RedomarkError::busy when the lock is held,
// with body not run.
bool tryWithFolderLock(const CheckpointStore& store, const std::string& folder, const std::function<void()>& body);

template <typename Body>
auto withFolderLockResult(const CheckpointStore& store, const std::string& folder, Body body) {
  decltype(body()) result{};
  withFolderLock(store, folder, [&] { result = body(); });
  return result;
}

}  // namespace redomark
