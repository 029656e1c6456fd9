// Fuzz target of the stored table-definition block: the input is read as the block of a level 6
// (first byte even) or level 5 table. A damaged block may be refused with an engine error; it
// must never crash or touch memory outside the input. A block that is accepted is written again
// and must read back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/VdbErrors.h"
#include "table/VdbDefinitions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 1) return 0;
  const std::int16_t level = (Data[0] & 1) ? 5 : 6;
  // An exact-size copy, so that any read past the block is seen by the address sanitizer.
  const std::vector<std::uint8_t> block(Data + 1, Data + Size);
  vdb::TVdbTableDefinition def;
  try {
    vdb::LoadDefinitionBlock(block.data(), block.size(), level, "", def);
  } catch (const vdb::EVdbEngine&) {
    return 0;
  }
  try {
    const std::vector<std::uint8_t> again = vdb::SaveDefinitionBlock(def, level);
    vdb::TVdbTableDefinition reread;
    vdb::LoadDefinitionBlock(again.data(), again.size(), level, "", reread);
    if (reread.ColumnDefs.GetRecordSize() != def.ColumnDefs.GetRecordSize()) std::abort();
  } catch (const vdb::EVdbEngine& e) {
    // A RecordId column without a specification is readable but cannot be written.
    if (e.Code() != 145) std::abort();
  }
  return 0;
}
