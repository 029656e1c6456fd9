// Statements over the real lexicon: the program's start, search and reset queries, the paths
// they take, index use for rated conditions, parameters and the result codes of the statement's
// life cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "VdbStatementTestSupport.h"

namespace vdb::test {
namespace {

using lexicon::LexiconEntry;

// The lexicon's entries in the order they are stored (record numbers 1, 2, ...).
const std::vector<LexiconEntry>& Entries() {
  static const std::vector<LexiconEntry> All = lexicon::ReadLexiconCsv(LexiconCsvPath());
  return All;
}

struct TCollation {
  std::uint32_t Locale = 0;
  TStrCmpOptions Options = 0;
  TCollation() { EXPECT_TRUE(ParseCollationName(lexicon::kLexiconCollation, Locale, Options)); }
  std::string Ansi(const std::string& Utf8) const { return Utf8ToAnsi(Utf8, lexicon::kLexiconCodePage); }
  int Compare(const std::string& A, const std::string& B) const {
    const std::string X = Ansi(A), Y = Ansi(B);
    return CompareCollated(X.data(), static_cast<std::int32_t>(X.size()), Y.data(),
                           static_cast<std::int32_t>(Y.size()), Options, Locale);
  }
  bool Like(const std::string& Value, const std::string& Pattern) const {
    const std::string V = Ansi(Value), P = Ansi(Pattern);
    return MatchesPattern(V.data(), static_cast<std::int32_t>(V.size()), P.data(), static_cast<std::int32_t>(P.size()),
                          -1, '%', '_', Options, Locale);
  }
};

// The headwords of the entries that Accept takes, in headword order under the collation, equal
// headwords in record order.
template <class TAccept>
std::vector<std::string> ExpectedHeadwords(TAccept Accept) {
  const TCollation Collation;
  std::vector<const LexiconEntry*> Chosen;
  for (const LexiconEntry& Entry : Entries())
    if (Accept(Entry)) Chosen.push_back(&Entry);
  std::stable_sort(Chosen.begin(), Chosen.end(), [&](const LexiconEntry* A, const LexiconEntry* B) {
    return Collation.Compare(A->headword, B->headword) < 0;
  });
  std::vector<std::string> Words;
  for (const LexiconEntry* Entry : Chosen) Words.push_back(Entry->headword);
  return Words;
}

std::vector<std::string> Headwords(const std::vector<std::vector<std::string>>& Rows) {
  std::vector<std::string> Words;
  for (const auto& Row : Rows) Words.push_back(Row.at(0));
  return Words;
}

// The search text exactly as the program builds it: the pattern quoted as an SQL literal, and no
// blank before ORDER.
std::string SearchSql(const std::string& Text) {
  std::string Quoted = "'";
  for (const char C : "%" + Text + "%") {
    if (C == '\'') Quoted += '\'';
    Quoted += C;
  }
  Quoted += "'";
  return "Select * FROM Data WHERE CIMSZO like " + Quoted + " or LEIRAS like " + Quoted + "ORDER By CIMSZO";
}

class LexiconStatementTest : public StatementFixture {
 protected:
  static void SetUpTestSuite() {
    const auto Dir = std::filesystem::temp_directory_path() / ("vdb_statement_lexicon_" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
    SharedPath = (Dir / "L_Data.vdbd").string();
    lexicon::WriteLexiconDatabase(Entries(), SharedPath);
  }
  static void TearDownTestSuite() {
    std::error_code Ignored;
    std::filesystem::remove_all(std::filesystem::path(SharedPath).parent_path(), Ignored);
  }
  void SetUp() override {
    StatementFixture::SetUp();
    std::filesystem::copy_file(SharedPath, FPath);
    OpenSession();
  }
  static inline std::string SharedPath;
};

TEST_F(LexiconStatementTest, StartAndResetQueriesWalkTheHeadwordIndexOfAnAliasRelation) {
  ASSERT_EQ(Entries().size(), 1752u);
  const auto Expected = ExpectedHeadwords([](const LexiconEntry&) { return true; });
  for (const std::string Sql : {"select * from Data \norder by CIMSZO", "Select * FROM Data ORDER By CIMSZO"}) {
    SCOPED_TRACE(Sql);
    TVdbStatement& Statement = Run(Sql);
    TVdbRelation* Result = Catalog().GetRelation(Statement.ResultRltnIdx());
    ASSERT_NE(Result, nullptr);
    EXPECT_EQ(Result->Name().rfind("TableResultSet", 0), 0u) << Result->Name();
    ASSERT_LT(Statement.ResultIndexNo(), 128);
    EXPECT_EQ(Result->GetIndexSpecification(Statement.ResultIndexNo()).find("CIMSZO") != std::string::npos, true);
    EXPECT_EQ(Result->RecordCount(), 1752);
    EXPECT_NE(Statement.PlanText().find("nothing sorted"), std::string::npos) << Statement.PlanText();
    const auto Rows = this->Rows(Statement);
    EXPECT_EQ(Headwords(Rows), Expected);
    // The description is read whole through the live view.
    const auto First = std::find_if(Entries().begin(), Entries().end(),
                                    [&](const LexiconEntry& E) { return E.headword == Rows.front()[0]; });
    ASSERT_NE(First, Entries().end());
    EXPECT_EQ(Rows.front()[1], First->description);
  }
}

TEST_F(LexiconStatementTest, StaticAndKeySetCursorsGetTheSameRowsSortedInMemory) {
  const auto Expected = ExpectedHeadwords([](const LexiconEntry&) { return true; });
  for (const TVdbCursorType Type : {tctStatic, tctKeySet}) {
    TVdbStatement& Statement = Run("select * from Data order by CIMSZO", Type);
    TVdbRelation* Result = Catalog().GetRelation(Statement.ResultRltnIdx());
    ASSERT_NE(Result, nullptr);
    EXPECT_EQ(Result->Name().rfind("KeySetResult", 0), 0u) << Result->Name();
    EXPECT_EQ(Headwords(Rows(Statement)), Expected);
  }
}

TEST_F(LexiconStatementTest, SearchScansInRecordOrderAndFindsWhatABruteForceLikeFinds) {
  const TCollation Collation;
  for (const std::string Text : {"róka", "RÓKA", "vad", "a", "'", "zzqxj", "_", "fa_"}) {
    SCOPED_TRACE(Text);
    const std::string Pattern = "%" + Text + "%";
    TVdbStatement& Statement = Run(SearchSql(Text));
    TVdbRelation* Result = Catalog().GetRelation(Statement.ResultRltnIdx());
    ASSERT_NE(Result, nullptr);
    EXPECT_EQ(Result->Name().rfind("SimpleResultSet", 0), 0u);
    EXPECT_NE(Statement.PlanText().find("scan in record order"), std::string::npos) << Statement.PlanText();
    const auto Expected = ExpectedHeadwords([&](const LexiconEntry& E) {
      return Collation.Like(E.headword, Pattern) || Collation.Like(E.description, Pattern);
    });
    EXPECT_EQ(Result->RecordCount(), static_cast<std::int32_t>(Expected.size()));
    EXPECT_EQ(Headwords(Rows(Statement)), Expected);
  }
}

TEST_F(LexiconStatementTest, AConditionEveryRowMeetsGivesTheStartRowsSortedInMemory) {
  TVdbStatement& Statement = Run("select * from Data where CIMSZO like '%' order by CIMSZO");
  EXPECT_EQ(Statement.ResultIndexNo(), 255);
  EXPECT_EQ(Headwords(Rows(Statement)), ExpectedHeadwords([](const LexiconEntry&) { return true; }));
}

// Rated conditions walk the headword index over a key range; the rows are those a full scan
// finds. The prefixes cover the Hungarian letters written with two or three characters, which
// sort after every word of their first character.
TEST_F(LexiconStatementTest, RatedConditionsUseTheHeadwordIndexAndLoseNoRow) {
  const TCollation Collation;
  const std::string Some = Entries()[100].headword;
  struct TCase {
    std::string Where;
    std::function<bool(const LexiconEntry&)> Accept;
    bool UsesIndex;
  };
  std::vector<TCase> Cases = {
      {"CIMSZO = '" + Some + "'", [&](const LexiconEntry& E) { return Collation.Compare(E.headword, Some) == 0; }, true},
      {"CIMSZO >= 'k' and CIMSZO < 'm'",
       [&](const LexiconEntry& E) { return Collation.Compare(E.headword, "k") >= 0 && Collation.Compare(E.headword, "m") < 0; },
       true},
      {"CIMSZO between 'cs' and 'd'",
       [&](const LexiconEntry& E) { return Collation.Compare(E.headword, "cs") >= 0 && Collation.Compare(E.headword, "d") <= 0; },
       true},
      {"CIMSZO > 'zs'", [&](const LexiconEntry& E) { return Collation.Compare(E.headword, "zs") > 0; }, true},
      {"not (CIMSZO < 'v')", [&](const LexiconEntry& E) { return Collation.Compare(E.headword, "v") >= 0; }, true},
      {"CIMSZO = 'x' or CIMSZO = 'y'",
       [&](const LexiconEntry& E) { return Collation.Compare(E.headword, "x") == 0 || Collation.Compare(E.headword, "y") == 0; },
       false},
      {"CIMSZO like '%ad%'", [&](const LexiconEntry& E) { return Collation.Like(E.headword, "%ad%"); }, false},
  };
  for (const std::string Prefix : {"c", "cs", "d", "dz", "dzs", "g", "gy", "l", "ly", "n", "ny", "s", "sz", "t", "ty",
                                   "z", "zs", "a", "á", "Á", "vad", "ő", "ö"}) {
    Cases.push_back({"CIMSZO like '" + Prefix + "%'",
                     [&Collation, Prefix](const LexiconEntry& E) { return Collation.Like(E.headword, Prefix + "%"); }, true});
  }
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Where);
    TVdbStatement& Statement = Run("select CIMSZO from Data where " + Case.Where + " order by CIMSZO");
    const std::string Plan = Statement.PlanText();
    EXPECT_EQ(Plan.find("index #") != std::string::npos, Case.UsesIndex) << Plan;
    EXPECT_EQ(Headwords(Rows(Statement)), ExpectedHeadwords(Case.Accept));
  }
}

TEST_F(LexiconStatementTest, ParametersBindValuesAtExecution) {
  TVdbStatement& Statement = NewStatement();
  ASSERT_EQ(Statement.SetText("select CIMSZO from Data where CIMSZO like :p order by CIMSZO"), 0) << LastErrorMsg();
  ASSERT_EQ(Statement.AddParameter("p", kVdbStringCode, 0), 0);
  EXPECT_EQ(Statement.AddParameter("P", kVdbStringCode, 0), TVdbStatement::kResultParamExists);
  ASSERT_EQ(Statement.Prepare(), 0) << LastErrorMsg();
  const TCollation Collation;
  for (const std::string Pattern : {"vad%", "%róka%", "nincs ilyen%"}) {
    ASSERT_EQ(Statement.SetParamValue("p", Pattern.c_str(), static_cast<std::int32_t>(Pattern.size())), 0);
    ASSERT_GE(Statement.Execute(), 0) << LastErrorMsg();
    EXPECT_EQ(Headwords(Rows(Statement)),
              ExpectedHeadwords([&](const LexiconEntry& E) { return Collation.Like(E.headword, Pattern); }));
  }
  EXPECT_EQ(Statement.SetParamValue("nope", "x", 1), -50);
  // NULL matches nothing.
  ASSERT_EQ(Statement.SetParamValue("p", "", -1), 0);
  ASSERT_GE(Statement.Execute(), 0) << LastErrorMsg();
  EXPECT_TRUE(Rows(Statement).empty());
}

TEST_F(LexiconStatementTest, LifeCycleResultCodesLeaveTheStatementUsable) {
  TVdbStatement& Statement = NewStatement();
  EXPECT_EQ(Statement.Execute(), TVdbStatement::kResultNotPrepared);
  EXPECT_EQ(Statement.SetText("select * from Data\nwhere CIMSZO = = 'x'"), TVdbStatement::kResultParseError);
  EXPECT_EQ(Statement.LastErrorRow(), 2);
  EXPECT_GT(Statement.LastErrorCol(), 1);
  EXPECT_EQ(Statement.CommandCount(), 0);
  EXPECT_EQ(Statement.Execute(), TVdbStatement::kResultNotPrepared);
  ASSERT_EQ(Statement.SetText("select CIMSZO from Data where CIMSZO like 'vad%'"), 0);
  ASSERT_EQ(Statement.Prepare(), 0) << LastErrorMsg();
  ASSERT_EQ(Statement.Prepare(), 0) << LastErrorMsg();  // again, without unprepare
  ASSERT_GE(Statement.Execute(), 0) << LastErrorMsg();
  const auto Once = Rows(Statement);
  ASSERT_GE(Statement.Execute(), 0) << LastErrorMsg();
  EXPECT_EQ(Rows(Statement), Once);
  EXPECT_FALSE(Once.empty());
  Statement.Unprepare();
  EXPECT_EQ(Statement.ResultRltnIdx(), 0);
  EXPECT_EQ(Statement.Execute(), TVdbStatement::kResultNotPrepared);
  ASSERT_EQ(Statement.Prepare(), 0) << LastErrorMsg();
  ASSERT_GE(Statement.Execute(), 0) << LastErrorMsg();
  EXPECT_EQ(Rows(Statement), Once);
}

TEST_F(LexiconStatementTest, TextThatIsNotUtf8IsRefusedAndTheStatementStaysUsable) {
  TVdbStatement& Statement = NewStatement();
  for (const std::string& Text : {std::string("select * from Data where CIMSZO = '\xff'"),
                                 std::string("select \xc3"), std::string("\xed\xa0\x80")}) {
    EXPECT_EQ(Statement.SetText(Text), TVdbStatement::kResultParseError);
    EXPECT_EQ(Statement.CommandCount(), 0);
    EXPECT_FALSE(LastErrorMsg().empty());
  }
  ASSERT_EQ(Statement.SetText("select CIMSZO from Data where CIMSZO like 'vad%'"), 0);
  ASSERT_EQ(Statement.Prepare(), 0) << LastErrorMsg();
  ASSERT_GE(Statement.Execute(), 0) << LastErrorMsg();
  EXPECT_FALSE(Rows(Statement).empty());
}

TEST_F(LexiconStatementTest, UnknownNamesFailThePreparationWithTheirErrors) {
  const struct {
    const char* Sql;
    std::int16_t Error;
  } Cases[] = {
      {"select * from Nincs", 88},
      {"select * from Nincs order by a", 88},
      {"select Nincs from Data", 50},
      {"select * from Data where Nincs = 1", 50},
      {"select * from Data order by Nincs", 50},
      {"select x.* from Data", 50},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Sql);
    EXPECT_EQ(PrepareError(Case.Sql), Case.Error) << LastErrorMsg();
  }
  // The catalog keeps no temporary relation of the failed preparations.
  std::vector<std::string> Names;
  for (std::int16_t I = 1; I <= TVdbCatalog::kMaxRelations; ++I)
    if (TVdbRelation* Relation = Catalog().GetRelation(I); Relation != nullptr && Relation->Temporary)
      Names.push_back(Relation->Name());
  EXPECT_TRUE(Names.empty()) << Names.front();
}

TEST_F(LexiconStatementTest, ComputedItemsAndTopCount) {
  TVdbStatement& Statement = Run("select top 3 CIMSZO, CIMSZO || '!' as Jel, 1 + 2 from Data order by CIMSZO");
  const auto Rows = this->Rows(Statement);
  const auto Expected = ExpectedHeadwords([](const LexiconEntry&) { return true; });
  ASSERT_EQ(Rows.size(), 3u);
  for (std::size_t I = 0; I < 3; ++I) {
    EXPECT_EQ(Rows[I][0], Expected[I]);
    EXPECT_EQ(Rows[I][1], Expected[I] + "!");
    EXPECT_EQ(Rows[I][2], "3");
  }
  TVdbRelation* Result = Catalog().GetRelation(Statement.ResultRltnIdx());
  EXPECT_EQ(Result->GetColumnDef(2).Name, "Jel");
}

}  // namespace
}  // namespace vdb::test
