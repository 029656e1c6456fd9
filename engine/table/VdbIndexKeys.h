// Index keys: index specifications turned into sort definitions, index items built from record
// buffers, and the entry order of index items. These work over a table's column definitions and
// its table level; the relations forward to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "table/VdbDefinitions.h"
#include "table/VdbIndexFile.h"

namespace vdb {

// The sort definition of an index specification: items separated by ",", each an optional "-"
// (descending), an optional "$", a column name (optionally in braces) or a 1-based column
// number, and an optional ":" with a number that is ignored; or an expression in parentheses,
// which is compiled with Factory. Errors: 98 (empty item, unknown column, unusable expression,
// no factory for an expression), 61 (too many levels for the table level).
std::unique_ptr<TVdbSortDef> CalcIndexDefinition(const TVdbColumnDefs& Columns,
                                                 std::int16_t TableLevel,
                                                 const std::string& IndexSpecification,
                                                 bool Unique,
                                                 TVdbExpressionFactory* Factory = nullptr);

// Builds the index item of a record: the record number, then the key pieces. Item must hold
// IndexDef.FSize bytes (ItemCapacity); answers the key length (without the record number).
// An expression index needs a compiled calculation (error 98 otherwise).
std::int32_t CalcIndexInfo(const TVdbColumnDefs& Columns, std::int16_t TableLevel,
                           const std::uint8_t* RecBuffer, const TVdbSortDef& IndexDef,
                           std::uint8_t* Item, std::size_t ItemCapacity, std::int32_t RecordNo);
inline std::int32_t CalcIndexInfo(const TVdbColumnDefs& Columns, std::int16_t TableLevel,
                                  const std::uint8_t* RecBuffer, const TVdbSortDef& IndexDef,
                                  TVdbLongIndexInfo& IndexInfo, std::int32_t RecordNo) {
  return CalcIndexInfo(Columns, TableLevel, RecBuffer, IndexDef,
                       reinterpret_cast<std::uint8_t*>(&IndexInfo), sizeof(TVdbLongIndexInfo),
                       RecordNo);
}

// The number of bytes the key piece of Level occupies at Piece (variable-size string pieces
// are only as long as their content; other pieces have the level's size).
std::int32_t KeyPieceLength(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
                            std::int16_t TableLevel, int Level, const std::uint8_t* Piece);

// The length of a whole item (record number and key) as CalcIndexInfo built it.
std::int32_t IndexItemLength(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
                             std::int16_t TableLevel, const std::uint8_t* Item);

// True when item X sorts before item Y. Keys compare level by level under each column's
// collation (ExtraOptions added), descending levels inverted; equal keys are ordered by record
// number, and then NotUnique is set to true (it is left as it is when the keys differ), which is
// how the trees learn that an index holds two equal keys.
bool IndexLess(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
               std::int16_t TableLevel, const std::uint8_t* X, const std::uint8_t* Y,
               bool& NotUnique, std::uint32_t ExtraOptions = 0);

// The index of the first level whose key pieces differ in items X and Y; the level count when
// all are equal (for an expression index 0 or the level count).
std::int16_t FindSortKeyDiff(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
                             std::int16_t TableLevel, const std::uint8_t* X,
                             const std::uint8_t* Y);

// The definition an index file's header stores for IndexDef: levels with column number (bit 15 for
// descending), piece size and type code, the item size, and for expression indexes the result
// type, piece size and source; the vector form too for tables up to level 3.
TVdbIndexHeaderDef VdbIndexHeaderDef(const TVdbSortDef& IndexDef, std::int16_t TableLevel);

}  // namespace vdb
