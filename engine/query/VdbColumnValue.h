// One column's value as statements copy, compare and write rows: short values as data values,
// memo and blob columns as their whole text or bytes (a record holds only their block numbers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/VdbAccessor.h"
#include "table/VdbData.h"

namespace vdb {

class TVdbRelation;

struct TVdbColumnValue {
  TVdbColumnValue() = default;
  TVdbColumnValue(TVdbColumnValue&&) noexcept = default;
  TVdbColumnValue& operator=(TVdbColumnValue&&) noexcept = default;
  TVdbColumnValue(const TVdbColumnValue& Other);
  TVdbColumnValue& operator=(const TVdbColumnValue&) = delete;
  bool IsNull = true;
  TVdbDataValue Value;
  const TVdbDataType* Type = nullptr;
  std::string Long;         // memo text in the column's code page, blob bytes
  std::u16string WideLong;  // wide memo text
  std::int16_t BlobType = 0;
};
using TVdbRowValues = std::vector<TVdbColumnValue>;

bool IsLongColumnType(std::int16_t Code);  // memo, wide memo, blob
std::uint32_t CodePageOf(const TVdbDataType* Type);

// The current row's value of a column, and the whole row.
TVdbColumnValue ReadColumnValue(TVdbAccessor& Accessor, std::int16_t FieldNo);
TVdbRowValues ReadRowValues(TVdbAccessor& Accessor);

// A computed value made ready for column FieldNo of Relation (long columns get its text or bytes).
TVdbColumnValue ColumnValueFor(const TVdbRelation& Relation, std::int16_t FieldNo, const TVdbDataValue& Value,
                               const TVdbDataType* Type);

// A value read from one column made ready for column FieldNo of Relation: a memo's text goes to a
// short column as a string and a short value to a memo as text; short values keep their type
// (the write converts them and refuses what does not fit).
TVdbColumnValue ConvertColumnValue(TVdbColumnValue Column, const TVdbRelation& Relation, std::int16_t FieldNo);

// Puts a value into the accessor's work record (or its pending long values); error 47 for NULL in
// a column that does not take it.
void WriteColumnValue(TVdbAccessor& Accessor, std::int16_t FieldNo, const TVdbColumnValue& Column);

// Orders two values of paired columns: NULL first; short values by their types (collations
// included); memo texts and blob bytes by their contents, unit by unit, so that two long values
// are equal exactly when their contents are.
int CompareColumnValues(const TVdbColumnValue& A, const TVdbColumnValue& B);

}  // namespace vdb
