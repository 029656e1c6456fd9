// The relation base: typed field access, index kinds and file names, column lookup,
// notifications, and choosing, stepping and making indexes over real index files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/VdbErrors.h"
#include "base/VdbServices.h"
#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxFileSystem.h"
#include "table/VdbData.h"
#include "table/VdbDefinitions.h"
#include "table/VdbIndexFile.h"
#include "table/VdbIndexKeys.h"
#include "table/VdbRelation.h"
#include "VdbDefinitionsTestSupport.h"
#include "VdbTreeTestSupport.h"

namespace vdb {
namespace {

using test::ErrorOf;

// A relation over records kept in memory, with real index files in a container: it plays the
// part the stored tables play, as far as the base class needs it.
class TMemoryRelation : public TVdbRelation {
 public:
  TMemoryRelation(TVdbServices* Services, TVdbColumnDefs Columns, std::string FullName = "Data.vdbt",
                  std::int16_t Level = 6, treetest::TContainerEnv* Env = nullptr)
      : TVdbRelation(Services), FFullName(std::move(FullName)), FLevel(Level), FEnv(Env) {
    *FColumnDefs = std::move(Columns);
    FRights = kVdbWriteRights;
  }
  ~TMemoryRelation() override { Close(); }

  // Test controls.
  std::int32_t CloseFilesCalls = 0;
  std::int16_t OpenFilesResult = 0;
  bool OpenFilesThrows = false;
  bool IsReadOnly = false;
  std::unique_ptr<TVdbSortDef> NativeSortDef;

  std::vector<std::uint8_t> NewRecord() const {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(RecordSize()), 0);
  }
  std::int32_t Add(const std::vector<std::uint8_t>& Record) {
    FRecords.push_back(Record);
    const auto recNo = static_cast<std::int32_t>(FRecords.size());
    for (std::size_t no = 0; no < FIndexes.size(); ++no) {
      if (!FIndexes[no].File) continue;
      std::vector<std::uint8_t> item(static_cast<std::size_t>(FIndexes[no].Def->KeySize()));
      const std::int32_t key = vdb::CalcIndexInfo(*FColumnDefs, FLevel, Record.data(), *FIndexes[no].Def,
                                                  item.data(), item.size(), recNo);
      EXPECT_EQ(FIndexes[no].File->Add_Index(item.data(), key + 4), 0);
    }
    NotifyRelationChanged();
    return recNo;
  }
  void CloseIndex(std::int16_t No) {
    TVdbIndexFile& file = *FIndexes[static_cast<std::size_t>(No)].File;
    EXPECT_EQ(file.Flush(), 0);
    EXPECT_EQ(file.Close(), 0);
  }
  std::vector<std::string> NewIndexNames;

  // --- The relation interface ---
  bool Active() const override { return FRecBuffer != nullptr; }
  bool ReadOnly() const override { return IsReadOnly; }
  bool Exclusive() const override { return true; }
  std::string FullName() const override { return FFullName; }
  std::string Name() const override { return CalcStdName(FFullName); }
  std::int16_t Level() const override { return FLevel; }
  std::int32_t RecordSize() const override { return FColumnDefs->GetRecordSize(); }
  std::int32_t RecordCount() override { return static_cast<std::int32_t>(FRecords.size()); }
  std::vector<std::unique_ptr<TVdbCheckDef>> Checks;
  std::int32_t ConstraintCount() const override { return static_cast<std::int32_t>(Checks.size()); }
  TVdbCheckDef* GetConstraint(std::int32_t Index) const override {
    return Index >= 0 && Index < ConstraintCount() ? Checks[static_cast<std::size_t>(Index)].get() : nullptr;
  }
  std::int32_t IntegrityRuleCount() const override { return 0; }
  TVdbForeignKeyDef* GetIntegrityRule(std::int32_t) const override { return nullptr; }
  std::int16_t OpenFiles(bool) override {
    if (OpenFilesThrows) throw EVdbEngine(37, FFullName);
    if (OpenFilesResult < 0) return OpenFilesResult;
    RecalcColumnFlags();
    AllocRecBuffer();
    return 0;
  }
  std::int16_t CloseFiles() override {
    ++CloseFilesCalls;
    FIndexes.clear();
    FLastIndexNo = -1;
    return 0;
  }
  std::int16_t InitIndex(const std::string& IndexName, const TVdbSortDef* IndexDef) override {
    if (!FEnv || !IndexDef) return RecordError(67, {});
    std::size_t slot = 0;
    while (slot < FIndexes.size() && FIndexes[slot].File) ++slot;
    if (slot == FIndexes.size()) FIndexes.emplace_back();
    TSlot& index = FIndexes[slot];
    index.Def = IndexDef->Clone();
    index.Def->SetName(IndexName);
    const std::string fileName = CalcIndexFileName(IndexName);
    index.File = std::make_unique<TVdbIndexFile>(&FServices->LastError(), FEnv->Client(fileName), FLevel);
    index.File->SetName(IndexName);
    index.File->SetFileName(fileName);
    index.File->SetKind(GetIndexKind(IndexName));
    const TVdbSortDef* def = index.Def.get();
    index.File->SetCompareFunction([this, def](const std::uint8_t* X, const std::uint8_t* Y, bool& NotUnique) {
      return vdb::IndexLess(*FColumnDefs, *def, FLevel, X, Y, NotUnique);
    });
    FLastIndexNo = std::max<std::int16_t>(FLastIndexNo, static_cast<std::int16_t>(slot));
    return static_cast<std::int16_t>(slot);
  }
  TVdbIndexFile* GetIndexFile(std::int16_t IndexNo) const override {
    if (IndexNo < 0 || static_cast<std::size_t>(IndexNo) >= FIndexes.size()) return nullptr;
    return FIndexes[static_cast<std::size_t>(IndexNo)].File.get();
  }
  std::int16_t BeginRead(bool) override { return 0; }
  std::int16_t BeginUpgrade(bool) override { return 0; }
  std::int16_t BeginWrite(bool) override { return 0; }
  std::int16_t BeginExclusive(bool) override { return 0; }
  std::int16_t NewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                        const TVdbIndexFile::TProgressFunc&, std::int32_t) override {
    NewIndexNames.push_back(IndexName);
    if (GetIndexNo(IndexName) >= 0) return RecordError(23, {IndexName});
    const std::string fileName = CalcIndexFileName(IndexName);
    if (FEnv->Container->FileExists(fileName)) return RecordError(22, {fileName});
    const std::int16_t no = InitIndex(IndexName, &IndexDef);
    if (no < 0) return no;
    TVdbIndexFile& file = *FIndexes[static_cast<std::size_t>(no)].File;
    const TVdbSortDef& def = *FIndexes[static_cast<std::size_t>(no)].Def;
    EXPECT_EQ(file.SetIndexDefinition(VdbIndexHeaderDef(def, FLevel)), 0);
    EXPECT_EQ(file.NewStorage(FLevel, file.CalcPageSizeForCapacity(1000)), 0);
    for (std::size_t i = 0; i < FRecords.size(); ++i) {
      std::vector<std::uint8_t> item(static_cast<std::size_t>(def.KeySize()));
      const std::int32_t key = vdb::CalcIndexInfo(*FColumnDefs, FLevel, FRecords[i].data(), def,
                                                  item.data(), item.size(), static_cast<std::int32_t>(i + 1));
      EXPECT_EQ(file.Add_Index(item.data(), key + 4), 0);
    }
    return no;
  }
  std::int16_t RemoveInd(std::int16_t) override { return 0; }
  std::int32_t GetBlobLength(const std::uint8_t*, std::int16_t) override { return 0; }
  std::int32_t GetMemoLength(const std::uint8_t*, std::int16_t) override { return 0; }
  std::int16_t ReadMemoString(const std::uint8_t*, std::int16_t, std::string& Value) override {
    Value.clear();
    return 0;
  }
  std::int16_t GetBlobType(const std::uint8_t*, std::int16_t) override { return 0; }
  std::int16_t ReadBlobData(const std::uint8_t*, std::int16_t, std::string& Data,
                            std::int16_t& BlobType) override {
    Data.clear();
    BlobType = 0;
    return 0;
  }
  std::int16_t ReadBlobDataWide(const std::uint8_t*, std::int16_t, std::u16string& Value) override {
    Value.clear();
    return 0;
  }
  const TVdbSortDef* GetNativeSortDef() const override { return NativeSortDef.get(); }
  std::int16_t Check(bool) override { return 0; }
  bool CanRealDelete() const override { return true; }
  std::int32_t ClearDat() override {
    const auto count = static_cast<std::int32_t>(FRecords.size());
    FRecords.clear();
    NotifyRelationEmptied();
    return count;
  }
  std::int16_t Flush() override { return 0; }
  std::int16_t Undo() override { return 0; }
  std::string GetBlobBaseDir() const override { return {}; }
  std::int16_t GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                            std::int16_t& BaseFieldNo) const override {
    BaseRltnIdx = FRltnIdx;
    BaseFieldNo = FieldNo;
    return 0;
  }
  std::int32_t GetCapacity() const override { return 1000; }
  std::int16_t MoveIndex(std::int16_t, std::int16_t) override { return 0; }
  std::int32_t GetFirstRecordNo() override { return FRecords.empty() ? 0 : 1; }
  std::int32_t GetNextRecordNo(std::int32_t RecNo) override {
    return RecNo < RecordCount() ? RecNo + 1 : 0;
  }
  std::int32_t GetPrevRecordNo(std::int32_t RecNo) override { return RecNo > 1 ? RecNo - 1 : 0; }
  std::int32_t GetLastRecordNo() override { return RecordCount(); }
  std::int16_t SetAutoNum(std::uint8_t*) override { return 0; }
  std::int16_t AdjustRecordId(const std::uint8_t*) override { return 0; }
  std::int16_t CancelAutoNum(std::int32_t) override { return 0; }
  std::int16_t ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) override {
    if (RecNo < 1 || RecNo > RecordCount()) return RecordError(19, {});
    const auto& record = FRecords[static_cast<std::size_t>(RecNo - 1)];
    std::copy(record.begin(), record.end(), RecBuffer);
    return 0;
  }
  std::int16_t InitRecord(std::uint8_t* RecBuffer, bool) override {
    std::fill(RecBuffer, RecBuffer + RecordSize(), 0);
    return 0;
  }
  std::int32_t AppendRecord(std::uint8_t* RecBuffer, const TVdbBlobDataList*) override {
    return Add(std::vector<std::uint8_t>(RecBuffer, RecBuffer + RecordSize()));
  }
  std::int16_t DeleteRecord(std::uint8_t*, std::int32_t) override { return 0; }
  std::int16_t BerechneFormeln(std::uint8_t*, TVdbCalculationPurposes) override { return 0; }
  std::int32_t ReadNextRecordId() override { return 1; }
  std::int16_t WriteMemoString(std::uint8_t*, std::int16_t, const std::string&) override { return 0; }
  std::int16_t WriteBlobData(std::uint8_t*, std::int16_t, const std::string&, std::int16_t) override {
    return 0;
  }
  std::int16_t WriteBlobDataWide(std::uint8_t*, std::int16_t, const std::u16string&) override {
    return 0;
  }
  std::int16_t DoGetLinkString(const std::uint8_t*, std::int16_t, std::string& Result) override {
    Result.clear();
    return 0;
  }
  using TVdbRelation::FindIndex;
  // A derived relation's own check when an index is opened (RefuseOpen: refused with error 28).
  bool RefuseOpen = false;
  std::int16_t CheckIndexOpen(std::int16_t IndexNo) override {
    if (RefuseOpen) return RecordError(28, {GetIndexFile(IndexNo) ? GetIndexFile(IndexNo)->Name() : "?"});
    return TVdbRelation::CheckIndexOpen(IndexNo);
  }

 private:
  struct TSlot {
    std::unique_ptr<TVdbSortDef> Def;
    std::unique_ptr<TVdbIndexFile> File;
  };
  std::string FFullName;
  std::int16_t FLevel;
  treetest::TContainerEnv* FEnv;
  std::vector<std::vector<std::uint8_t>> FRecords;
  std::vector<TSlot> FIndexes;
};

// --- Listener that records what it hears ---

class TRecordingListener : public TVdbRelationListener {
 public:
  explicit TRecordingListener(std::string Name, std::vector<std::string>* Log)
      : FName(std::move(Name)), FLog(Log) {}
  std::string GetTag() const override { return FName; }
  void RecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) override {
    Hear("deleted " + std::to_string(RecNo) + "," + std::to_string(MovedRecNo));
  }
  void RecordChanged(std::int32_t RecNo) override { Hear("changed " + std::to_string(RecNo)); }
  void RelationChanged() override { Hear("relation changed"); }
  void RelationEmptied() override { Hear("emptied"); }
  void MayDeleteIndex(std::int16_t IndexNo, bool& Allowed) override {
    Hear("may delete " + std::to_string(IndexNo));
    if (Veto) Allowed = false;
  }
  void IndexRemoved(std::int16_t IndexNo) override { Hear("removed " + std::to_string(IndexNo)); }
  void IndexNamesChanged() override { Hear("index names"); }
  bool IsRecordEdited(std::int32_t RecNo) override { return RecNo == EditedRecNo; }

  bool Veto = false;
  std::int32_t EditedRecNo = -1;
  std::function<void()> OnHear;

 private:
  void Hear(const std::string& What) {
    FLog->push_back(FName + ": " + What);
    if (OnHear) OnHear();
  }
  std::string FName;
  std::vector<std::string>* FLog;
};

// =============================================================================================
// Field access

struct TFieldCase {
  const char* Name;
  const TVdbDataType* Type;
};

TVdbColumnDefs AllTypeColumns() {
  const std::vector<TVdbEnumItem> items{{"Red", 0}, {"Green", 1}, {"Blue", 2}};
  const std::vector<TFieldCase> cases{
      {"C_Char", TVdbDataType::GetDataType(kVdbCharCode, true, 6)},
      {"C_String", TVdbDataType::GetStringType(kVdbStringCode, true, 6, 20, "Hungarian_ci_as")},
      {"C_SmallInt", TVdbDataType::GetDataType(kVdbSmallIntCode, true, 6)},
      {"C_Float", TVdbDataType::GetFloatType(true, 6, 2)},
      {"C_Byte", TVdbDataType::GetDataType(kVdbByteCode, true, 6)},
      {"C_Boolean", TVdbDataType::GetDataType(kVdbBooleanCode, true, 6)},
      {"C_Date", TVdbDataType::GetDataType(kVdbDateCode, true, 6)},
      {"C_Memo", TVdbDataType::GetDataType(kVdbMemoCode, true, 6)},
      {"C_Enum", TVdbDataType::GetEnumType(true, 6, "Colour", false, items)},
      {"C_RecordId", TVdbDataType::GetDataType(kVdbRecordIdCode, false, 6)},
      {"C_Link", TVdbDataType::GetDataType(kVdbLinkCode, true, 6)},
      {"C_Blob", TVdbDataType::GetDataType(kVdbBlobCode, true, 6)},
      {"C_Time", TVdbDataType::GetDataType(kVdbTimeCode, true, 6)},
      {"C_Integer", TVdbDataType::GetDataType(kVdbIntegerCode, true, 6)},
      {"C_TimeStamp", TVdbDataType::GetDataType(kVdbTimeStampCode, true, 6)},
      {"C_WideString", TVdbDataType::GetStringType(kVdbWideStringCode, true, 6, 20, "Hungarian_ci_as")},
      {"C_WideMemo", TVdbDataType::GetDataType(kVdbWideMemoCode, true, 6)},
      {"C_BigInt", TVdbDataType::GetDataType(kVdbBigIntCode, true, 6)},
      {"C_Guid", TVdbDataType::GetDataType(kVdbGuidCode, true, 6)},
  };
  TVdbColumnDefs columns;
  for (const TFieldCase& c : cases) {
    const std::uint32_t options = c.Type->Nullable() ? kVdbColNullable : 0;
    columns.Add(TVdbColumnDef::CreateColumnDef(c.Name, c.Type, options));
  }
  return columns;
}

class RelationFieldTest : public ::testing::Test {
 protected:
  RelationFieldTest() : Relation(&Services, AllTypeColumns()) {
    EXPECT_EQ(Relation.Open(false), 0);
    Record = Relation.NewRecord();
  }
  std::int16_t No(const char* Name) const { return Relation.FindColumn(Name, true); }

  TVdbServices Services{1};
  TMemoryRelation Relation;
  std::vector<std::uint8_t> Record;
};

TEST_F(RelationFieldTest, EveryTypeCodeReadsBackWhatWasWritten) {
  std::uint8_t* r = Record.data();
  Relation.SetAnsiString(r, No("C_Char"), "x");
  Relation.SetAnsiString(r, No("C_String"), "Őz és vad");
  Relation.SetInt16(r, No("C_SmallInt"), -1234);
  Relation.SetDouble(r, No("C_Float"), 3.25);
  Relation.SetUInt8(r, No("C_Byte"), 200);
  Relation.SetBoolean(r, No("C_Boolean"), true);
  Relation.SetTimeStamp(r, No("C_Date"), {TVdbDateTimeType::EncodeDate(2026, 12, 11), 0});
  Relation.SetBlockIdx(r, No("C_Memo"), 17);
  Relation.SetInt32(r, No("C_Enum"), 2);
  Relation.SetRecordId(r, 99);
  Relation.SetLink(r, No("C_Link"), 5);
  Relation.SetBlockIdx(r, No("C_Blob"), 23);
  Relation.SetTicks(r, No("C_Time"), 3600LL * 10000000);
  Relation.SetInt32(r, No("C_Integer"), -7000000);
  Relation.SetTimeStamp(r, No("C_TimeStamp"), {TVdbDateTimeType::EncodeDate(2000, 2, 29), 1000});
  Relation.SetWideString(r, No("C_WideString"), u"Vadász");
  Relation.SetBlockIdx(r, No("C_WideMemo"), 31);
  Relation.SetInt64(r, No("C_BigInt"), 1LL << 40);
  const TVdbGuid guid{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
  Relation.SetGuid(r, No("C_Guid"), guid);

  std::string s;
  std::u16string w;
  std::int16_t i16 = 0;
  std::int32_t i32 = 0;
  std::int64_t i64 = 0;
  std::uint8_t u8 = 0;
  bool b = false;
  double d = 0;
  TVdbTimeStamp ts;
  TVdbGuid g;
  EXPECT_TRUE(Relation.GetAnsiString(r, No("C_Char"), s));
  EXPECT_EQ(s, "x");
  EXPECT_TRUE(Relation.GetAnsiString(r, No("C_String"), s));
  EXPECT_EQ(s, "Őz és vad");
  EXPECT_TRUE(Relation.GetInt16(r, No("C_SmallInt"), i16));
  EXPECT_EQ(i16, -1234);
  EXPECT_TRUE(Relation.GetDouble(r, No("C_Float"), d));
  EXPECT_DOUBLE_EQ(d, 3.25);
  EXPECT_TRUE(Relation.GetUInt8(r, No("C_Byte"), u8));
  EXPECT_EQ(u8, 200);
  EXPECT_TRUE(Relation.GetBoolean(r, No("C_Boolean"), b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(Relation.GetTimeStamp(r, No("C_Date"), ts));
  EXPECT_EQ(ts.Date, TVdbDateTimeType::EncodeDate(2026, 12, 11));
  EXPECT_EQ(Relation.GetBlockIdx(r, No("C_Memo")), 17);
  EXPECT_TRUE(Relation.GetEnumValue(r, No("C_Enum"), i32));
  EXPECT_EQ(i32, 2);
  EXPECT_TRUE(Relation.GetEnumString(r, No("C_Enum"), s));
  EXPECT_EQ(s, "Blue");
  EXPECT_EQ(Relation.GetRecordId(r), 99);
  EXPECT_TRUE(Relation.GetLink(r, No("C_Link"), i32));
  EXPECT_EQ(i32, 5);
  EXPECT_EQ(Relation.GetBlockIdx(r, No("C_Blob")), 23);
  EXPECT_TRUE(Relation.GetTicks(r, No("C_Time"), i64));
  EXPECT_EQ(i64, 3600LL * 10000000);
  EXPECT_TRUE(Relation.GetInt32(r, No("C_Integer"), i32));
  EXPECT_EQ(i32, -7000000);
  EXPECT_TRUE(Relation.GetTimeStamp(r, No("C_TimeStamp"), ts));
  EXPECT_EQ(ts, (TVdbTimeStamp{TVdbDateTimeType::EncodeDate(2000, 2, 29), 1000}));
  EXPECT_TRUE(Relation.GetWideString(r, No("C_WideString"), w));
  EXPECT_EQ(w, u"Vadász");
  EXPECT_EQ(Relation.GetBlockIdx(r, No("C_WideMemo")), 31);
  EXPECT_TRUE(Relation.GetInt64(r, No("C_BigInt"), i64));
  EXPECT_EQ(i64, 1LL << 40);
  EXPECT_TRUE(Relation.GetGuid(r, No("C_Guid"), g));
  EXPECT_EQ(g, guid);
  // Fields do not overlap: the first column still holds its value after all the others.
  EXPECT_TRUE(Relation.GetAnsiString(r, No("C_Char"), s));
  EXPECT_EQ(s, "x");
}

TEST_F(RelationFieldTest, NullableFieldsOfAZeroedRecordReadNullAndSetNullClearsAValue) {
  std::uint8_t* r = Record.data();
  for (std::int16_t no = 1; no <= Relation.GetColumnCount(); ++no) {
    const TVdbColumnDef& column = Relation.GetColumnDef(no);
    if (!column.GetNullable()) continue;
    EXPECT_TRUE(Relation.IsNull(r, no)) << column.Name;
  }
  std::int32_t value = 1;
  EXPECT_FALSE(Relation.GetInt32(r, No("C_Integer"), value));
  EXPECT_EQ(value, 0);
  Relation.SetInt32(r, No("C_Integer"), 4);
  EXPECT_FALSE(Relation.IsNull(r, No("C_Integer")));
  Relation.SetNull(r, No("C_Integer"));
  EXPECT_TRUE(Relation.IsNull(r, No("C_Integer")));
  Relation.SetBlockIdx(r, No("C_Memo"), 9);
  Relation.SetNull(r, No("C_Memo"));
  EXPECT_EQ(Relation.GetBlockIdx(r, No("C_Memo")), 0);
}

TEST_F(RelationFieldTest, TextFormsAndValuesConvertThroughTheColumnTypes) {
  std::uint8_t* r = Record.data();
  Relation.SetAsStringA(r, No("C_Integer"), "42");
  std::int32_t i = 0;
  EXPECT_TRUE(Relation.GetInt32(r, No("C_Integer"), i));
  EXPECT_EQ(i, 42);
  std::u16string w;
  EXPECT_TRUE(Relation.GetAsStringW(r, No("C_Integer"), w));
  EXPECT_EQ(w, u"42");
  Relation.SetAsStringW(r, No("C_String"), u"Nyúl");
  std::string s;
  EXPECT_TRUE(Relation.GetAsStringA(r, No("C_String"), s));
  EXPECT_EQ(s, "Nyúl");

  // SetValue converts a value of another type; PutValue insists on the column's own type.
  const TVdbDataType* intType = Relation.GetDataType(No("C_Integer"));
  TVdbDataValue value;
  EXPECT_TRUE(Relation.GetValue(r, No("C_Integer"), value));
  Relation.SetValue(r, No("C_String"), value, intType);
  EXPECT_TRUE(Relation.GetAnsiString(r, No("C_String"), s));
  EXPECT_EQ(s, "42");
  EXPECT_EQ(ErrorOf([&] { Relation.PutValue(r, No("C_String"), value); }), 44);
  EXPECT_EQ(ErrorOf([&] { Relation.PutValue(r, No("C_BigInt"), value); }), 44);
  Relation.SetInt32(r, No("C_Integer"), 0);
  Relation.PutValue(r, No("C_Integer"), value);
  EXPECT_TRUE(Relation.GetInt32(r, No("C_Integer"), i));
  EXPECT_EQ(i, 42);
}

TEST_F(RelationFieldTest, AMemoValueRefersToItsFieldAndAPlainRelationRefusesReplacing) {
  std::uint8_t* r = Record.data();
  Relation.SetBlockIdx(r, No("C_Memo"), 12);
  TVdbDataValue memo;
  EXPECT_TRUE(Relation.GetValue(r, No("C_Memo"), memo));
  EXPECT_TRUE(memo.IsReference());
  EXPECT_EQ(memo.DataPtr, Relation.GetRecordField(r, No("C_Memo")));
  EXPECT_EQ(Relation.ReplaceRecord(r, r, 1, nullptr), -160);
  EXPECT_EQ(Services.LastErrorMsg(), "Write permission for table Data.vdbt is missing");
}

TEST_F(RelationFieldTest, WrongColumnsAreEngineErrors) {
  std::uint8_t* r = Record.data();
  EXPECT_EQ(ErrorOf([&] { Relation.GetColumnDef(0); }), 83);
  EXPECT_EQ(ErrorOf([&] { Relation.GetColumnDef(Relation.GetColumnCount() + 1); }), 83);
  std::int32_t i = 0;
  EXPECT_EQ(ErrorOf([&] { Relation.GetInt32(r, 0, i); }), 83);
  EXPECT_EQ(ErrorOf([&] { Relation.GetBlockIdx(r, No("C_Integer")); }), 14);
  EXPECT_EQ(ErrorOf([&] { Relation.GetLink(r, No("C_String"), i); }), 14);
  EXPECT_EQ(ErrorOf([&] { Relation.GetEnumValue(r, No("C_Integer"), i); }), 14);
  TMemoryRelation plain(&Services, test::LexiconColumns());
  ASSERT_EQ(plain.Open(false), 0);
  auto record = plain.NewRecord();
  EXPECT_EQ(ErrorOf([&] { plain.GetRecordId(record.data()); }), 64);
}

TEST_F(RelationFieldTest, ColumnFlagsFollowTheColumns) {
  EXPECT_EQ(Relation.RecordIdFieldNo(), No("C_RecordId"));
  EXPECT_TRUE(Relation.HasMemo());
  EXPECT_TRUE(Relation.HasBlob());
  EXPECT_TRUE(Relation.HasLinkField);

  TMemoryRelation lexicon(&Services, test::LexiconColumns());
  ASSERT_EQ(lexicon.Open(false), 0);
  EXPECT_EQ(lexicon.RecordIdFieldNo(), 0);
  EXPECT_TRUE(lexicon.HasMemo());
  EXPECT_FALSE(lexicon.HasBlob());
  EXPECT_FALSE(lexicon.HasLinkField);
}

TEST_F(RelationFieldTest, FindColumnComparesNamesAsIdentifiersOrExactly) {
  EXPECT_EQ(Relation.FindColumn("C_Char", true), 1);
  EXPECT_EQ(Relation.FindColumn("c_char", false), 1);
  EXPECT_EQ(Relation.FindColumn("c_char", true), 0);
  EXPECT_EQ(Relation.FindColumn("C_Guid", false), Relation.GetColumnCount());
  EXPECT_EQ(Relation.FindColumn("Nothing", false), 0);
  EXPECT_EQ(Relation.FindColumn("", false), 0);
}

TEST_F(RelationFieldTest, CloseClosesFilesClearsTheStructureAndFreesTheBuffer) {
  ASSERT_NE(Relation.RecBuffer(), nullptr);
  EXPECT_EQ(Relation.Close(), 0);
  EXPECT_EQ(Relation.CloseFilesCalls, 1);
  EXPECT_EQ(Relation.GetColumnCount(), 0);
  EXPECT_EQ(Relation.RecBuffer(), nullptr);
  EXPECT_FALSE(Relation.HasMemo());
  EXPECT_EQ(Relation.RecordIdFieldNo(), 0);
}

// Below level 6 a nullable field carries its null byte last.
TEST(RelationFieldLevels, OlderLevelsKeepValuesAndNullsApart) {
  TVdbServices services(1);
  for (std::int16_t level : {4, 5, 6}) {
    TVdbColumnDefs columns;
    columns.Add(TVdbColumnDef::CreateColumnDef("N", TVdbDataType::GetDataType(kVdbIntegerCode, true, level),
                                               kVdbColNullable));
    columns.Add(TVdbColumnDef::CreateColumnDef(
        "S", TVdbDataType::GetStringType(kVdbStringCode, true, level, 10, ""), kVdbColNullable));
    TMemoryRelation relation(&services, std::move(columns), "T.dat", level);
    ASSERT_EQ(relation.Open(false), 0);
    auto record = relation.NewRecord();
    relation.SetInt32(record.data(), 1, -1);
    relation.SetAnsiString(record.data(), 2, "abc");
    std::int32_t n = 0;
    std::string text;
    EXPECT_TRUE(relation.GetInt32(record.data(), 1, n)) << level;
    EXPECT_EQ(n, -1) << level;
    EXPECT_TRUE(relation.GetAnsiString(record.data(), 2, text)) << level;
    EXPECT_EQ(text, "abc") << level;
    relation.SetNull(record.data(), 1);
    EXPECT_TRUE(relation.IsNull(record.data(), 1)) << level;
    EXPECT_TRUE(relation.GetAnsiString(record.data(), 2, text)) << level;
    EXPECT_EQ(text, "abc") << level;
  }
}

TEST(RelationOpen, AFailedOpenClosesTheRelationAgainAndASuccessfulOneSetsTheStandardName) {
  TVdbServices services(1);
  TMemoryRelation failing(&services, test::LexiconColumns(), "/data/Lex.vdbt");
  failing.OpenFilesResult = -37;
  EXPECT_EQ(failing.Open(false), -37);
  EXPECT_EQ(failing.CloseFilesCalls, 1);
  EXPECT_EQ(failing.GetColumnCount(), 0);
  EXPECT_EQ(failing.StdName(), "");

  TMemoryRelation throwing(&services, test::LexiconColumns(), "/data/Lex.vdbt");
  throwing.OpenFilesThrows = true;
  EXPECT_EQ(throwing.Open(false), -37);
  EXPECT_EQ(services.LastErrorMsg(), "File not found or access denied: \"/data/Lex.vdbt\"");
  EXPECT_EQ(throwing.CloseFilesCalls, 1);

  TMemoryRelation relation(&services, test::LexiconColumns(), "/data/Lex.vdbt");
  EXPECT_EQ(relation.Open(false), 0);
  EXPECT_EQ(relation.StdName(), "Lex");
  EXPECT_TRUE(relation.IsSameTableName("lex"));
  EXPECT_TRUE(relation.IsSameTableName("C:\\other\\LEX.dat"));
  EXPECT_FALSE(relation.IsSameTableName("Lexicon"));
}

// A compiler that accepts every condition but "bad".
class TFakeFactory : public TVdbExpressionFactory {
 public:
  std::unique_ptr<TVdbCompiledExpression> CompileExpression(const std::string& Source, bool,
                                                            const TVdbColumnDefs&, std::int16_t) override {
    throw EVdbEngine(98, Source);
  }
  std::unique_ptr<TVdbCompiledCondition> CompileCondition(const std::string& Source, bool,
                                                          const TVdbColumnDefs&, std::int16_t) override {
    struct TTrue : TVdbCompiledCondition {
      int Evaluate(const std::uint8_t*) override { return 1; }
    };
    if (Source == "bad") throw EVdbEngine(98, Source);
    return std::make_unique<TTrue>();
  }
};

TEST(RelationSetup, PreparesTheCheckConstraintsAndSkipsThoseThatDoNotCompile) {
  TVdbServices services(1);
  TMemoryRelation relation(&services, test::LexiconColumns());
  relation.Checks.push_back(std::make_unique<TVdbCheckDef>("bad_one", TVdbExpressionSource("bad", false)));
  relation.Checks.push_back(std::make_unique<TVdbCheckDef>("good", TVdbExpressionSource("CIMSZO <> ''", false)));
  EXPECT_EQ(relation.Setup(false), 0);  // no compiler yet: nothing prepared
  EXPECT_FALSE(relation.Checks[1]->FCondition->IsCompiled());
  TFakeFactory factory;
  services.SetExpressionFactory(&factory);
  EXPECT_EQ(relation.Setup(false), 0);
  EXPECT_FALSE(relation.Checks[0]->FCondition->IsCompiled());
  EXPECT_TRUE(relation.Checks[1]->FCondition->IsCompiled());
}

// =============================================================================================
// Index kinds and file names

struct TKindCase {
  const char* Name;
  std::int16_t Level;
  TVdbIndexKind Kind;
};

TEST(RelationIndexKind, NamesGiveKindsByTheRuleOfTheirLevel) {
  const TKindCase cases[] = {
      {"CIMSZO", 6, tikUser},        {"tmp001", 6, tikTemporary}, {"TMP001", 6, tikUser},
      {"sys_In3", 6, tikAdl},        {"SYS_IN3", 6, tikAdl},      {"sys_Id", 6, tikAdl},
      {"sys_Inr", 6, tikAdl},        {"sys_In0", 6, tikConstraint}, {"sys_In", 6, tikConstraint},
      {"sys_In12", 6, tikAdl},       {"sys_Inx", 6, tikConstraint}, {"sys_Primary", 6, tikConstraint},
      {"sys_Unique1", 4, tikConstraint}, {"tmp.ind", 5, tikUser}, {"sys_Id.ind", 4, tikUser},
      {"Data", 3, tikUser},          {"Data.ind", 3, tikUser},    {"DATA.IND", 3, tikUser},
      {"Data.$$i", 3, tikUser},      {"Data.$01", 3, tikTemporary}, {"Data.x$1", 3, tikUnknown},
      {"Data.inr", 3, tikAdl},       {"Data.id", 3, tikAdl},      {"Data.in1", 3, tikAdl},
      {"Data.in9", 3, tikAdl},       {"Data.in0", 3, tikUnknown}, {"Data.txt", 1, tikUnknown},
      {"tmp001", 3, tikUser},
  };
  for (const TKindCase& c : cases)
    EXPECT_EQ(TVdbRelation::GetIndexKind(c.Name, c.Level), c.Kind) << c.Name << " level " << c.Level;
}

struct TFileNameCase {
  const char* Table;
  std::int16_t Level;
  const char* Index;
  const char* FileName;
};

TEST(RelationIndexFileName, IndexFilesAreNamedAfterTheTableAndTheLevel) {
  const TFileNameCase cases[] = {
      {"\\Data.vdbt", 6, "CIMSZO", "\\Data!CIMSZO.vdbi"},
      {"/db/Data.vdbt", 6, "tmp001", "/db/Data!tmp001.vdbi"},
      {"/db/Data.dat", 5, "Name", "/db/Data!Name.ind"},
      {"/db/Data.dat", 4, "Name", "/db/Data!Name.ind"},
      {"/db/Data.dat", 3, "Name", "/db/Name.ind"},
      {"/db/Data.dat", 3, "Data.$01", "/db/Data.$01"},
      {"/db/~Temp.dat", 2, "Key", "/db/Key.$$i"},
      {"Data.dat", 1, "Key", "Key.ind"},
  };
  TVdbServices services(1);
  for (const TFileNameCase& c : cases) {
    TMemoryRelation relation(&services, test::LexiconColumns(), c.Table, c.Level);
    EXPECT_EQ(relation.CalcIndexFileName(c.Index), c.FileName) << c.Table << " " << c.Index;
  }
  TMemoryRelation current(&services, test::LexiconColumns(), "/db/Data.vdbt", 6);
  EXPECT_EQ(current.CalcRelTableFileName(2), "/db/Data!rel_LEIRAS.vdbt");
  EXPECT_EQ(current.GetPhysicalColumnName(1), "CIMSZO");
  TMemoryRelation old(&services, test::LexiconColumns(), "/db/Data.dat", 2);
  EXPECT_EQ(old.CalcRelTableFileName(2), "/db/Data.rel");
}

// =============================================================================================
// Notifications

class RelationNotificationTest : public ::testing::Test {
 protected:
  RelationNotificationTest() : Relation(&Services, test::LexiconColumns()) {
    Relation.AddAccessor(&First);
    Relation.AddAccessor(&Second);
  }
  TVdbServices Services{1};
  TMemoryRelation Relation;
  std::vector<std::string> Log;
  TRecordingListener First{"first", &Log};
  TRecordingListener Second{"second", &Log};
};

TEST_F(RelationNotificationTest, AccessorsHearEveryChangeInRegistrationOrder) {
  Relation.NotifyRecordChanged(3);
  Relation.NotifyRecordDeleted(5, 10);
  Relation.NotifyRelationEmptied();
  Relation.NotifyIndexNamesChanged();
  Relation.NotifyIndexRemoved(1);
  EXPECT_EQ(Log, (std::vector<std::string>{
                     "first: changed 3", "second: changed 3", "first: deleted 5,10",
                     "second: deleted 5,10", "first: emptied", "second: emptied",
                     "first: index names", "second: index names", "first: removed 1",
                     "second: removed 1"}));
  EXPECT_EQ(Relation.AccessorCount(), 2);
  EXPECT_EQ(Relation.GetAccessor(1), &Second);
  EXPECT_EQ(Relation.GetAccessor(2), nullptr);
}

TEST_F(RelationNotificationTest, CatchingUpTellsAChangeAndEveryMove) {
  Relation.NotifyCaughtUp({{5, 10}, {7, 7}});
  EXPECT_EQ(Log, (std::vector<std::string>{"first: relation changed", "second: relation changed",
                                           "first: deleted 5,10", "second: deleted 5,10",
                                           "first: deleted 7,7", "second: deleted 7,7"}));
}

TEST_F(RelationNotificationTest, SuspendedNotificationsEndWithOneRelationChange) {
  Relation.EnableNotifications(false);
  Relation.EnableNotifications(false);
  Relation.NotifyRecordChanged(1);
  Relation.NotifyRelationChanged();
  Relation.EnableNotifications(true);
  EXPECT_TRUE(Log.empty());
  Relation.EnableNotifications(true);
  EXPECT_EQ(Log, (std::vector<std::string>{"first: relation changed", "second: relation changed"}));
  Log.clear();
  Relation.EnableNotifications(true);  // never below zero, nothing sent
  EXPECT_TRUE(Log.empty());
  EXPECT_TRUE(Relation.NotificationsEnabled());
  Relation.NotifyRecordChanged(2);
  EXPECT_EQ(Log.size(), 2u);
}

TEST_F(RelationNotificationTest, AnAccessorThatLeavesWhileHearingDoesNotBreakTheRound) {
  First.OnHear = [&] { Relation.RemoveAccessor(&First); Relation.RemoveAccessor(&Second); };
  Relation.NotifyRecordChanged(1);
  EXPECT_EQ(Log, (std::vector<std::string>{"first: changed 1"}));
  EXPECT_EQ(Relation.AccessorCount(), 0);
}

TEST_F(RelationNotificationTest, RegisteringTwiceCountsOnceAndOtherListenersAreNoAccessors) {
  Relation.AddAccessor(&First);
  EXPECT_EQ(Relation.AccessorCount(), 2);
  TRecordingListener other("other", &Log);
  Relation.AddListener(&other);
  EXPECT_EQ(Relation.AccessorCount(), 2);
  Relation.NotifyRelationEmptied();
  EXPECT_EQ(Log.back(), "other: emptied");
  Relation.RemoveListener(&other);
  Log.clear();
  Relation.NotifyRelationEmptied();
  EXPECT_EQ(Log.size(), 2u);
}

TEST_F(RelationNotificationTest, OneVetoKeepsAnIndex) {
  EXPECT_TRUE(Relation.MayDeleteIndex(2));
  Second.Veto = true;
  EXPECT_FALSE(Relation.MayDeleteIndex(2));
}

TEST_F(RelationNotificationTest, EditChecksAskTheOtherAccessors) {
  Second.EditedRecNo = 4;
  EXPECT_EQ(Relation.CheckEdit(4, &First), 0);  // without edit locks nothing is checked
  Relation.SetUseEditLocks(true);
  EXPECT_EQ(Relation.CheckEdit(4, &First), -105);
  EXPECT_EQ(Services.LastErrorCode(), 105);
  EXPECT_EQ(Services.LastErrorMsg(), "Record is being edited by another user");
  EXPECT_EQ(Relation.CheckEdit(4, &Second), 0);
  EXPECT_EQ(Relation.CheckEdit(5, &First), 0);
  EXPECT_TRUE(Relation.IsRecordEdited(4, nullptr));
}

// =============================================================================================
// Indexes over real index files

std::vector<std::uint8_t> LexiconRecord(const TVdbRelation& Relation, const std::string& Headword) {
  std::vector<std::uint8_t> record(static_cast<std::size_t>(const_cast<TVdbRelation&>(Relation).RecordSize()), 0);
  Relation.SetAnsiString(record.data(), 1, Headword);
  return record;
}

class RelationIndexTest : public ::testing::Test {
 protected:
  RelationIndexTest() : Relation(&Services, test::LexiconColumns(), "\\Data.vdbt", 6, &Env) {
    EXPECT_EQ(Relation.Open(false), 0);
    for (const char* word : {"őz", "agancs", "vad", "Bak", "cserkelés"})
      Relation.Add(LexiconRecord(Relation, word));
    EXPECT_EQ(Relation.CreateIndex("CIMSZO", "CIMSZO", false), 0);
  }
  std::unique_ptr<TVdbSortDef> Order(const std::string& Spec) {
    return Relation.CalcIndexDefinition(Spec, false);
  }
  std::vector<std::uint8_t> Item() { return std::vector<std::uint8_t>(512, 0); }
  static TVdbLongIndexInfo& Info(std::vector<std::uint8_t>& Bytes) {
    return *reinterpret_cast<TVdbLongIndexInfo*>(Bytes.data());
  }
  std::vector<std::int32_t> Walk(bool Backwards) {
    std::vector<std::int32_t> result;
    auto item = Item();
    std::int16_t r = Backwards ? Relation.FindLastIndexInfo(0, Info(item))
                               : Relation.FindFirstIndexInfo(0, Info(item));
    while (r == 0) {
      result.push_back(Info(item).DateiVerweis);
      r = Backwards ? Relation.FindPrevIndexInfo(0, Info(item)) : Relation.FindNextIndexInfo(0, Info(item));
    }
    EXPECT_EQ(r, 1);
    return result;
  }

  treetest::TContainerEnv Env;
  TVdbServices Services{1};
  TMemoryRelation Relation;
};

TEST_F(RelationIndexTest, IndexesAreNumberedAndFoundByName) {
  EXPECT_EQ(Relation.GetIndexNo("CIMSZO"), 0);
  EXPECT_EQ(Relation.GetIndexNo("cimszo"), 0);
  EXPECT_EQ(Relation.FindIndex(std::string("CIMSZO")), 0);
  EXPECT_EQ(Relation.GetIndexNo("LEIRAS"), -1);
  EXPECT_EQ(Relation.IndexCount(), 1);
  EXPECT_EQ(Relation.LastIndexNo(), 0);
  EXPECT_TRUE(Env.Container->FileExists("\\Data!CIMSZO.vdbi"));
  EXPECT_EQ(Relation.GetIndexFile(0)->Kind(), tikUser);
  EXPECT_EQ(Relation.GetIndexSpecification(0), "CIMSZO");
  EXPECT_NE(Relation.GetIndexWorkInfo(0, 4), nullptr);
  EXPECT_EQ(Relation.GetIndexWorkInfo(0, 5), nullptr);
  EXPECT_EQ(Relation.GetIndexWorkInfo(1, 0), nullptr);
}

TEST_F(RelationIndexTest, SteppingWalksTheIndexInCollationOrderBothWays) {
  // agancs, Bak, cserkelés, őz, vad under the Hungarian collation, case-insensitively.
  const std::vector<std::int32_t> forwards{2, 4, 5, 1, 3};
  EXPECT_EQ(Walk(false), forwards);
  std::vector<std::int32_t> backwards(forwards.rbegin(), forwards.rend());
  EXPECT_EQ(Walk(true), backwards);
}

TEST_F(RelationIndexTest, SteppingFromAnEntryThatIsGoneReachesItsNeighbours) {
  const TVdbSortDef* def = Relation.GetIndexDefinition(0);
  ASSERT_NE(def, nullptr);
  auto record = LexiconRecord(Relation, "bakcsó");  // between Bak and cserkelés
  auto item = Item();
  Relation.CalcIndexInfo(record.data(), *def, Info(item), 77);
  auto next = item;
  EXPECT_EQ(Relation.FindNextIndexInfo(0, Info(next)), 0);
  EXPECT_EQ(Info(next).DateiVerweis, 5);
  auto prev = item;
  EXPECT_EQ(Relation.FindPrevIndexInfo(0, Info(prev)), 0);
  EXPECT_EQ(Info(prev).DateiVerweis, 4);
}

TEST_F(RelationIndexTest, FindSortInfoTellsASameKeyFromTheNextEntry) {
  const TVdbSortDef* def = Relation.GetIndexDefinition(0);
  ASSERT_NE(def, nullptr);
  auto search = Item(), found = Item();
  auto record = LexiconRecord(Relation, "VAD");
  Relation.CalcIndexInfo(record.data(), *def, Info(search), 0);
  EXPECT_EQ(Relation.FindSortInfo(0, Info(search), Info(found)), 3);
  EXPECT_EQ(Info(found).DateiVerweis, 3);
  record = LexiconRecord(Relation, "bakcsó");
  Relation.CalcIndexInfo(record.data(), *def, Info(search), 0);
  EXPECT_EQ(Relation.FindSortInfo(0, Info(search), Info(found)), 1);
  EXPECT_EQ(Info(found).DateiVerweis, 5);
  record = LexiconRecord(Relation, "zerge");
  Relation.CalcIndexInfo(record.data(), *def, Info(search), 0);
  EXPECT_EQ(Relation.FindSortInfo(0, Info(search), Info(found)), 0);
  // The search item may be the found item's own buffer.
  record = LexiconRecord(Relation, "agancs");
  Relation.CalcIndexInfo(record.data(), *def, Info(search), 0);
  EXPECT_EQ(Relation.FindSortInfo(0, Info(search), Info(search)), 3);
  EXPECT_EQ(Info(search).DateiVerweis, 2);
}

TEST_F(RelationIndexTest, AccessIdsOfSpecialOrdersAndMissingIndexesAreRefused) {
  auto search = Item(), found = Item();
  EXPECT_EQ(Relation.FindSortInfo(100, Info(search), Info(found)), -6);
  EXPECT_EQ(Services.LastErrorMsg(), "No suitable index found for \"Index#100\"");
  EXPECT_EQ(Relation.FindFirstIndexInfo(3, Info(found)), -6);
  EXPECT_EQ(Services.LastErrorMsg(), "No suitable index found for \"Index#3\"");
  EXPECT_EQ(Relation.CheckIndexOpen(3), -6);
  EXPECT_EQ(Relation.GetNativeSortInfo(1, Info(found)), -6);
  EXPECT_EQ(Services.LastErrorMsg(), "No suitable index found for \"Data\"");
  Relation.IndexErrorHandler()(91, "CIMSZO");
  EXPECT_EQ(Services.LastErrorCode(), 91);
  EXPECT_EQ(Services.LastErrorMsg(), "Error while reading from index \"CIMSZO\"");
}

TEST_F(RelationIndexTest, ACorruptIndexFileIsError95) {
  Relation.CloseIndex(0);
  const std::int32_t h = Env.Container->OpenFile("\\Data!CIMSZO.vdbi", fmOpenReadWrite);
  ASSERT_GE(h, 0);
  const std::vector<std::uint8_t> garbage(64, 0xEE);
  Env.Container->FileWrite(h, garbage.data(), static_cast<std::int32_t>(garbage.size()), 0);
  Env.Container->CloseFile(h);
  auto found = Item();
  EXPECT_EQ(Relation.FindFirstIndexInfo(0, Info(found)), -95);
  EXPECT_EQ(Services.LastErrorMsg(), "Index \"CIMSZO\" is corrupt and must be deleted");
}

TEST_F(RelationIndexTest, OpeningAnIndexGoesThroughTheRelationsOwnCheck) {
  Relation.CloseIndex(0);
  Relation.RefuseOpen = true;
  auto found = Item();
  EXPECT_EQ(Relation.FindFirstIndexInfo(0, Info(found)), -28);
  EXPECT_EQ(Services.LastErrorMsg(), "Inconsistent definition for index \"CIMSZO\"");
  auto record = LexiconRecord(Relation, "vad");
  EXPECT_EQ(Relation.LocateRecord(0, record.data()), -28);
  bool reverse = false;
  EXPECT_EQ(Relation.FindIndex(*Order("CIMSZO"), 0, reverse), -1);
  Relation.RefuseOpen = false;
  EXPECT_EQ(Relation.LocateRecord(0, record.data()), 3);
}

TEST_F(RelationIndexTest, FindIndexCoversReversesAndCreatesByTheFlags) {
  bool reverse = true;
  EXPECT_EQ(Relation.FindIndex(*Order("CIMSZO"), 0, reverse), 0);
  EXPECT_FALSE(reverse);
  EXPECT_EQ(Relation.FindIndex(*Order("-CIMSZO"), 0, reverse), 0);
  EXPECT_TRUE(reverse);
  EXPECT_EQ(Relation.FindIndex(*Order("-CIMSZO"), tifoNoReverse, reverse), -1);
  EXPECT_EQ(Relation.FindIndex(*Order("-CIMSZO"), tifoExact, reverse), -1);
  EXPECT_EQ(Relation.FindIndex(*Order("CIMSZO"), tifoExact, reverse), 0);
  EXPECT_EQ(Relation.FindIndex(*Order("CIMSZO,CIMSZO"), 0, reverse), -1);
  EXPECT_TRUE(Relation.NewIndexNames.size() == 1);  // nothing built without tifoCreate

  // A closed index serves only when it may be opened.
  Relation.CloseIndex(0);
  EXPECT_EQ(Relation.FindIndex(*Order("CIMSZO"), tifoNoOpen, reverse), -1);
  EXPECT_EQ(Relation.FindIndex(*Order("CIMSZO"), 0, reverse), 0);

  // The text form goes the same way.
  EXPECT_EQ(Relation.FindIndex(std::string("-${CIMSZO}"), 0, reverse), 0);
  EXPECT_TRUE(reverse);
  EXPECT_EQ(Relation.FindIndex(std::string("NOSUCH"), 0, reverse), -98);

  // With tifoCreate a temporary index is built: tmp001, then tmp002 once that name is taken.
  const std::int16_t made = Relation.FindIndex(*Order("-CIMSZO"), tifoNoReverse | tifoCreate, reverse);
  ASSERT_EQ(made, 1);
  EXPECT_FALSE(reverse);
  EXPECT_EQ(Relation.GetIndexFile(1)->Name(), "tmp001");
  EXPECT_EQ(Relation.GetIndexFile(1)->Kind(), tikTemporary);
  EXPECT_EQ(Relation.FindIndex(*Order("-CIMSZO"), tifoNoReverse | tifoCreate, reverse), 1);
  Relation.NewIndexNames.clear();
  EXPECT_EQ(Relation.CreateTempIndex(*Order("-CIMSZO")), 2);
  EXPECT_EQ(Relation.NewIndexNames, (std::vector<std::string>{"tmp001", "tmp002"}));

  // A read-only relation builds nothing.
  Relation.IsReadOnly = true;
  Relation.NewIndexNames.clear();
  EXPECT_EQ(Relation.FindIndex(*Order("CIMSZO"), tifoExact | tifoCreate | tifoNoReverse, reverse), 0);
  EXPECT_EQ(Relation.FindIndex(*Order("-CIMSZO,CIMSZO"), tifoCreate, reverse), -1);
  EXPECT_TRUE(Relation.NewIndexNames.empty());
}

TEST_F(RelationIndexTest, TheNativeOrderCountsOnlyWithIncludeSpecial) {
  Relation.NativeSortDef = Order("CIMSZO");
  bool reverse = false;
  EXPECT_EQ(Relation.FindIndex(*Order("CIMSZO"), tifoIncludeSpecial, reverse), -1);
  EXPECT_EQ(Relation.FindIndex(*Order("CIMSZO"), 0, reverse), 0);
  auto info = Item();
  EXPECT_EQ(Relation.GetNativeSortInfo(3, Info(info)), 0);
  EXPECT_EQ(Info(info).DateiVerweis, 3);
  EXPECT_EQ(Relation.GetNativeSortInfo(9, Info(info)), -19);
}

TEST_F(RelationIndexTest, OlderLevelsNameTemporaryIndexesAfterTheTable) {
  TMemoryRelation old(&Services, test::LexiconColumns(), "\\Old.dat", 3, &Env);
  ASSERT_EQ(old.Open(false), 0);
  old.Add(LexiconRecord(old, "vad"));
  ASSERT_EQ(old.CreateTempIndex(*old.CalcIndexDefinition("CIMSZO", false)), 0);
  EXPECT_EQ(old.GetIndexFile(0)->Name(), "Old.$01");
  EXPECT_EQ(old.GetIndexFile(0)->FileName(), "\\Old.$01");
  EXPECT_EQ(old.GetIndexFile(0)->Kind(), tikTemporary);
  bool reverse = true;
  EXPECT_EQ(old.FindIndex(*old.CalcIndexDefinition("CIMSZO", false), tifoExact, reverse), 0);
  EXPECT_FALSE(reverse);
  EXPECT_EQ(old.GetIndexSpecification(0), "CIMSZO");
  old.CloseIndex(0);  // reopened, the definition comes from the stored vector form
  EXPECT_EQ(old.FindIndex(*old.CalcIndexDefinition("CIMSZO", false), tifoExact, reverse), 0);
  auto found = Item();
  EXPECT_EQ(old.FindFirstIndexInfo(0, Info(found)), 0);
  EXPECT_EQ(Info(found).DateiVerweis, 1);
}

TEST_F(RelationIndexTest, RecordsAreLocatedByKeyAndRangesTestTheKeyOnly) {
  auto record = LexiconRecord(Relation, "CSERKELÉS");
  EXPECT_EQ(Relation.LocateRecord(0, record.data()), 5);
  record = LexiconRecord(Relation, "zerge");
  EXPECT_EQ(Relation.LocateRecord(0, record.data()), 0);

  const TVdbSortDef* def = Relation.GetIndexDefinition(0);
  ASSERT_NE(def, nullptr);
  auto lower = Item(), upper = Item(), probe = Item();
  Relation.StringToIndex(*def, {"Bak"}, Info(lower), 1);
  Relation.StringToIndex(*def, {"őz"}, Info(upper), 1);
  for (const auto& [word, inside] : std::vector<std::pair<std::string, bool>>{
           {"agancs", false}, {"bak", true}, {"cserkelés", true}, {"őz", true}, {"vad", false}}) {
    Relation.StringToIndex(*def, {word}, Info(probe), 42);
    EXPECT_EQ(Relation.TestFilterRange(*def, Info(probe), &Info(lower), &Info(upper)), inside) << word;
  }
  Info(upper).DateiVerweis = 0;  // an unset bound
  Relation.StringToIndex(*def, {"vad"}, Info(probe), 42);
  EXPECT_TRUE(Relation.TestFilterRange(*def, Info(probe), &Info(lower), &Info(upper)));
  EXPECT_EQ(Relation.IndString(*def, Info(probe)), "vad");

  auto same = probe;
  EXPECT_TRUE(Relation.IsSameIndexKey(*def, Info(probe), Info(same)));
  Info(same).DateiVerweis = 43;
  EXPECT_FALSE(Relation.IsSameIndexKey(*def, Info(probe), Info(same)));
  EXPECT_TRUE(Relation.IsSameIndexInfo(*def, Info(probe), Info(same)));
  Relation.StringToIndex(*def, {"VAD"}, Info(same), 42);
  EXPECT_TRUE(Relation.IsSameIndexInfo(*def, Info(probe), Info(same)));
  EXPECT_FALSE(Relation.IsSameIndexKey(*def, Info(probe), Info(same)));
}

TEST_F(RelationIndexTest, BookmarksSortByKeyWithHolesLast) {
  std::vector<std::int32_t> bookmarks{3, 0, 1, 2, 5, 4};
  EXPECT_EQ(Relation.SortBookmarks(bookmarks, *Order("CIMSZO")), 0);
  EXPECT_EQ(bookmarks, (std::vector<std::int32_t>{2, 4, 5, 1, 3, 0}));
  EXPECT_EQ(Relation.SortBookmarks(bookmarks, *Order("-CIMSZO")), 0);
  EXPECT_EQ(bookmarks, (std::vector<std::int32_t>{3, 1, 5, 4, 2, 0}));
  std::vector<std::int32_t> bad{1, 9};
  EXPECT_EQ(Relation.SortBookmarks(bad, *Order("CIMSZO")), -19);
  EXPECT_EQ(bad, (std::vector<std::int32_t>{1, 9}));
}

TEST(RelationKeys, KeysOfSeveralLevelsReadBackAndMissingLevelsTakeTheirMinimum) {
  treetest::TContainerEnv env;
  TVdbServices services(1);
  TVdbColumnDefs columns;
  columns.Add(TVdbColumnDef::CreateColumnDef(
      "Name", TVdbDataType::GetStringType(kVdbStringCode, true, 6, 30, "Hungarian_ci_as"), kVdbColNullable));
  columns.Add(TVdbColumnDef::CreateColumnDef("Year", TVdbDataType::GetDataType(kVdbIntegerCode, true, 6),
                                             kVdbColNullable));
  TMemoryRelation relation(&services, std::move(columns), "\\Hunt.vdbt", 6, &env);
  ASSERT_EQ(relation.Open(false), 0);
  for (const auto& [name, year] : std::vector<std::pair<std::string, int>>{
           {"szarvas", 2001}, {"őz", 1999}, {"szarvas", 1990}, {"vaddisznó", 2005}}) {
    auto record = relation.NewRecord();
    relation.SetAnsiString(record.data(), 1, name);
    relation.SetInt32(record.data(), 2, year);
    relation.Add(record);
  }
  ASSERT_EQ(relation.CreateIndex("ByName", "Name,-Year", false), 0);
  const TVdbSortDef* def = relation.GetIndexDefinition(0);
  ASSERT_NE(def, nullptr);
  std::vector<std::uint8_t> item(512), lower(512);
  auto& info = *reinterpret_cast<TVdbLongIndexInfo*>(item.data());
  auto& bound = *reinterpret_cast<TVdbLongIndexInfo*>(lower.data());

  // Name descending by year: őz 1999, szarvas 2001, szarvas 1990, vaddisznó 2005.
  std::vector<std::string> keys;
  for (std::int16_t r = relation.FindFirstIndexInfo(0, info); r == 0; r = relation.FindNextIndexInfo(0, info))
    keys.push_back(relation.IndString(*def, info));
  EXPECT_EQ(keys, (std::vector<std::string>{"őz,1999", "szarvas,2001", "szarvas,1990", "vaddisznó,2005"}));

  TVdbDataValue value;
  relation.StringToIndex(*def, {"szarvas", "1990"}, info, 3);
  EXPECT_TRUE(relation.GetValueFromIndex(*def, info, 1, value));
  EXPECT_EQ(relation.GetDataType(2)->GetInteger(value), 1990);
  EXPECT_EQ(relation.LocateRecord(0, relation.NewRecord().data()), 0);

  // Only the first level given: the bound lies before every szarvas entry.
  relation.StringToIndex(*def, {"szarvas"}, bound, 1);
  std::vector<std::uint8_t> found(512);
  auto& hit = *reinterpret_cast<TVdbLongIndexInfo*>(found.data());
  EXPECT_EQ(relation.FindSortInfo(0, bound, hit), 1);
  EXPECT_EQ(relation.IndString(*def, hit), "szarvas,2001");
  std::vector<std::uint8_t> upper(512);
  auto& last = *reinterpret_cast<TVdbLongIndexInfo*>(upper.data());
  relation.StringToIndex(*def, {"szarvas"}, last, 1, true);
  std::vector<std::string> inside;
  for (std::int16_t r = relation.FindFirstIndexInfo(0, info); r == 0; r = relation.FindNextIndexInfo(0, info))
    if (relation.TestFilterRange(*def, info, &bound, &last)) inside.push_back(relation.IndString(*def, info));
  EXPECT_EQ(inside, (std::vector<std::string>{"szarvas,2001", "szarvas,1990"}));
  relation.StringToIndex(*def, {"őz", "1999"}, info, 2);
  EXPECT_EQ(relation.FindSortKeyDiff(*def, item.data(), found.data()), 0);
  EXPECT_EQ(relation.FindSortKeyDiff(*def, found.data(), found.data()), 2);
}

TEST(RelationRecordId, RecordsAreFoundByRecordIdWithoutAnIndex) {
  TVdbServices services(1);
  TVdbColumnDefs columns;
  columns.Add(TVdbColumnDef::CreateColumnDef("Id", TVdbDataType::GetDataType(kVdbRecordIdCode, false, 6), 0));
  TMemoryRelation relation(&services, std::move(columns));
  ASSERT_EQ(relation.Open(false), 0);
  for (std::int32_t id : {10, 20, 30}) {
    auto record = relation.NewRecord();
    relation.SetRecordId(record.data(), id);
    relation.Add(record);
  }
  EXPECT_EQ(relation.FindRecordId(20), 2);
  EXPECT_EQ(relation.FindRecordId(25), 0);
  TMemoryRelation none(&services, test::LexiconColumns());
  ASSERT_EQ(none.Open(false), 0);
  EXPECT_EQ(none.FindRecordId(1), -64);
}

// =============================================================================================
// The relation table

TEST(RelationList, HandlesJoinSessionAndRelationIndex) {
  EXPECT_EQ(TRelationList::CalcRltnHdl(1, 1), 1);
  EXPECT_EQ(TRelationList::CalcRltnHdl(3, 254), 2 * 256 + 254);
  EXPECT_EQ(TRelationList::GetRltnIdx(2 * 256 + 254), 254);
  EXPECT_EQ(TRelationList::GetSessionHandle(2 * 256 + 254), 3);
  EXPECT_EQ(TRelationList::GetSessionHandle(1), 1);

  // Session 97 is used by no other test of this program.
  TRelationList& list = TRelationList::Instance();
  TVdbServices services(97);
  const std::int16_t first = TRelationList::CalcRltnHdl(97, 1);
  EXPECT_EQ(list.GetTemporaryHandle(97), first);
  {
    TMemoryRelation relation(&services, test::LexiconColumns());
    EXPECT_FALSE(list.SetRelation(TRelationList::CalcRltnHdl(97, 0), &relation));
    EXPECT_FALSE(list.SetRelation(TRelationList::CalcRltnHdl(97, 255), &relation));
    EXPECT_TRUE(list.SetRelation(first, &relation));
    EXPECT_EQ(list.GetRelation(first), &relation);
    EXPECT_EQ(list.GetSessionRelation(97, 1), &relation);
    EXPECT_EQ(list.GetSessionRelation(97, 2), nullptr);
    EXPECT_TRUE(list.IsValidRltnHdl(first));
    EXPECT_TRUE(list.IsValidRelation(&relation));
    EXPECT_EQ(list.GetTemporaryHandle(97), first + 1);
    list.RemoveRelation(first);
    EXPECT_FALSE(list.IsValidRelation(&relation));
    EXPECT_TRUE(list.SetRelation(first, &relation));
  }  // a destroyed relation leaves the table
  EXPECT_EQ(list.GetRelation(first), nullptr);
  EXPECT_EQ(list.GetTemporaryHandle(0), 0);
}

// =============================================================================================
// Services

TEST(Services, StartValuesAndTheLastError) {
  TVdbServices services(3);
  EXPECT_EQ(services.SessionHdl(), 3);
  EXPECT_GE(services.Station(), 1);
  EXPECT_EQ(services.IDName(), std::to_string(services.Station()));
  EXPECT_EQ(services.DefBlobBlockSize, 512);
  EXPECT_EQ(services.DefIndPageSize, 4096);
  EXPECT_EQ(services.DecimalChar(), ',');
  EXPECT_TRUE(services.AutoCreateIndexes());
  EXPECT_EQ(services.IsolationLevel(), tilNone);
  EXPECT_FALSE(services.IsOpen());
  EXPECT_EQ(services.PrivateDir().back(), '/');
  services.SetPrivateDir("/var/tmp");
  EXPECT_EQ(services.PrivateDir(), "/var/tmp/");
  EXPECT_EQ(services.CalcRltnHdl(5), 2 * 256 + 5);
  EXPECT_EQ(services.FindRltnIdx("Data"), 0);
  services.SetOnFindRltnIdx([](const std::string& Name) -> std::int16_t { return Name == "Data" ? 7 : 0; });
  EXPECT_EQ(services.FindRltnIdx("Data"), 7);
  EXPECT_EQ(services.SetLastError(94, kxFormatArgs{}), -94);
  EXPECT_EQ(services.LastErrorMsg(), "Cannot open more than 255 tables per session");
}

std::string ReadAll(const std::filesystem::path& Path) {
  std::ifstream in(Path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ServicesLogTest : public ::testing::Test {
 protected:
  ServicesLogTest()
      : Dir(std::filesystem::temp_directory_path() /
            ("vdb_rel_log_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    Services.SetStation(4711);
    Services.SetPrivateDir(Dir.string());
  }
  ~ServicesLogTest() override {
    Services.SetLogLevel(0);
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
  }
  std::filesystem::path Dir;
  TVdbServices Services{1};
};

TEST_F(ServicesLogTest, ErrorsAreLoggedAtLevelTwoExceptRecordNotFound) {
  EXPECT_EQ(Services.LogFileName(1), Dir.string() + "/VdbLog4711_01.txt");
  EXPECT_EQ(Services.SetLogLevel(7), 0);
  EXPECT_EQ(Services.LogLevel(), 4);
  Services.SetLogLevel(2);  // the log stays open, only the level changes
  Services.SetLastError(94, kxFormatArgs{});
  Services.SetLastError(19, kxFormatArgs{});
  Services.Log(3, "Tables", "too detailed");
  Services.Log(2, "Tables", "shown");
  Services.SetLogLevel(0);
  const std::string log = ReadAll(Dir / "VdbLog4711_01.txt");
  EXPECT_NE(log.find("Services             VeskorDB log file opened"), std::string::npos) << log;
  EXPECT_NE(log.find(" 2 Error 94             Cannot open more than 255 tables per session"),
            std::string::npos) << log;
  EXPECT_EQ(log.find("Record not found"), std::string::npos);
  EXPECT_EQ(log.find("too detailed"), std::string::npos);
  EXPECT_NE(log.find("shown"), std::string::npos);
  EXPECT_NE(log.find("VeskorDB log file closed"), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4);
}

TEST_F(ServicesLogTest, TheFiveMostRecentLogsSurvive) {
  for (int no = 1; no <= 5; ++no) std::ofstream(Services.LogFileName(no)) << "old " << no;
  ASSERT_EQ(Services.SetLogLevel(1), 0);
  EXPECT_EQ(ReadAll(Services.LogFileName(5)), "old 4");
  EXPECT_EQ(ReadAll(Services.LogFileName(2)), "old 1");
  EXPECT_NE(ReadAll(Services.LogFileName(1)).find("VeskorDB log file opened"), std::string::npos);
}

TEST_F(ServicesLogTest, ALogThatCannotBeCreatedIsError3) {
  std::ofstream(Dir / "blocker") << "a file where the directory should be";
  Services.SetPrivateDir((Dir / "blocker").string());
  EXPECT_EQ(Services.SetLogLevel(2), -3);
  EXPECT_EQ(Services.LogLevel(), 0);
  EXPECT_EQ(Services.LastErrorCode(), 3);
}

TEST(Services, FileSystemsFromTheRegistryAreGivenBack) {
  treetest::TContainerEnv env;
  auto& manager = TVdbPageManager::Instance();
  const std::string name = "rel-services-test-" + std::to_string(::getpid());
  auto fileSystem = std::make_unique<TkxOSFileSystem>(std::filesystem::temp_directory_path().string());
  TkxFileSystem* raw = fileSystem.get();
  ASSERT_EQ(manager.AddFileSystem(name, std::move(fileSystem)), 1);
  {
    TVdbServices services(1);
    services.SetFileSystems(nullptr, manager.GetFileSystem(name), nullptr);
    EXPECT_TRUE(services.IsOpen());
    EXPECT_EQ(services.DataFileSystem(), raw);
  }  // the services give their reference back
  EXPECT_EQ(manager.GetFileSystem(name), raw);
  manager.ReleaseFileSystem(raw);
  manager.ReleaseFileSystem(raw);  // the registration's own reference: closes and frees it
}

}  // namespace
}  // namespace vdb
