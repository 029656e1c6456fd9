// The item order of the tree tests and the index file fuzzer: a 4-byte record number, a length
// byte and the key characters, compared by key, then by record number.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "storage/kxMemory.h"

namespace vdb::treetest {

// The comparison as a real index order reads items: never beyond the item size, whatever a
// damaged length byte says.
inline bool BoundedLess(const std::uint8_t* X, const std::uint8_t* Y, bool& Unique,
                        std::int32_t ItemSize) {
  const int Limit = std::max(ItemSize - 5, 0);
  const int LenX = std::min<int>(X[4], Limit);
  const int LenY = std::min<int>(Y[4], Limit);
  const int Order = std::memcmp(X + 5, Y + 5, static_cast<std::size_t>(std::min(LenX, LenY)));
  if (Order != 0) return Order < 0;
  if (LenX != LenY) return LenX < LenY;
  Unique = true;
  return TkxMemory::ReadInt32(X, 0) < TkxMemory::ReadInt32(Y, 0);
}

}  // namespace vdb::treetest
