// Shared pieces of the statement tests: a database in a fresh directory (the whole lexicon, or
// tables made by the test), a session on it, statements, and reading a result relation row by
// row as a cursor does.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LexiconCsv.h"
#include "LexiconDatabase.h"
#include "query/VdbStatement.h"
#include "session/VdbCatalog.h"
#include "session/VdbLocSess.h"
#include "storage/kxMemory.h"
#include "table/kxStrUtils.h"

namespace vdb::test {

inline const std::string& LexiconCsvPath() {
  static const std::string Path = std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv";
  return Path;
}

// The rows of a result relation, each column as text ("NULL" for NULL), read through an accessor
// in the order of IndexNo (record order when it is 128 or above).
inline std::vector<std::vector<std::string>> ReadRows(TVdbCatalog& Catalog, std::int16_t RltnIdx,
                                                      std::int16_t IndexNo = 255) {
  std::vector<std::vector<std::string>> Rows;
  TVdbRelation* Relation = Catalog.GetRelation(RltnIdx);
  if (Relation == nullptr) {
    ADD_FAILURE() << "no result relation " << RltnIdx;
    return Rows;
  }
  TVdbAccessor Cursor(*Relation, "Test_Cursor");
  if (IndexNo < 128) {
    EXPECT_EQ(Cursor.SetAccess(IndexNo, false), 0);
  }
  for (std::int16_t Moved = Cursor.First(); Moved == 0; Moved = Cursor.Next()) {
    std::vector<std::string> Row;
    const std::uint8_t* Record = Cursor.GetRecordPtr();
    for (std::int16_t FieldNo = 1; FieldNo <= Relation->GetColumnCount(); ++FieldNo) {
      const std::int16_t Type = Relation->GetColumnDef(FieldNo).GetColumnType();
      std::string Text;
      if (Type == kVdbMemoCode) {
        Cursor.GetMemo(FieldNo, Text, -1);
        if (Text.empty() && Relation->IsNull(Record, FieldNo)) Text = "NULL";
        else if (const auto* String = dynamic_cast<const TVdbStringType*>(Relation->GetDataType(FieldNo)))
          Text = AnsiToUtf8(Text, String->CodePage());
      } else if (Type == kVdbWideMemoCode) {
        std::u16string Wide;
        Cursor.GetWideMemo(FieldNo, Wide, -1);
        Text = Wide.empty() && Relation->IsNull(Record, FieldNo) ? "NULL" : TkxMemory::Utf16ToUtf8(Wide);
      } else if (Type == kVdbBlobCode) {
        std::int16_t BlobType = 0;
        const std::int32_t Size = Cursor.InitGetBlob(FieldNo, -1, BlobType);
        Text.resize(static_cast<std::size_t>(std::max(Size, 0)));
        if (Size > 0) Cursor.GetBlobChunk(0, Size, Text.data());
        Cursor.DoneGetBlob();
        if (Size <= 0) Text = "NULL";
      } else if (Relation->IsNull(Record, FieldNo)) {
        Text = "NULL";
      } else {
        Relation->GetAsStringA(Record, FieldNo, Text);
      }
      Row.push_back(Text);
    }
    Rows.push_back(std::move(Row));
  }
  return Rows;
}

class StatementFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() /
           ("vdb_statement_" + std::to_string(::getpid()) + "_" + std::to_string(Next++));
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
    FPath = (FDir / "L_Data.vdbd").string();
  }
  void TearDown() override {
    Statements.clear();
    if (FSession) FSession->CloseDb();
    FSession.reset();
    std::error_code Ignored;
    std::filesystem::remove_all(FDir, Ignored);
  }

  // The database with the given lexicon entries (the whole lexicon by default), opened.
  void OpenLexicon(const std::vector<lexicon::LexiconEntry>& Entries) {
    lexicon::WriteLexiconDatabase(Entries, FPath);
    OpenSession();
  }
  void OpenSession() {
    FSession = std::make_unique<TVdbLocalSession>();
    ASSERT_EQ(FSession->Initialize(1), 0);
    FSession->Catalog()->SetLocation(FPath);
    ASSERT_EQ(FSession->OpenDb(), 0) << FSession->Services()->LastErrorMsg();
  }
  TVdbCatalog& Catalog() { return *FSession->Catalog(); }
  const std::string& LastErrorMsg() { return FSession->Services()->LastErrorMsg(); }
  std::int16_t LastErrorCode() { return FSession->Services()->LastErrorCode(); }

  TVdbStatement& NewStatement() {
    Statements.push_back(std::make_unique<TVdbStatement>(FSession->Catalog()));
    return *Statements.back();
  }
  // Text, prepare (live result unless told) and execute; expects success.
  TVdbStatement& Run(const std::string& Sql, TVdbCursorType CursorType = tctLiveResult) {
    TVdbStatement& Statement = NewStatement();
    EXPECT_EQ(Statement.SetText(Sql), 0) << Sql << ": " << LastErrorMsg();
    Statement.SetRequestedCursorType(CursorType);
    EXPECT_EQ(Statement.Prepare(), 0) << Sql << ": " << LastErrorMsg();
    EXPECT_GE(Statement.Execute(), 0) << Sql << ": " << LastErrorMsg();
    return Statement;
  }
  std::vector<std::vector<std::string>> Rows(const TVdbStatement& Statement) {
    return ReadRows(Catalog(), Statement.ResultRltnIdx(), Statement.ResultIndexNo());
  }
  // Runs a statement that must fail at Prepare; answers the session's last error code.
  std::int16_t PrepareError(const std::string& Sql) {
    TVdbStatement& Statement = NewStatement();
    EXPECT_EQ(Statement.SetText(Sql), 0) << Sql << ": " << LastErrorMsg();
    EXPECT_EQ(Statement.Prepare(), TVdbStatement::kResultPrepareFailed) << Sql;
    EXPECT_FALSE(Statement.IsPrepared());
    return LastErrorCode();
  }

  std::filesystem::path FDir;
  std::string FPath;
  std::unique_ptr<TVdbLocalSession> FSession;
  std::vector<std::unique_ptr<TVdbStatement>> Statements;
  static inline std::atomic<int> Next{0};
};

}  // namespace vdb::test
