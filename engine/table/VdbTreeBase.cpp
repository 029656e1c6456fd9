#include "table/VdbTreeBase.h"

#include <algorithm>

namespace vdb {

TVdbTreeBase::TVdbTreeBase(TVdbClientStorage& Storage, std::int32_t Offset)
    : FStorage(&Storage), FOffset(Offset) {}

TVdbTreeBase::~TVdbTreeBase() = default;

namespace {

constexpr std::int32_t kMinSlotsPerPage = 39;

std::int64_t PageCapacity(std::int16_t Version, std::int64_t Size, std::int64_t SlotSize) {
  if (Version <= 3) return (Size - 4) / SlotSize * 65535;
  return std::min<std::int64_t>((Size - 6) / SlotSize * 2147483647LL, 2147483647LL);
}

}  // namespace

std::int32_t TVdbTreeBase::CalcPageSize(std::int16_t Version, std::int32_t MaxKeySize,
                                        std::int32_t Capacity) {
  const std::int64_t SlotSize = static_cast<std::int64_t>(std::max(MaxKeySize, 1)) +
                                (Version >= 4 ? 4 : 2);
  const std::int64_t Largest = Version >= 4 ? 16 * 1024 * 1024 : 16 * 1024;
  std::int64_t Size = 4096;
  while (Size < SlotSize + 8 && Size * 2 <= Largest) Size *= 2;
  while (Size / SlotSize < kMinSlotsPerPage && Size * 2 <= Largest) Size *= 2;
  while (PageCapacity(Version, Size, SlotSize) < 2 * static_cast<std::int64_t>(Capacity) &&
         Size * 2 <= Largest) {
    Size *= 2;
  }
  return static_cast<std::int32_t>(Size);
}

}  // namespace vdb
