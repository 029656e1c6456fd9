// Base tables created by the engine: B+ data files with record ids and their system indexes,
// calculated columns and check constraints through an expression compiler, and the checks made
// when a table is opened.
#include "VdbBaseTableTestSupport.h"

#include <cctype>

#include "table/VdbBlobFile.h"
#include "table/VdbData.h"
#include "table/VdbDataFile.h"

namespace vdb::test {
namespace {

using BaseTableCreate = BaseTableFixture;

const TVdbDataType* NameType() {
  return TVdbDataType::GetStringType(1, true, 6, 20, "Hungarian_ci_as");
}

// A table with a record id column "_XXX" (so a B+ data file), a name and a memo.
std::unique_ptr<TVdbBaseTable> WithIdColumns(std::unique_ptr<TVdbBaseTable> Table) {
  Table->SetCollationName("Hungarian_ci_as");
  auto Id = TVdbColumnDef::CreateColumnDef("_XXX", TVdbDataType::GetDataType(9, false, 6), 0);
  dynamic_cast<TVdbRecordIdColumnDef&>(*Id).IndexSpec = "_XXX";
  Table->ColumnDefs().Add(std::move(Id));
  Table->ColumnDefs().Add(
      TVdbColumnDef::CreateStringColumnDef("NEV", NameType(), "", kVdbColNullable));
  Table->ColumnDefs().Add(TVdbColumnDef::CreateColumnDef(
      "MEGJ", TVdbDataType::GetDataType(7, true, 6), kVdbColNullable));
  return Table;
}

std::int32_t AppendNamed(TVdbBaseTable& Table, const std::string& Name) {
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table.RecordSize()));
  const std::int16_t Initialised = Table.InitRecord(Buffer.data(), true);
  if (Initialised < 0) return Initialised;
  Table.SetAnsiString(Buffer.data(), 2, Name);
  TVdbBlobDataList Blobs = Memo(3, Name + " megjegyzes");
  return Table.AppendRecord(Buffer.data(), &Blobs);
}

// The text of column FieldNo of record RecNo.
std::string TextOf(TVdbBaseTable& Table, std::int32_t RecNo, std::int16_t FieldNo = 2) {
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table.RecordSize()));
  if (Table.ReadRecord(RecNo, Buffer.data()) < 0) return "?";
  std::string Name;
  Table.GetAnsiString(Buffer.data(), FieldNo, Name);
  return Name;
}

TEST_F(BaseTableCreate, RecordIdTablesUseTheBPlusFileAndTheRecordIdIndex) {
  WriteDatabase(NumberedEntries(1));
  auto Table = WithIdColumns(NewTable(0, 1, "\\Ids.vdbt"));
  ASSERT_EQ(Table->NewFile(), 0) << Errors().LastErrorMsg();
  EXPECT_TRUE(Table->DataFile()->CanDelete());
  ASSERT_EQ(Table->Setup(false), 0) << Errors().LastErrorMsg();
  ASSERT_NE(Table->InrIndexNo(), kVdbNoIndex);
  EXPECT_EQ(Table->GetIndexFile(Table->InrIndexNo())->Name(), "sys_Inr");
  EXPECT_EQ(Table->GetIndexFile(Table->InrIndexNo())->Kind(), tikAdl);
  // The record id column's index specification gets an index of its own.
  ASSERT_NE(Table->IdIndexNo(), kVdbNoIndex);
  EXPECT_EQ(Table->GetIndexFile(Table->IdIndexNo())->Name(), "sys_Id");
  EXPECT_TRUE(FContainer->FileExists("\\Ids!sys_Inr.vdbi"));

  for (const char* Name : {"egy", "ketto", "harom"}) {
    ASSERT_GT(AppendNamed(*Table, Name), 0) << Errors().LastErrorMsg();
  }
  EXPECT_EQ(Table->RecordCount(), 3);
  EXPECT_EQ(Table->ReadNextRecordId(), 4);
  EXPECT_EQ(IndexWalk(*Table, Table->InrIndexNo()), (std::vector<std::int32_t>{1, 2, 3}));

  // A B+ data file deletes in place: nothing moves.
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()));
  ASSERT_EQ(Table->ReadRecord(2, Buffer.data()), 0);
  TRecordingListener Heard;
  Table->AddAccessor(&Heard);
  ASSERT_EQ(Table->DeleteRecord(Buffer.data(), 2), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Heard.Events, (std::vector<std::string>{"deleted 2 moved 0"}));
  EXPECT_EQ(TextOf(*Table, 3), "harom");
  EXPECT_EQ(Table->ReadRecord(2, Buffer.data()), -19);
  EXPECT_EQ(Table->DeleteRecord(Buffer.data(), 2), -19);
  EXPECT_EQ(IndexWalk(*Table, Table->InrIndexNo()), (std::vector<std::int32_t>{1, 3}));

  // The next record id follows the largest id in the index.
  ASSERT_EQ(Table->ReadRecord(3, Buffer.data()), 0);
  ASSERT_EQ(Table->DeleteRecord(Buffer.data(), 3), 0);
  ASSERT_EQ(Table->RecalcAutoInc(), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Table->ReadNextRecordId(), 2);
  Table.reset();

  // The record-id index is not listed among the user indexes; a lost one is rebuilt.
  ASSERT_TRUE(FContainer->DeleteFile("\\Ids!sys_Inr.vdbi"));
  auto Again = NewTable(kVdbWriteRights | kVdbRightExclusive, 1, "\\Ids.vdbt");
  ASSERT_EQ(Again->Open(false), 0) << Errors().LastErrorMsg();
  EXPECT_TRUE(Again->DataFile()->IndexNames().empty());
  ASSERT_EQ(Again->Setup(false), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(IndexWalk(*Again, Again->InrIndexNo()), (std::vector<std::int32_t>{1}));
  EXPECT_EQ(TextOf(*Again, 1), "egy");
}

TEST_F(BaseTableCreate, RecordIdsOfTheirOwnMoveTheCounter) {
  WriteDatabase(NumberedEntries(1));
  auto Table = WithIdColumns(NewTable(0, 1, "\\Ids.vdbt"));
  ASSERT_EQ(Table->NewFile(), 0) << Errors().LastErrorMsg();
  ASSERT_EQ(Table->Setup(false), 0);
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()));
  ASSERT_EQ(Table->InitRecord(Buffer.data(), false), 0);
  Table->SetRecordId(Buffer.data(), 40);
  ASSERT_EQ(Table->AdjustRecordId(Buffer.data()), 0);
  EXPECT_EQ(Table->ReadNextRecordId(), 41);
  ASSERT_EQ(Table->AppendRecord(Buffer.data(), nullptr), 40) << Errors().LastErrorMsg();
  ASSERT_EQ(Table->InitRecord(Buffer.data(), true), 0);
  EXPECT_EQ(Table->GetRecordId(Buffer.data()), 41);
  ASSERT_EQ(Table->CancelAutoNum(41), 0);
  EXPECT_EQ(Table->ReadNextRecordId(), 41);
}

TEST_F(BaseTableCreate, CreatingOverAnExistingTableFailsAndLeavesItAlone) {
  WriteDatabase(NumberedEntries(3));
  auto Table = WithIdColumns(NewTable(0, 1, "\\Data.vdbt"));
  const std::int16_t Result = Table->NewFile();
  EXPECT_LT(Result, 0);
  EXPECT_EQ(Errors().LastErrorCode(), -Result);
  EXPECT_FALSE(Table->Active());
  Table.reset();
  TVdbBaseTable* Existing = OpenTable();
  ASSERT_NE(Existing, nullptr);
  EXPECT_EQ(Existing->RecordCount(), 3);
  EXPECT_EQ(IndexWalk(*Existing, 0).size(), 3u);
}

TEST_F(BaseTableCreate, ATableOfADirectoryDatabaseKeepsItsLockFileBesideIt) {
  WriteDatabase(NumberedEntries(1));
  const std::string Path = (FDir / "Konyvtar.vdbt").string();
  {
    auto Table = WithIdColumns(NewTable(0, 1, Path));
    Table->SetFileSystem(&FOsFiles);
    Table->SetPhysicalDirectory("");
    Table->SetContainerName("");
    ASSERT_EQ(Table->NewFile(), 0) << Errors().LastErrorMsg();
    EXPECT_TRUE(std::filesystem::exists(FDir / "Konyvtar.vdbm"));
  }
  auto Table = NewTable(kVdbWriteRights, 1, Path);
  Table->SetFileSystem(&FOsFiles);
  Table->SetPhysicalDirectory("");
  Table->SetContainerName("");
  ASSERT_EQ(Table->Open(false), 0) << Errors().LastErrorMsg();
  ASSERT_EQ(Table->Setup(false), 0) << Errors().LastErrorMsg();
  EXPECT_TRUE(std::filesystem::exists(FDir / "Konyvtar.vdbl"));
  EXPECT_TRUE(std::filesystem::exists(FDir / "Konyvtar!sys_Inr.vdbi"));
  ASSERT_EQ(AppendNamed(*Table, "egy"), 1) << Errors().LastErrorMsg();
  Table.reset();
  EXPECT_FALSE(std::filesystem::exists(FDir / "Konyvtar.vdbl"));
}

TEST_F(BaseTableCreate, NewRecordsStartNullOrAtTheFirstDate) {
  WriteDatabase(NumberedEntries(1));
  auto Table = NewTable(0, 1, "\\Dates.vdbt");
  Table->SetCollationName("Hungarian_ci_as");
  Table->ColumnDefs().Add(
      TVdbColumnDef::CreateColumnDef("NAP", TVdbDataType::GetDataType(6, false, 6), 0));
  Table->ColumnDefs().Add(
      TVdbColumnDef::CreateColumnDef("IDO", TVdbDataType::GetDataType(17, false, 6), 0));
  Table->ColumnDefs().Add(TVdbColumnDef::CreateColumnDef(
      "VALAMIKOR", TVdbDataType::GetDataType(6, true, 6), kVdbColNullable));
  Table->ColumnDefs().Add(
      TVdbColumnDef::CreateStringColumnDef("NEV", NameType(), "", kVdbColNullable));
  ASSERT_EQ(Table->NewFile(), 0) << Errors().LastErrorMsg();
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()), 0xAB);
  ASSERT_EQ(Table->InitRecord(Buffer.data(), false), 0);
  TVdbTimeStamp Stamp;
  ASSERT_TRUE(Table->GetTimeStamp(Buffer.data(), 1, Stamp));
  EXPECT_EQ(Stamp.Date, 545);
  ASSERT_TRUE(Table->GetTimeStamp(Buffer.data(), 2, Stamp));
  EXPECT_EQ(Stamp.Date, 545);
  EXPECT_EQ(Stamp.Time, 0);
  EXPECT_TRUE(Table->IsNull(Buffer.data(), 3));
  EXPECT_TRUE(Table->IsNull(Buffer.data(), 4));
  // Without a record id column, presetting gives no id.
  EXPECT_EQ(Table->InitRecord(Buffer.data(), true), 0);
}

TEST_F(BaseTableCreate, ARecordThatDoesNotFitTheDefinitionMeansWrongCredentials) {
  WriteDatabase(NumberedEntries(3));
  // Record 1 claims a headword longer than the column allows.
  const std::int32_t Handle = FContainer->OpenFile("\\Data.vdbt", 66);
  ASSERT_GE(Handle, 0);
  const std::uint8_t Length = 200;
  ASSERT_EQ(FContainer->FileWrite(Handle, &Length, 1, 16384 + 1), 1);
  FContainer->CloseFile(Handle);
  auto Table = NewTable(kVdbWriteRights);
  EXPECT_EQ(Table->Open(false), -38);
  EXPECT_FALSE(Table->Active());
  EXPECT_FALSE(std::filesystem::exists(LockFilePath()));
}

TEST_F(BaseTableCreate, AMissingMemoFileFailsUnlessForced) {
  WriteDatabase(NumberedEntries(3));
  ASSERT_TRUE(FContainer->DeleteFile("\\Data.vdbm"));
  auto Table = NewTable(kVdbWriteRights);
  EXPECT_EQ(Table->Open(false), -31);
  EXPECT_NE(Errors().LastErrorMsg().find("Data.vdbm"), std::string::npos)
      << Errors().LastErrorMsg();
  ASSERT_EQ(Table->Open(true), 0) << Errors().LastErrorMsg();
  std::vector<std::uint8_t> Buffer(156);
  ASSERT_EQ(Table->ReadRecord(1, Buffer.data()), 0);
  std::string Text;
  EXPECT_EQ(Table->ReadMemoString(Buffer.data(), 2, Text), -31);
}

TEST_F(BaseTableCreate, BlobAndWideMemoValuesLiveInTheBlobFile) {
  WriteDatabase(NumberedEntries(1));
  auto Table = NewTable(0, 1, "\\Blobs.vdbt");
  Table->SetCollationName("Hungarian_ci_as");
  Table->ColumnDefs().Add(
      TVdbColumnDef::CreateStringColumnDef("NEV", NameType(), "", kVdbColNullable));
  Table->ColumnDefs().Add(TVdbColumnDef::CreateColumnDef(
      "KEP", TVdbDataType::GetDataType(11, true, 6), kVdbColNullable));
  Table->ColumnDefs().Add(TVdbColumnDef::CreateColumnDef(
      "SZOVEG", TVdbDataType::GetDataType(19, true, 6), kVdbColNullable));
  ASSERT_EQ(Table->NewFile(), 0) << Errors().LastErrorMsg();
  EXPECT_TRUE(Table->HasBlob());
  EXPECT_FALSE(Table->HasMemo());
  EXPECT_TRUE(FContainer->FileExists("\\Blobs.vdbb"));
  ASSERT_EQ(Table->Setup(false), 0);

  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()));
  ASSERT_EQ(Table->InitRecord(Buffer.data(), false), 0);
  const std::string Picture = std::string("\x42\x4D") + std::string(1500, '\x07');
  TVdbBlobDataList Blobs(2);
  Blobs[0].FieldNo = 2;
  Blobs[0].AnsiData = Picture;
  Blobs[1].FieldNo = 3;
  Blobs[1].WideData = u"sz\u00f6veg";
  ASSERT_EQ(Table->AppendRecord(Buffer.data(), &Blobs), 1) << Errors().LastErrorMsg();
  ASSERT_EQ(Table->ReadRecord(1, Buffer.data()), 0);
  EXPECT_EQ(Table->GetBlobLength(Buffer.data(), 2), 1502);
  EXPECT_EQ(Table->GetBlobType(Buffer.data(), 2), 0x4D42);
  std::string Data;
  std::int16_t BlobType = 0;
  ASSERT_EQ(Table->ReadBlobData(Buffer.data(), 2, Data, BlobType), 0);
  EXPECT_EQ(Data, Picture);
  std::u16string Wide;
  ASSERT_EQ(Table->ReadBlobDataWide(Buffer.data(), 3, Wide), 0);
  EXPECT_EQ(Wide, u"sz\u00f6veg");
  // A memo operation on a column that holds no memo is refused.
  std::string Text;
  EXPECT_EQ(Table->ReadMemoString(Buffer.data(), 1, Text), -44);

  ASSERT_EQ(Table->DeleteRecord(Buffer.data(), 1), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Table->RecordCount(), 0);
  // Both chains went back to the free list whole: the next record's values reuse every block.
  const std::int32_t Used = Table->BlobFile()->LastBlock();
  ASSERT_EQ(Table->InitRecord(Buffer.data(), false), 0);
  ASSERT_EQ(Table->AppendRecord(Buffer.data(), &Blobs), 1) << Errors().LastErrorMsg();
  EXPECT_EQ(Table->BlobFile()->LastBlock(), Used);
  EXPECT_EQ(Table->BlobFile()->Check(), 0);
}

// --- Calculated columns and checks through a small expression compiler --------------------------

// Knows two expressions over the first column NEV: "UPPER(NEV)" (its text in capitals) and
// "NEV <> 'x'" as a condition; "1" answers an integer, "NULL" a NULL text.
class TFakeFactory : public TVdbExpressionFactory {
 public:
  class TUpper : public TVdbCompiledExpression {
   public:
    explicit TUpper(std::string Source) : FSource(std::move(Source)) {}
    const TVdbDataType* ResultType() const override {
      return FSource == "1" ? TVdbDataType::GetDataType(16, false, 6) : NameType();
    }
    TVdbRelationSet UsedRelations() const override { return {}; }
    void EvaluateToField(const std::uint8_t* RecBuffer, std::uint8_t* Result) override {
      const std::int32_t Size = NameType()->DataSize();
      std::copy(RecBuffer, RecBuffer + Size, Result);
      if (FSource == "NULL") Result[0] = 0;
      for (std::int32_t I = 2; I < Size; ++I) {
        Result[I] = static_cast<std::uint8_t>(std::toupper(Result[I]));
      }
    }

   private:
    std::string FSource;
  };
  class TNotX : public TVdbCompiledCondition {
   public:
    int Evaluate(const std::uint8_t* RecBuffer) override {
      return !(RecBuffer[1] == 1 && RecBuffer[2] == 'x');
    }
  };
  std::unique_ptr<TVdbCompiledExpression> CompileExpression(const std::string& Source, bool,
                                                            const TVdbColumnDefs&,
                                                            std::int16_t) override {
    ++Compiled;
    return std::make_unique<TUpper>(Source);
  }
  std::unique_ptr<TVdbCompiledCondition> CompileCondition(const std::string&, bool,
                                                          const TVdbColumnDefs&,
                                                          std::int16_t) override {
    return std::make_unique<TNotX>();
  }
  int Compiled = 0;
};

class BaseTableExpressions : public BaseTableFixture {
 protected:
  // A table NEV, NAGY (calculated from NEV by Source, nullable as given) with the check
  // "NEV <> 'x'".
  std::unique_ptr<TVdbBaseTable> CreateCalculated(const std::string& Source, bool Nullable = true) {
    Session()->SetExpressionFactory(&FFactory);
    auto Table = NewTable(0, 1, "\\Calc.vdbt");
    Table->SetCollationName("Hungarian_ci_as");
    Table->ColumnDefs().Add(
        TVdbColumnDef::CreateStringColumnDef("NEV", NameType(), "", kVdbColNullable));
    const TVdbDataType* Type = Nullable ? NameType() : NameType()->GetNullableType(false);
    auto Upper = TVdbColumnDef::CreateStringColumnDef(
        "NAGY", Type, "", (Nullable ? kVdbColNullable : 0) | kVdbColCalculated);
    Upper->SetCalculation(std::make_unique<TVdbCalculation>(TVdbExpressionSource(Source, false)));
    Table->ColumnDefs().Add(std::move(Upper));
    Table->CheckDefs().Add(
        std::make_unique<TVdbCheckDef>("NEM_X", TVdbExpressionSource("NEV <> 'x'", false)));
    EXPECT_EQ(Table->NewFile(), 0) << Errors().LastErrorMsg();
    EXPECT_EQ(Table->Setup(false), 0) << Errors().LastErrorMsg();
    return Table;
  }
  TFakeFactory FFactory;
};

TEST_F(BaseTableExpressions, CalculatedColumnsAreComputedForTheirPurpose) {
  WriteDatabase(NumberedEntries(1));
  auto Table = CreateCalculated("UPPER(NEV)");
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()));
  ASSERT_EQ(Table->InitRecord(Buffer.data(), false), 0);
  Table->SetAnsiString(Buffer.data(), 1, "alma");
  // Only the columns of the requested purpose take part.
  ASSERT_EQ(Table->BerechneFormeln(Buffer.data(), 1u << clpAppending), 0);
  EXPECT_TRUE(Table->IsNull(Buffer.data(), 2));
  ASSERT_EQ(Table->BerechneFormeln(Buffer.data(), 1u << clpUpdating), 0) << Errors().LastErrorMsg();
  std::string Upper;
  ASSERT_TRUE(Table->GetAnsiString(Buffer.data(), 2, Upper));
  EXPECT_EQ(Upper, "ALMA");
}

TEST_F(BaseTableExpressions, AResultOfAnotherTypeOrANullIsRefused) {
  WriteDatabase(NumberedEntries(1));
  {
    auto Table = CreateCalculated("NULL", false);
    std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()));
    ASSERT_EQ(Table->InitRecord(Buffer.data(), false), 0);
    Table->SetAnsiString(Buffer.data(), 1, "alma");
    EXPECT_EQ(Table->BerechneFormeln(Buffer.data(), 1u << clpUpdating), -47);
    EXPECT_NE(Errors().LastErrorMsg().find("NAGY"), std::string::npos) << Errors().LastErrorMsg();
  }
  ASSERT_TRUE(FContainer->DeleteFile("\\Calc.vdbt"));
  auto Blob = NewTable(0, 1, "\\Calc.vdbt");
  Session()->SetExpressionFactory(&FFactory);
  Blob->ColumnDefs().Add(
      TVdbColumnDef::CreateStringColumnDef("NEV", NameType(), "", kVdbColNullable));
  auto Data = TVdbColumnDef::CreateColumnDef("ADAT", TVdbDataType::GetDataType(11, true, 6),
                                             kVdbColNullable | kVdbColCalculated);
  Data->SetCalculation(std::make_unique<TVdbCalculation>(TVdbExpressionSource("1", false)));
  Blob->ColumnDefs().Add(std::move(Data));
  ASSERT_EQ(Blob->NewFile(), 0) << Errors().LastErrorMsg();
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Blob->RecordSize()));
  ASSERT_EQ(Blob->InitRecord(Buffer.data(), false), 0);
  EXPECT_EQ(Blob->BerechneFormeln(Buffer.data(), 1u << clpUpdating), -44);
  EXPECT_NE(Errors().LastErrorMsg().find("->"), std::string::npos) << Errors().LastErrorMsg();
}

TEST_F(BaseTableExpressions, ARecordThatViolatesACheckIsRefused) {
  WriteDatabase(NumberedEntries(1));
  auto Table = CreateCalculated("UPPER(NEV)");
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()));
  ASSERT_EQ(Table->InitRecord(Buffer.data(), false), 0);
  Table->SetAnsiString(Buffer.data(), 1, "x");
  EXPECT_EQ(Table->AppendRecord(Buffer.data(), nullptr), -167);
  EXPECT_NE(Errors().LastErrorMsg().find("NEV <> 'x'"), std::string::npos)
      << Errors().LastErrorMsg();
  EXPECT_EQ(Table->RecordCount(), 0);
  Table->SetAnsiString(Buffer.data(), 1, "y");
  ASSERT_EQ(Table->AppendRecord(Buffer.data(), nullptr), 1) << Errors().LastErrorMsg();
  std::vector<std::uint8_t> Changed = Buffer;
  Table->SetAnsiString(Changed.data(), 1, "x");
  EXPECT_EQ(Table->ReplaceRecord(Changed.data(), Buffer.data(), 1, nullptr), -167);
  EXPECT_EQ(TextOf(*Table, 1, 1), "y");
}

}  // namespace
}  // namespace vdb::test
