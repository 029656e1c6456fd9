// The isolation level of a session's transactions: a setting of the session's services that the
// table layer's locking reads, so it lives below both.
#pragma once

#include <cstdint>

namespace vdb {

// tilNone: no transaction, no undo log.
enum TVdbIsolationLevel : std::uint8_t {
  tilNone = 0,
  tilDirtyRead = 1,
  tilReadCommited = 2,
  tilRepeatableRead = 3
};

}  // namespace vdb
