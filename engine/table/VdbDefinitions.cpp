#include "table/VdbDefinitions.h"

#include "session/VdbErrors.h"
#include "table/kxStrUtils.h"

namespace vdb {

TVdbExpressionSource TVdbExpressionSource::FromStored(const std::string& Stored,
                                                      std::int16_t TableLevel) {
  if (TableLevel <= 4) return TVdbExpressionSource(Stored, !Stored.empty());
  if (!Stored.empty() && Stored[0] == '@') return TVdbExpressionSource(Stored.substr(1), true);
  return TVdbExpressionSource(Stored, false);
}

std::string TVdbExpressionSource::StoredText(std::int16_t TableLevel) const {
  if (FProcedural && TableLevel >= 5) return "@" + FSource;
  return FSource;
}

std::int32_t CalcDefinitionBlockLength(std::int64_t BlockOffset, std::size_t UsedSize) {
  const std::int64_t B = BlockOffset + 4;
  const std::int64_t RecordsStart =
      8192 * ((B + static_cast<std::int64_t>(UsedSize) + 16384) / 8192);
  return static_cast<std::int32_t>(RecordsStart - B);
}

}  // namespace vdb
