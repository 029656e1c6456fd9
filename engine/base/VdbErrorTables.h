// The engine's two error tables: message formats by engine error number, and the texts of the
// API result codes (TEngErrorMsg).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vdb {

struct VdbErrorEntry {
  std::int16_t code;
  const char* text;
};

extern const VdbErrorEntry kVdbMessageTable[];
extern const std::size_t kVdbMessageTableSize;

extern const VdbErrorEntry TEngErrorMsg[];
extern const std::size_t TEngErrorMsgSize;

}  // namespace vdb
