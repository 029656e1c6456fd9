// Result sets over the lexicon's table Data: the search query's shape (one base record number
// per row, sorted by the headword under its collation), sort orders and their errors, TOP,
// reading values and memos from the base rows, deletions in the base table, appending through
// the result, deleting all rows, and the virtual index.
#include "query/VdbResultSet.h"

#include <gtest/gtest.h>

#include <cstring>

#include "query/VdbQueryTestSupport.h"
#include "sql/VdbExpression.h"

namespace vdb::querytest {
namespace {

using TNumbers = std::vector<std::int32_t>;

class ResultSetTest : public QueryFixture {};

TEST_F(ResultSetTest, SearchResultHoldsTheMatchingRowsInHungarianHeadwordOrder) {
  OpenLexicon();
  TVdbResultSet& Result = NewResult(HasRoka, "${CIMSZO}");
  const TNumbers Expected = ExpectedOrder(HasRoka, false);
  ASSERT_EQ(Expected.size(), 19u);
  EXPECT_EQ(BaseNumbers(Result), Expected);
  EXPECT_EQ(Result.RecordCount(), 19);
  EXPECT_EQ(Result.GetRecordCount(), 19);
  EXPECT_EQ(LastPlan->Scanned, 1752);
  // The collation puts "Ezüstróka" first and the "R" words together, "Róka" before "Róka halála".
  std::vector<std::string> Words;
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Result.RecordSize()));
  for (std::int32_t Row = 1; Row <= Result.RecordCount(); ++Row) {
    ASSERT_EQ(Result.ReadRecord(Row, Record.data()), 0);
    Words.push_back(HeadwordOf(Result, Record.data()));
  }
  EXPECT_EQ(Words.front(), "Ezüstróka");
  EXPECT_EQ(Words[3], "Róka");
  EXPECT_EQ(Words[4], "Róka halála");
  EXPECT_EQ(Words.back(), "Rókavár");
  // A live result over one table: the table's write rights plus the index right.
  EXPECT_TRUE(Result.IsLive());
  EXPECT_FALSE(Result.GetReadOnly());
  EXPECT_EQ(Result.Rights(), kVdbWriteRights);
  EXPECT_EQ(Result.Level(), 6);
  EXPECT_EQ(Result.GetPrimaryBaseRelation(), Table);
}

TEST_F(ResultSetTest, SortingAllHeadwordsGivesTheHeadwordIndexOrder) {
  OpenLexicon();
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; }, "CIMSZO");
  ASSERT_EQ(Result.RecordCount(), 1752);
  const std::int16_t IndexNo = Table->GetIndexNo("CIMSZO");
  ASSERT_GE(IndexNo, 0);
  EXPECT_EQ(BaseNumbers(Result), IndexWalk(*Table, IndexNo));
}

TEST_F(ResultSetTest, SortOrderItemsResolveByNameBaseNameQualifiedNameAndNumber) {
  OpenLexicon(test::NumberedEntries(5));
  const TNumbers Ascending{1, 2, 3, 4, 5}, Descending{5, 4, 3, 2, 1};
  const std::vector<std::pair<std::string, TNumbers>> Cases = {
      {"CIMSZO", Ascending},   {"  ${CIMSZO}\t", Ascending}, {"{cimszo}", Ascending},
      {"Data.CIMSZO", Ascending}, {"SimpleResultSet.CIMSZO", Ascending}, {"1", Ascending},
      {"-1", Descending},      {"-${CIMSZO}", Descending},  {"", Ascending}};
  for (const auto& [Order, Expected] : Cases) {
    SCOPED_TRACE(Order);
    EXPECT_EQ(BaseNumbers(NewResult([](const std::string&) { return true; }, Order)), Expected);
  }
}

TEST_F(ResultSetTest, DescendingOrderKeepsEqualHeadwordsInScanOrder) {
  OpenLexicon();
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; }, "-CIMSZO");
  EXPECT_EQ(BaseNumbers(Result), ExpectedOrder([](const std::string&) { return true; }, true));
}

TEST_F(ResultSetTest, AnItemThatNamesNoColumnFailsWithError50) {
  OpenLexicon(test::NumberedEntries(3));
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; });
  for (const std::string Order : {"NOPE", "CIMSZO,3", "Other.CIMSZO", "0"}) {
    SCOPED_TRACE(Order);
    EXPECT_EQ(Result.SetSortOrder(Order), -50);
    EXPECT_EQ(Errors().LastErrorCode(), 50);
  }
  EXPECT_NE(Errors().LastErrorMsg().find("\"0\""), std::string::npos) << Errors().LastErrorMsg();
}

TEST_F(ResultSetTest, TopTakesTheFirstRowsOfTheSortedOrderOrOfTheScan) {
  OpenLexicon();
  const auto All = [](const std::string&) { return true; };
  const TNumbers Sorted = ExpectedOrder(All, false);
  TVdbResultSet& Top5Sorted = NewResult(All, "CIMSZO", 5);
  EXPECT_EQ(BaseNumbers(Top5Sorted), TNumbers(Sorted.begin(), Sorted.begin() + 5));
  TVdbResultSet& Top5 = NewResult(All, {}, 5);
  EXPECT_EQ(BaseNumbers(Top5), (TNumbers{1, 2, 3, 4, 5}));
  EXPECT_EQ(LastPlan->Scanned, 5);  // the scan stops
}

TEST_F(ResultSetTest, AnEmptyResultHasNoRecordNumbers) {
  OpenLexicon(test::NumberedEntries(4));
  TVdbResultSet& Result = NewResult([](const std::string&) { return false; }, "CIMSZO");
  EXPECT_EQ(Result.RecordCount(), 0);
  EXPECT_EQ(Result.GetFirstRecordNo(), -19);
  EXPECT_EQ(Result.GetLastRecordNo(), -19);
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Result.RecordSize()));
  EXPECT_EQ(Result.ReadRecord(1, Record.data()), -19);
}

TEST_F(ResultSetTest, RecordNumbersAreRowPositions) {
  OpenLexicon(test::NumberedEntries(3));
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; });
  EXPECT_EQ(Result.GetFirstRecordNo(), 1);
  EXPECT_EQ(Result.GetNextRecordNo(1), 2);
  EXPECT_EQ(Result.GetNextRecordNo(3), -19);
  EXPECT_EQ(Result.GetPrevRecordNo(3), 2);
  EXPECT_EQ(Result.GetPrevRecordNo(1), -19);
  EXPECT_EQ(Result.GetLastRecordNo(), 3);
  TVdbLongIndexInfo Info{};
  EXPECT_EQ(Result.GetNativeSortInfo(1, Info), -187);
}

TEST_F(ResultSetTest, ValuesAndMemosAreReadFromTheBaseRows) {
  OpenLexicon(test::NumberedEntries(4));
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; }, "-CIMSZO");
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Result.RecordSize()));
  ASSERT_EQ(Result.ReadRecord(1, Record.data()), 0);
  EXPECT_EQ(HeadwordOf(Result, Record.data()), "szo04");
  std::string Memo;
  ASSERT_EQ(Result.ReadMemoString(Record.data(), kLeiras, Memo), 0) << Errors().LastErrorMsg();
  std::vector<std::uint8_t> Base(static_cast<std::size_t>(Table->RecordSize()));
  ASSERT_EQ(Table->ReadRecord(4, Base.data()), 0);
  std::string BaseMemo;
  ASSERT_EQ(Table->ReadMemoString(Base.data(), kLeiras, BaseMemo), 0);
  EXPECT_EQ(Memo, BaseMemo);
  EXPECT_NE(Memo.find("leiras 04"), std::string::npos);
  EXPECT_EQ(Result.GetMemoLength(Record.data(), kLeiras), static_cast<std::int32_t>(Memo.size()));
  // A base row changed after the collection shows its new value.
  const auto Original = Base;
  Table->SetAnsiString(Base.data(), kCimszo, "uj szo");
  ASSERT_EQ(Table->ReplaceRecord(Base.data(), Original.data(), 4, nullptr), 0);
  ASSERT_EQ(Result.ReadRecord(1, Record.data()), 0);
  EXPECT_EQ(HeadwordOf(Result, Record.data()), "uj szo");
  TVdbRelationIndex BaseRltnIdx = 0;
  std::int16_t BaseFieldNo = 0;
  ASSERT_EQ(Result.GetBaseField(2, BaseRltnIdx, BaseFieldNo), 0);
  EXPECT_EQ(BaseRltnIdx, 1);
  EXPECT_EQ(BaseFieldNo, 2);
}

TEST_F(ResultSetTest, ABaseDeletionRemovesItsRowAndRenumbersTheMovedRecord) {
  OpenLexicon(test::NumberedEntries(6));
  // Rows in descending order: records 6, 5, 4, 3, 2, 1.
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; }, "-CIMSZO");
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Result.RecordSize()));
  // Row 4 is record 3: deleting it moves record 6 into slot 3.
  ASSERT_EQ(Result.ReadRecord(4, Record.data()), 0);
  ASSERT_EQ(Result.DeleteRecord(Record.data(), 4), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Table->RecordCount(), 5);
  EXPECT_EQ(BaseNumbers(Result), (TNumbers{3, 5, 4, 2, 1}));
  ASSERT_EQ(Result.ReadRecord(1, Record.data()), 0);
  EXPECT_EQ(HeadwordOf(Result, Record.data()), "szo06");  // the moved record keeps its place
  // A deletion through the table itself reaches the result too.
  std::vector<std::uint8_t> Base(static_cast<std::size_t>(Table->RecordSize()));
  ASSERT_EQ(Table->ReadRecord(1, Base.data()), 0);
  ASSERT_EQ(Table->DeleteRecord(Base.data(), 1), 0);
  EXPECT_EQ(BaseNumbers(Result), (TNumbers{3, 1, 4, 2}));
}

TEST_F(ResultSetTest, AnEditThroughTheResultChangesTheBaseRowWhichKeepsItsPlace) {
  OpenLexicon(test::NumberedEntries(3));
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; }, "CIMSZO");
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Result.RecordSize()));
  ASSERT_EQ(Result.ReadRecord(1, Record.data()), 0);
  const auto Original = Record;
  Result.SetAnsiString(Record.data(), kCimszo, "zzz");
  ASSERT_EQ(Result.ReplaceRecord(Record.data(), Original.data(), 1, nullptr), 0)
      << Errors().LastErrorMsg();
  std::vector<std::uint8_t> Base(static_cast<std::size_t>(Table->RecordSize()));
  ASSERT_EQ(Table->ReadRecord(1, Base.data()), 0);
  EXPECT_EQ(HeadwordOf(*Table, Base.data()), "zzz");
  std::string Memo;
  ASSERT_EQ(Table->ReadMemoString(Base.data(), kLeiras, Memo), 0);
  EXPECT_NE(Memo.find("leiras 01"), std::string::npos);  // the memo is left as it was
  EXPECT_EQ(BaseNumbers(Result), (TNumbers{1, 2, 3}));
  EXPECT_EQ(Result.ReplaceRecord(Record.data(), Original.data(), 9, nullptr), -19);
}

TEST_F(ResultSetTest, AppendingThroughTheResultAddsTheRowAtTheEnd) {
  OpenLexicon(test::NumberedEntries(3));
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; }, "-CIMSZO");
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Result.RecordSize()));
  ASSERT_EQ(Result.InitRecord(Record.data(), true), 0);
  Result.SetAnsiString(Record.data(), kCimszo, "aaa");
  const TVdbBlobDataList Memo = test::Memo(kLeiras, "uj leiras");
  EXPECT_EQ(Result.AppendRecord(Record.data(), &Memo), 4) << Errors().LastErrorMsg();
  EXPECT_EQ(BaseNumbers(Result), (TNumbers{3, 2, 1, 4}));
  ASSERT_EQ(Result.ReadRecord(4, Record.data()), 0);
  EXPECT_EQ(HeadwordOf(Result, Record.data()), "aaa");
  std::string Text;
  ASSERT_EQ(Result.ReadMemoString(Record.data(), kLeiras, Text), 0);
  EXPECT_EQ(Text, "uj leiras");
}

TEST_F(ResultSetTest, ClearDatDeletesEveryMatchingRowAlthoughDeletionsMoveRecords) {
  OpenLexicon(test::NumberedEntries(10));
  // The odd records, in descending headword order.
  TVdbResultSet& Result = NewResult(
      [](const std::string& Word) { return (Word.back() - '0') % 2 == 1; }, "-CIMSZO");
  ASSERT_EQ(Result.RecordCount(), 5);
  EXPECT_EQ(Result.ClearDat(), 5) << Errors().LastErrorMsg();
  EXPECT_EQ(Result.RecordCount(), 0);
  ASSERT_EQ(Table->RecordCount(), 5);
  std::vector<std::uint8_t> Base(static_cast<std::size_t>(Table->RecordSize()));
  for (std::int32_t RecNo = 1; RecNo <= 5; ++RecNo) {
    ASSERT_EQ(Table->ReadRecord(RecNo, Base.data()), 0);
    const std::string Word = HeadwordOf(*Table, Base.data());
    EXPECT_EQ((Word.back() - '0') % 2, 0) << Word;
  }
}

TEST_F(ResultSetTest, AConditionErrorLeavesNoRowsAndIsRecorded) {
  OpenLexicon(test::NumberedEntries(5));
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; }, "CIMSZO");
  ASSERT_EQ(Result.RecordCount(), 5);
  LastPlan->FailAt = LastPlan->Scanned + 3;
  EXPECT_EQ(Result.Recalc(), -44);
  EXPECT_EQ(Errors().LastErrorCode(), 44);
  EXPECT_EQ(Result.RecordCount(), 0);
  EXPECT_EQ(Table->CountReadLocks(), 0);  // the read access ended
}

TEST_F(ResultSetTest, TheVirtualIndexIsTheSortOrder) {
  OpenLexicon(test::NumberedEntries(6));
  TVdbResultSet& Unsorted = NewResult([](const std::string&) { return true; });
  bool Reverse = true;
  // With no order yet, the asked order becomes the result's order.
  const auto Desc = Unsorted.CalcIndexDefinition("-CIMSZO", false);
  EXPECT_EQ(Unsorted.FindIndex(*Desc, 0, Reverse), 100);
  EXPECT_FALSE(Reverse);
  EXPECT_EQ(BaseNumbers(Unsorted), (TNumbers{6, 5, 4, 3, 2, 1}));
  const auto Asc = Unsorted.CalcIndexDefinition("CIMSZO", false);
  EXPECT_EQ(Unsorted.FindIndex(*Asc, 0, Reverse), 100);
  EXPECT_TRUE(Reverse);
  EXPECT_EQ(Unsorted.FindIndex(*Asc, tifoNoReverse, Reverse), -1);
  // Searching a key: the same key (3, as every relation answers it) or the next row (1); 0 in
  // an empty result.
  TVdbLongIndexInfo Search{}, Found{};
  Unsorted.StringToIndex(Unsorted.SortOrder(), {"szo04"}, Search, 1);
  EXPECT_EQ(Unsorted.FindSortInfo(100, Search, Found), 3);
  EXPECT_EQ(Found.DateiVerweis, 3);
  Unsorted.StringToIndex(Unsorted.SortOrder(), {"szo035"}, Search, 1);
  EXPECT_EQ(Unsorted.FindSortInfo(100, Search, Found), 1);
  EXPECT_EQ(Found.DateiVerweis, 4);  // row 4 holds szo03
  EXPECT_EQ(Unsorted.FindSortInfo(0, Search, Found), -6);
  // IN (sub-query) looks a value up in the result's order: found only when the key is there.
  const TVdbDataType* Text = Unsorted.GetDataType(1);
  for (const auto& [Word, Present] : std::vector<std::pair<std::string, bool>>{{"szo04", true}, {"SZO02", true},
                                                                               {"szo035", false}, {"zzz", false}}) {
    TVdbDataValue Value;
    Text->SetAnsiString(Value, Word);
    EXPECT_EQ(TVdbSqlSubQueryComparison::LookupInResult(Unsorted, 100, Value, Text), Present) << Word;
  }
  // Index operations are not supported.
  EXPECT_EQ(Unsorted.CreateIndex("X", "CIMSZO", false), -187);
  EXPECT_NE(Errors().LastErrorMsg().find("SimpleResultSet"), std::string::npos);
  EXPECT_EQ(Unsorted.GetIndexFile(100), nullptr);
  EXPECT_THROW(Unsorted.GetIndexFile(3), std::out_of_range);
}

// The length of the current base row's headword; an engine error for headwords of length 5.
class THeadwordLength : public TVdbCompiledExpression {
 public:
  explicit THeadwordLength(TVdbAccessor& Accessor) : FAccessor(Accessor) {}
  const TVdbDataType* ResultType() const override { return TVdbDataType::GetDataType(16, true, 6); }
  TVdbRelationSet UsedRelations() const override { return {}; }
  void EvaluateToField(const std::uint8_t*, std::uint8_t* Result) override {
    const std::string Word = HeadwordOf(FAccessor.Relation(), FAccessor.GetRecordPtr());
    if (Word.size() == 5) throw EVdbEngine(44, kxFormatArgs{});
    const auto Length = static_cast<std::int32_t>(Word.size());
    Result[0] = 1;
    std::memcpy(Result + 1, &Length, sizeof(Length));
  }

 private:
  TVdbAccessor& FAccessor;
};

TEST_F(ResultSetTest, CalculatedColumnsAreComputedOnTheBaseRowsAndAnErrorLeavesThemNull) {
  OpenLexicon({{"abc", "1", 2}, {"szo05", "2", 3}, {"a", "3", 4}});
  TVdbResultSet Result(Session(), "SimpleResultSet");
  auto Columns = std::make_unique<TVdbColumnDefs>();
  TVdbColumnDef& Word = Columns->Add(Table->GetColumnDef(kCimszo).Clone());
  Word.BaseRltnIdx = 1;
  Word.BaseFieldNo = kCimszo;
  Columns->Add(TVdbColumnDef::CreateColumnDef("LEN", TVdbDataType::GetDataType(16, true, 6),
                                              kVdbColNullable));
  auto Accessors = std::make_unique<TVdbAccessorSet>(nullptr, false);
  TVdbAccessor& Scan = Accessors->AddAccessor(std::make_unique<TVdbAccessor>(*Table, "Query"));
  TVdbColumnOrigins Origins(2);
  Origins[1].Kind = qckCalculated;
  Origins[1].Calculation = std::make_unique<THeadwordLength>(Scan);
  Result.SetSchema(std::move(Columns), std::move(Origins));
  Result.SetAccessors(std::move(Accessors));
  Result.SetQueryExecutionPlan(
      std::make_unique<TScanPlan>(Scan, [](const std::string&) { return true; }));
  ASSERT_EQ(Result.Open(false), 0);
  ASSERT_EQ(Result.SetSortOrder("-LEN"), 0) << Errors().LastErrorMsg();
  ASSERT_EQ(Result.Recalc(), 0) << Errors().LastErrorMsg();
  // Longest first; the row whose calculation failed has NULL, which sorts last descending.
  EXPECT_EQ(BaseNumbers(Result), (TNumbers{1, 3, 2}));
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Result.RecordSize()));
  std::int32_t Length = 0;
  ASSERT_EQ(Result.ReadRecord(1, Record.data()), 0);
  ASSERT_TRUE(Result.GetInt32(Record.data(), 2, Length));
  EXPECT_EQ(Length, 3);
  ASSERT_EQ(Result.ReadRecord(3, Record.data()), 0);
  EXPECT_EQ(HeadwordOf(Result, Record.data()), "szo05");
  EXPECT_FALSE(Result.GetInt32(Record.data(), 2, Length));
  EXPECT_EQ(Errors().LastErrorCode(), 44);
}

TEST_F(ResultSetTest, ParameterValuesReachTheVariablesOfTheSameName) {
  TVdbResultSet Result(Session(), "SimpleResultSet");
  auto Own = std::make_unique<TVdbVariables>();
  Own->Add("p");
  Own->Add("Q", TVdbDataType::GetDataType(16, true, 6));
  Result.SetVariables(std::move(Own));
  const TVdbDataType* IntType = TVdbDataType::GetDataType(16, true, 6);
  TVdbVariables Given;
  // An Integer value 42 read from a record image of an Integer column (null byte first).
  const std::uint8_t Field[5] = {1, 42, 0, 0, 0};
  TVdbDataValue Value;
  Value.ColumnType = static_cast<std::int16_t>(16 | TVdbDataValue::kVdbReferenceBit);
  Value.DataPtr = const_cast<std::uint8_t*>(Field);
  Given.Add("P", IntType)->SetValue(Value, IntType);
  Given.Add("q", IntType)->SetValue(Value, IntType);
  Given.Add("other", IntType)->SetValue(Value, IntType);
  Result.UpdateVariableValues(Given);
  const TVdbVariable* P = Result.Variables()->Find("p");
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(P->DataType(), IntType);  // the untyped variable takes the given type
  ASSERT_TRUE(P->HasValue());
  std::string Text;
  IntType->ConvertToString(P->Value(), Text);
  EXPECT_EQ(Text, "42");
  IntType->ConvertToString(Result.Variables()->Find("Q")->Value(), Text);
  EXPECT_EQ(Text, "42");
  EXPECT_EQ(Result.Variables()->Find("other"), nullptr);
  EXPECT_EQ(Result.Variables()->Count(), 2u);
}

TEST_F(ResultSetTest, ACalculatedLongColumnIsRefused) {
  TVdbResultSet Result(Session(), "SimpleResultSet");
  auto Columns = std::make_unique<TVdbColumnDefs>();
  Columns->Add(TVdbColumnDef::CreateColumnDef("M", TVdbDataType::GetStringType(7, true, 6, 0, ""),
                                              kVdbColNullable));
  TVdbColumnOrigins Origins(1);
  Origins[0].Kind = qckCalculated;
  try {
    Result.SetSchema(std::move(Columns), std::move(Origins));
    FAIL() << "no error";
  } catch (const EVdbEngine& Error) {
    EXPECT_EQ(Error.Code(), 117);
    EXPECT_NE(std::string(Error.what()).find("Calculated long column"), std::string::npos);
  }
}

}  // namespace
}  // namespace vdb::querytest
