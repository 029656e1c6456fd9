// A small stand-in for the relations in scope of an expression: named tables with typed columns
// and rows of values given as text, one current row per table, and a count of column reads.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sql/VdbExpression.h"
#include "table/kxStrUtils.h"

namespace vdb::test {

class TFakeContext : public TVdbExpressionContext {
 public:
  struct Column {
    std::string Name;
    const TVdbDataType* Type;
  };
  using Row = std::vector<std::optional<std::string>>;  // nullopt = NULL
  struct Table {
    std::string Name;
    TVdbRelationIndex RltnIdx;
    std::vector<Column> Columns;
    std::vector<Row> Rows;
    std::size_t Current = 0;
  };

  Table& AddTable(std::string Name, TVdbRelationIndex RltnIdx, std::vector<Column> Columns) {
    FTables.push_back(Table{std::move(Name), RltnIdx, std::move(Columns), {}, 0});
    return FTables.back();
  }
  Table& GetTable(std::size_t Pos) { return FTables[Pos]; }
  void SetRow(std::size_t TablePos, Row Values) {
    FTables[TablePos].Rows = {std::move(Values)};
    FTables[TablePos].Current = 0;
  }
  // Reads of a column ("table.column") since the last reset.
  int Reads(const std::string& QualifiedName) const {
    auto It = FReads.find(QualifiedName);
    return It == FReads.end() ? 0 : It->second;
  }
  void ResetReads() { FReads.clear(); }

  bool FindColumn(std::string_view Name, TVdbColumnRef& Ref) override {
    std::string_view TablePart, ColumnPart = Name;
    if (auto Dot = Name.find('.'); Dot != std::string_view::npos) {
      TablePart = Name.substr(0, Dot);
      ColumnPart = Name.substr(Dot + 1);
    }
    for (std::size_t T = 0; T < FTables.size(); ++T) {
      if (!TablePart.empty() && CompareIdentifiers(FTables[T].Name, TablePart) != 0) continue;
      for (std::size_t C = 0; C < FTables[T].Columns.size(); ++C) {
        if (CompareIdentifiers(FTables[T].Columns[C].Name, ColumnPart) != 0) continue;
        Ref.Accessor = nullptr;
        Ref.RltnIdx = FTables[T].RltnIdx;
        Ref.RltnPos = static_cast<std::int16_t>(T);
        Ref.FieldNo = static_cast<std::int16_t>(C + 1);
        return true;
      }
    }
    return false;
  }

  const TVdbDataType* ColumnType(const TVdbColumnRef& Ref) override {
    return FTables[static_cast<std::size_t>(Ref.RltnPos)].Columns[static_cast<std::size_t>(Ref.FieldNo - 1)].Type;
  }

  void ReadColumn(const TVdbColumnRef& Ref, TVdbDataValue& Value) override {
    Table& T = FTables[static_cast<std::size_t>(Ref.RltnPos)];
    const Column& C = T.Columns[static_cast<std::size_t>(Ref.FieldNo - 1)];
    ++FReads[T.Name + "." + C.Name];
    const std::optional<std::string>& Text = T.Rows.at(T.Current)[static_cast<std::size_t>(Ref.FieldNo - 1)];
    TVdbDataValue Fresh;
    C.Type->ConvertFromString(Fresh, Text ? std::optional<std::string_view>(*Text) : std::nullopt);
    Value = std::move(Fresh);
  }

 private:
  std::vector<Table> FTables;
  std::map<std::string, int> FReads;
};

}  // namespace vdb::test
