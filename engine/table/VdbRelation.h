// Relations: the key-field comparison of stored field images.
#pragma once

#include <cstdint>

#include "table/kxStrUtils.h"

namespace vdb {

class TVdbRelation {
 public:
  // Compares two field images of the given column type; -1, 0, 1. HasNullByte: the field carries
  // a null byte (first byte from table level 6 on, else the last byte). DataSize1/2 are the image
  // sizes of the two sides (string key pieces may be shorter than FieldSize).
  static int CompareFields(const std::uint8_t* Value1, const std::uint8_t* Value2,
                           TStrCmpOptions Options, std::uint32_t LocaleId, bool HasNullByte,
                           std::int32_t FieldSize, std::int32_t DataSize1, std::int32_t DataSize2,
                           std::int16_t ColumnType, std::int16_t TableLevel);
  // True when the two field images compare equal.
  static bool RecordFieldsEqual(const std::uint8_t* Value1, const std::uint8_t* Value2,
                                TStrCmpOptions Options, std::uint32_t LocaleId, bool HasNullByte,
                                std::int32_t FieldSize, std::int16_t ColumnType,
                                std::int16_t TableLevel);
};

}  // namespace vdb
