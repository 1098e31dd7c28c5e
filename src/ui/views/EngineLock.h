// The one lock that serialises every use of the engine (volumes, items, the block cache and the
// device are not safe from two threads). The main thread holds it around each engine call and a
// command for its whole run; the thumbnail worker holds it for one preview at a time. Recursive, so
// an adapter called from inside a command that already holds it does not deadlock.
#pragma once

#include <mutex>

std::recursive_mutex& engineLock();

// Holds the engine lock for the enclosing scope.
using EngineLocker = std::lock_guard<std::recursive_mutex>;
