// Shared pieces of the result-set and cursor tests: the lexicon's table Data opened through the
// base-table fixture, a plan that scans it in physical order with a condition on the headword,
// and a result set over it with the table's columns.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "LexiconCsv.h"
#include "query/VdbCursor.h"
#include "query/VdbResultSet.h"
#include "session/VdbAccessor.h"
#include "table/VdbBaseTableTestSupport.h"
#include "table/kxStrUtils.h"

namespace vdb::querytest {

constexpr std::int16_t kCimszo = 1, kLeiras = 2;

inline const std::string& LexiconPath() {
  static const std::string Path = std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv";
  return Path;
}

// The headword of a record of table Data (or of a result with its columns), as UTF-8.
inline std::string HeadwordOf(const TVdbRelation& Relation, const std::uint8_t* Record) {
  std::string Value;
  Relation.GetAsStringA(Record, kCimszo, Value);
  return Value;
}

// Scans one relation in physical order; a row qualifies when Accept says so of its headword.
class TScanPlan : public TVdbResultPlan {
 public:
  using TAccept = std::function<bool(const std::string& Headword)>;
  TScanPlan(TVdbAccessor& Accessor, TAccept Accept)
      : FAccessor(Accessor), FAccept(std::move(Accept)) {}
  void Initialize() override { ++Initialized; }
  void Reset() override { FStarted = false; }
  bool FindNext() override {
    while (true) {
      const std::int16_t Moved = FStarted ? FAccessor.Next() : FAccessor.First();
      FStarted = true;
      if (Moved == kVdbEndOfWalk) return false;
      if (Moved < 0) throw EVdbEngine(static_cast<std::int16_t>(-Moved), kxFormatArgs{});
      ++Scanned;
      if (FailAt > 0 && Scanned == FailAt) throw EVdbEngine(44, kxFormatArgs{});
      if (FAccept(HeadwordOf(FAccessor.Relation(), FAccessor.GetRecordPtr()))) return true;
    }
  }
  int RelationCount() const override { return 1; }
  TVdbRelationIndex RelationIndex(int) const override { return FAccessor.Relation().RltnIdx(); }

  int Initialized = 0;
  int Scanned = 0;
  int FailAt = 0;  // raises error 44 at this row of the scan

 private:
  TVdbAccessor& FAccessor;
  TAccept FAccept;
  bool FStarted = false;
};

// Table Data of a lexicon database, and result sets over it.
class QueryFixture : public test::BaseTableFixture {
 protected:
  void TearDown() override {
    Cursors.clear();
    Results.clear();
    test::BaseTableFixture::TearDown();
  }

  // The whole lexicon, or the given entries.
  void OpenLexicon(const std::vector<lexicon::LexiconEntry>& Entries) {
    WriteDatabase(Entries);
    Table = OpenTable(kVdbWriteRights);
    ASSERT_NE(Table, nullptr);
    Table->SetRltnIdx(1);
  }
  void OpenLexicon() { OpenLexicon(lexicon::ReadLexiconCsv(LexiconPath())); }

  // A result set with the columns of Data, filled by a scan with Accept, ordered by SortOrder.
  TVdbResultSet& NewResult(TScanPlan::TAccept Accept, const std::string& SortOrder = {},
                           std::int32_t TopCount = 0) {
    auto Result = std::make_unique<TVdbResultSet>(Session(), "SimpleResultSet");
    auto Columns = std::make_unique<TVdbColumnDefs>();
    TVdbColumnOrigins Origins;
    for (std::int16_t FieldNo = 1; FieldNo <= Table->GetColumnCount(); ++FieldNo) {
      TVdbColumnDef& Column = Columns->Add(Table->GetColumnDef(FieldNo).Clone());
      Column.BaseRltnIdx = Table->RltnIdx();
      Column.BaseFieldNo = FieldNo;
      Origins.emplace_back();
    }
    Result->SetSchema(std::move(Columns), std::move(Origins));
    auto Accessors = std::make_unique<TVdbAccessorSet>(nullptr, false);
    TVdbAccessor& Scan = Accessors->AddAccessor(std::make_unique<TVdbAccessor>(*Table, "Query"));
    Result->SetAccessors(std::move(Accessors));
    auto Plan = std::make_unique<TScanPlan>(Scan, std::move(Accept));
    LastPlan = Plan.get();
    Result->SetQueryExecutionPlan(std::move(Plan));
    Result->SetTopCount(TopCount);
    EXPECT_EQ(Result->Open(false), 0) << Errors().LastErrorMsg();
    EXPECT_EQ(Result->SetSortOrder(SortOrder), 0) << Errors().LastErrorMsg();
    EXPECT_EQ(Result->Recalc(), 0) << Errors().LastErrorMsg();
    Results.push_back(std::move(Result));
    return *Results.back();
  }

  // The base record numbers of the rows, in row order.
  static std::vector<std::int32_t> BaseNumbers(TVdbResultSet& Result) {
    std::vector<std::int32_t> Numbers;
    for (std::int32_t Row = 1; Row <= Result.RecordCount(); ++Row)
      Numbers.push_back(Result.GetRow(Row)->at(0));
    return Numbers;
  }

  // The record numbers of Data whose headwords pass Accept, ordered by headword under the
  // column's collation (equal headwords in record order); Descending reverses the headword order.
  std::vector<std::int32_t> ExpectedOrder(const TScanPlan::TAccept& Accept, bool Descending) {
    std::uint32_t Locale = 0;
    TStrCmpOptions Options = 0;
    EXPECT_TRUE(ParseCollationName("Hungarian_ci_as", Locale, Options));
    std::vector<std::pair<std::int32_t, std::string>> Rows;
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(Table->RecordSize()));
    for (std::int32_t RecNo = 1; RecNo <= Table->RecordCount(); ++RecNo) {
      EXPECT_EQ(Table->ReadRecord(RecNo, Record.data()), 0);
      const std::string Word = HeadwordOf(*Table, Record.data());
      if (Accept(Word)) Rows.emplace_back(RecNo, Utf8ToAnsi(Word, LocaleCodePage(Locale)));
    }
    std::stable_sort(Rows.begin(), Rows.end(), [&](const auto& A, const auto& B) {
      const int Order = CompareCollated(A.second.data(), static_cast<std::int32_t>(A.second.size()),
                                        B.second.data(), static_cast<std::int32_t>(B.second.size()),
                                        Options, Locale);
      return Descending ? Order > 0 : Order < 0;
    });
    std::vector<std::int32_t> Numbers;
    for (const auto& Row : Rows) Numbers.push_back(Row.first);
    return Numbers;
  }

  TVdbBaseTable* Table = nullptr;
  TScanPlan* LastPlan = nullptr;
  std::vector<std::unique_ptr<TVdbResultSet>> Results;
  std::vector<std::unique_ptr<TVdbCursor>> Cursors;
};

// Headwords containing "róka" in any letter case of its first letter.
inline bool HasRoka(const std::string& Headword) {
  return Headword.find("róka") != std::string::npos || Headword.find("Róka") != std::string::npos;
}

}  // namespace vdb::querytest
