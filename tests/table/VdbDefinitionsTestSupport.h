// Shared fixtures of the definition and index-key tests: the lexicon's table Data and a helper
// that answers the engine error number an action raises.
#pragma once

#include <cstdint>
#include <functional>

#include "base/VdbErrors.h"
#include "table/VdbData.h"
#include "table/VdbDefinitions.h"

namespace vdb::test {

// The engine error number Action raises; 0 when it raises none.
inline std::int16_t ErrorOf(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const EVdbEngine& e) {
    return e.Code();
  }
  return 0;
}

// The columns of the lexicon's table Data (level 6): CIMSZO VARCHAR(150) nullable and LEIRAS
// memo nullable, both under the table collation.
inline TVdbColumnDefs LexiconColumns(const std::string& Collation = "Hungarian_ci_as") {
  TVdbColumnDefs columns;
  columns.Add(TVdbColumnDef::CreateColumnDef(
      "CIMSZO", TVdbDataType::GetStringType(1, true, 6, 150, Collation), kVdbColNullable));
  columns.Add(TVdbColumnDef::CreateColumnDef(
      "LEIRAS", TVdbDataType::GetStringType(7, true, 6, 0, Collation), kVdbColNullable));
  return columns;
}

}  // namespace vdb::test
