#include "table/VdbRelation.h"

#include <cstring>

namespace vdb {

int TVdbRelation::CompareFields(const std::uint8_t* Value1, const std::uint8_t* Value2,
                                TStrCmpOptions, std::uint32_t, bool, std::int32_t FieldSize,
                                std::int32_t, std::int32_t, std::int16_t, std::int16_t) {
  int r = std::memcmp(Value1, Value2, static_cast<std::size_t>(FieldSize));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

bool TVdbRelation::RecordFieldsEqual(const std::uint8_t* Value1, const std::uint8_t* Value2,
                                     TStrCmpOptions Options, std::uint32_t LocaleId,
                                     bool HasNullByte, std::int32_t FieldSize,
                                     std::int16_t ColumnType, std::int16_t TableLevel) {
  return CompareFields(Value1, Value2, Options, LocaleId, HasNullByte, FieldSize, FieldSize,
                       FieldSize, ColumnType, TableLevel) == 0;
}

}  // namespace vdb
