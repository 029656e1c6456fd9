// Heap data files inside a real container: the lexicon's Data.vdbt created and read back byte for
// byte, records by number, persistence of counts and ids, definitions that grow inside their
// padding, damaged headers, failed creation and the cipher rule.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <random>
#include <stdexcept>

#include "base/VdbErrors.h"
#include "storage/VdbPageManTestSupport.h"
#include "storage/kxMemory.h"
#include "table/VdbHeapDataFile.h"
#include "VdbDataFileTestSupport.h"

namespace vdb::test {
namespace {

class HeapDataFileTest : public TDataFileFixture<> {
 protected:
  void SetUp() override {
    TDataFileFixture::SetUp();
    Manager.RegisterClient(1, 40960);
  }

  std::unique_ptr<TVdbHeapDataFile> NewHeap(const std::string& Name = kDataFile) {
    return std::make_unique<TVdbHeapDataFile>(&Services, Storage(Name));
  }

  // Creates Data.vdbt with the lexicon's definition, index "CIMSZO" and Count records.
  void CreateLexicon(std::int32_t Count, const TVdbCryptor& Cryptor = {}) {
    auto File = NewHeap();
    File->IndexNames() = {"CIMSZO"};
    ASSERT_EQ(File->NewFile(6, Cryptor, LexiconDefinition()), 0) << Services.LastErrorMsg();
    for (std::int32_t I = 1; I <= Count; ++I) {
      ASSERT_EQ(File->InsertRecord(LexiconRecord("szo" + std::to_string(I), I).data()), I);
    }
    ASSERT_EQ(File->Flush(), 0);
    ASSERT_EQ(File->Close(), 0);
  }

  // Opens Data.vdbt with the implementation its magic names.
  std::unique_ptr<TVdbDataFile> OpenData(std::int32_t& Result, const TVdbCryptor& Cryptor = {},
                                         bool ReadOnly = false) {
    return VdbOpenDataFile(&Services, Storage(), ReadOnly, false, Cryptor, Def, Result);
  }

  std::unique_ptr<TVdbHeapDataFile> OpenHeap(const TVdbCryptor& Cryptor = {}) {
    auto File = NewHeap();
    EXPECT_EQ(File->Open(false, false, Cryptor, Def), 0) << Services.LastErrorMsg();
    return File;
  }

  std::vector<std::uint8_t> Read(TVdbDataFile& File, std::int32_t RecNo) {
    std::vector<std::uint8_t> Record(kLexiconRecordSize, 0xEE);
    EXPECT_EQ(File.ReadRecord(RecNo, Record.data()), 0) << Services.LastErrorMsg();
    return Record;
  }

  TVdbTableDefinition Def;
};

// Every data file operation answers through the engine's exception boundary; a memory error of
// the page layer means a damaged table.
class TGuardProbe : public TVdbHeapDataFile {
 public:
  using TVdbHeapDataFile::TVdbHeapDataFile;
  using TVdbDataFile::Guarded;
};

TEST_F(HeapDataFileTest, OperationsAnswerFailuresByTheEngineBoundary) {
  struct Case {
    const char* name;
    std::function<std::int32_t()> body;
    std::int32_t result;
    std::int16_t recorded;  // 0: nothing recorded
    std::string message;
  };
  const Case cases[] = {
      {"engine error", []() -> std::int32_t { throw EVdbEngine(kVdbErrFileWrite, "Data.vdbt"); },
       -3, 3, "Error while writing to file \"Data.vdbt\""},
      {"damaged page", []() -> std::int32_t { throw EkxMemoryError("short"); }, -134, 134,
       std::string(VdbErrorFormat(kVdbErrTableCorrupt))},
      {"out of memory", []() -> std::int32_t { throw std::bad_alloc(); }, -99, 99,
       "Not enough memory"},
      {"foreign", []() -> std::int32_t { throw std::runtime_error("boom"); }, -123, 123,
       "Exception: boom"},
      {"internal signal", []() -> std::int32_t { throw EVdbEngine(kVdbErrInternalSignal, ""); },
       -9999, 0, ""},
      {"success", [] { return 5; }, 5, 0, ""},
  };
  for (const Case& C : cases) {
    TVdbLastError Last;
    TGuardProbe File(&Last, Storage());
    EXPECT_EQ(File.Guarded(C.body), C.result) << C.name;
    EXPECT_EQ(Last.LastErrorCode(), C.recorded) << C.name;
    EXPECT_EQ(Last.LastErrorMsg(), C.message) << C.name;
  }
}

TEST_F(HeapDataFileTest, NewLexiconTableHasTheHeaderAndDefinitionFraming) {
  CreateLexicon(0);
  const auto Bytes = Contained();
  ASSERT_EQ(Bytes.size(), 16384u);
  EXPECT_EQ(std::vector<std::uint8_t>(Bytes.begin(), Bytes.begin() + 4),
            (std::vector<std::uint8_t>{0x64, 0xAA, 0x57, 0xFF}));
  EXPECT_EQ(TkxMemory::ReadInt16(Bytes.data(), 4), 6);
  EXPECT_EQ(Bytes[6], 1);                               // no encryption
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 7), 0);  // records
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 11), 0);
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 15), 0);  // next record id
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 19), 0);
  EXPECT_EQ(TkxMemory::ReadInt16(Bytes.data(), 23), 1);
  EXPECT_EQ(TkxMemory::ReadWPWideString(Bytes.data(), 25, 90), "CIMSZO");
  for (std::size_t I = 25 + 2 + 12; I < 4525; ++I) ASSERT_EQ(Bytes[I], 0) << I;
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 4525), kLexiconDefinitionLength);

  // The stored block is what the definitions read back, padded with zeros.
  TVdbTableDefinition Read;
  LoadDefinitionBlock(Bytes.data() + 4529, kLexiconDefinitionLength, 6, "", Read);
  ASSERT_EQ(Read.ColumnDefs.GetCount(), 2);
  EXPECT_EQ(Read.ColumnDefs.GetRecordSize(), kLexiconRecordSize);
  const auto Used = SaveDefinitionBlock(LexiconDefinition(), 6);
  for (std::size_t I = 4529 + Used.size(); I < 16384; ++I) ASSERT_EQ(Bytes[I], 0) << I;
}

TEST_F(HeapDataFileTest, LexiconSizedTableReopensWithItsRecordsAt16384) {
  CreateLexicon(2374);
  EXPECT_EQ(Contained().size(), 393216u);  // 48 tiles
  std::int32_t Result = 0;
  auto File = OpenData(Result);
  ASSERT_EQ(Result, 0) << Services.LastErrorMsg();
  auto* Heap = dynamic_cast<TVdbHeapDataFile*>(File.get());
  ASSERT_NE(Heap, nullptr);
  EXPECT_EQ(Heap->Version(), 6);
  EXPECT_EQ(Heap->EncryptionMethod(), TVdbEncryptionMethod::None);
  EXPECT_EQ(Heap->RecordCount(), 2374);
  EXPECT_EQ(Heap->RecordSize(), kLexiconRecordSize);
  EXPECT_EQ(Heap->RecordAreaStart(), kLexiconRecordStart);
  EXPECT_EQ(Heap->DefinitionLength(), kLexiconDefinitionLength);
  EXPECT_EQ(Heap->StorageSize(), kLexiconRecordStart + 2374 * kLexiconRecordSize);
  EXPECT_EQ(Heap->IndexNames(), std::vector<std::string>{"CIMSZO"});
  EXPECT_FALSE(Heap->CanDelete());
  EXPECT_EQ(Def.CollationName, "Hungarian_ci_as");
  ASSERT_EQ(Def.ColumnDefs.GetCount(), 2);
  EXPECT_EQ(Def.ColumnDefs.GetColumnDef(1).Position, 152);
  const auto* Headword = dynamic_cast<const TVdbTextColumnDef*>(&Def.ColumnDefs.GetColumnDef(0));
  ASSERT_NE(Headword, nullptr);
  EXPECT_EQ(Headword->GetMaxLength(), 150);
  EXPECT_EQ(Headword->Options, 40u);
  EXPECT_EQ(Def.ColumnDefs.GetColumnDef(1).GetColumnType(), 7);
  EXPECT_EQ(HeadwordOf(Read(*File, 1)), "szo1");
  EXPECT_EQ(HeadwordOf(Read(*File, 2374)), "szo2374");
  EXPECT_EQ(TkxMemory::ReadInt32(Read(*File, 2000).data(), 152), 2000);
  // Record n lies at 16384 + (n - 1) x 156 in the file.
  const auto Bytes = Contained();
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 16384 + 99 * 156 + 152), 100);
}

TEST_F(HeapDataFileTest, RecordsAreReadWrittenAndDeletedByNumberAndSurviveReopening) {
  CreateLexicon(10);
  {
    auto File = OpenHeap();
    EXPECT_EQ(File->WriteRecord(3, LexiconRecord("harmadik", 33).data()), 0);
    EXPECT_EQ(File->InsertRecord(LexiconRecord("tizenegy", 11).data()), 11);
    // The table deletes record 5 by moving the last record into its slot first.
    const auto Last = Read(*File, 11);
    EXPECT_EQ(File->WriteRecord(5, Last.data()), 0);
    EXPECT_EQ(File->DeleteRecord(5), 0);
    EXPECT_EQ(File->RecordCount(), 10);
    EXPECT_EQ(File->Flush(), 0);
  }
  auto File = OpenHeap();
  ASSERT_EQ(File->RecordCount(), 10);
  EXPECT_EQ(HeadwordOf(Read(*File, 3)), "harmadik");
  EXPECT_EQ(HeadwordOf(Read(*File, 5)), "tizenegy");
  EXPECT_EQ(HeadwordOf(Read(*File, 10)), "szo10");
  std::vector<std::uint8_t> Record(kLexiconRecordSize);
  EXPECT_EQ(File->ReadRecord(11, Record.data()), -19);
  EXPECT_EQ(Services.LastErrorCode(), 19);
  EXPECT_EQ(File->ReadRecord(0, Record.data()), -19);
  // The file is cut after the last record at the flush.
  File->Close();
  EXPECT_EQ(Contained().size(), 24576u);
}

TEST_F(HeapDataFileTest, DeletingRecordFiveOfTenKeepsRecordTenInSlotFive) {
  CreateLexicon(10);
  auto File = OpenHeap();
  EXPECT_EQ(File->WriteRecord(5, Read(*File, 10).data()), 0);
  EXPECT_EQ(File->DeleteRecord(5), 0);
  EXPECT_EQ(File->RecordCount(), 9);
  EXPECT_EQ(HeadwordOf(Read(*File, 5)), "szo10");
  EXPECT_EQ(HeadwordOf(Read(*File, 9)), "szo9");
  // A number that names no record deletes nothing.
  EXPECT_EQ(File->DeleteRecord(10), -19);
  EXPECT_EQ(File->DeleteRecord(0), -19);
  EXPECT_EQ(File->RecordCount(), 9);
}

TEST_F(HeapDataFileTest, RecordNumbersEndWithMinus19) {
  CreateLexicon(0);
  auto File = OpenHeap();
  EXPECT_EQ(File->GetFirstRecordNo(), -19);
  EXPECT_EQ(File->GetLastRecordNo(), -19);
  EXPECT_EQ(File->GetNextRecordNo(0), -19);
  for (int I = 1; I <= 3; ++I) File->InsertRecord(LexiconRecord("x", I).data());
  EXPECT_EQ(File->GetFirstRecordNo(), 1);
  EXPECT_EQ(File->GetLastRecordNo(), 3);
  EXPECT_EQ(File->GetNextRecordNo(2), 3);
  EXPECT_EQ(File->GetNextRecordNo(3), -19);
  EXPECT_EQ(File->GetPrevRecordNo(2), 1);
  EXPECT_EQ(File->GetPrevRecordNo(1), -19);
  EXPECT_EQ(File->GetPrevRecordNo(10), 3);  // from beyond the end: the last record
  EXPECT_TRUE(File->CanAppend());
}

TEST_F(HeapDataFileTest, WritingBeyondTheLastRecordExtendsTheFileButNotTheCount) {
  CreateLexicon(2);
  auto File = OpenHeap();
  EXPECT_EQ(File->WriteRecord(200, LexiconRecord("messze", 200).data()), 0);
  EXPECT_EQ(File->RecordCount(), 2);
  EXPECT_EQ(File->WriteRecord(0, LexiconRecord("x", 0).data()), -3);
  EXPECT_EQ(Services.LastErrorCode(), 3);
  EXPECT_EQ(File->InsertRecord(LexiconRecord("harom", 3).data()), 3);
  EXPECT_EQ(HeadwordOf(Read(*File, 3)), "harom");
}

TEST_F(HeapDataFileTest, ClearDropsAllRecords) {
  CreateLexicon(5);
  auto File = OpenHeap();
  EXPECT_EQ(File->Clear(), 0);
  EXPECT_EQ(File->RecordCount(), 0);
  EXPECT_EQ(File->Flush(), 0);
  File->Close();
  EXPECT_EQ(Contained().size(), 16384u);
  EXPECT_EQ(OpenHeap()->RecordCount(), 0);
}

TEST_F(HeapDataFileTest, RecordCountAndNextRecordIdPersist) {
  CreateLexicon(3);
  {
    auto File = OpenHeap();
    std::int32_t Id = -1;
    EXPECT_EQ(File->ObtainNewRecordId(Id), 0);
    EXPECT_EQ(Id, 0);
    EXPECT_EQ(File->ObtainNewRecordId(Id), 0);
    EXPECT_EQ(Id, 1);
    // Only the id taken last can be given back.
    EXPECT_EQ(File->RevokeRecordId(0), 0);
    EXPECT_EQ(File->ReadNextRecordId(Id), 0);
    EXPECT_EQ(Id, 2);
    EXPECT_EQ(File->RevokeRecordId(1), 0);
    EXPECT_EQ(File->ReadNextRecordId(Id), 0);
    EXPECT_EQ(Id, 1);
    EXPECT_EQ(File->InsertRecord(LexiconRecord("negy", 4).data()), 4);
    EXPECT_EQ(File->Flush(), 0);
  }
  const auto Bytes = Contained();
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 7), 4);
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 15), 1);
  auto File = OpenHeap();
  EXPECT_EQ(File->RecordCount(), 4);
  std::int32_t Id = -1;
  EXPECT_EQ(File->ReadNextRecordId(Id), 0);
  EXPECT_EQ(Id, 1);
  EXPECT_EQ(File->WriteNextRecordId(2147483647), 0);
  EXPECT_EQ(File->ObtainNewRecordId(Id), -171);  // no id after the largest one
}

TEST_F(HeapDataFileTest, ATakenRecordIdIsInTheFileAtOnceAndOutlivesUndo) {
  CreateLexicon(1);
  auto File = OpenHeap();
  EXPECT_EQ(File->InsertRecord(LexiconRecord("ketto", 2).data()), 2);
  std::int32_t Id = -1;
  EXPECT_EQ(File->ObtainNewRecordId(Id), 0);
  EXPECT_EQ(Id, 0);
  EXPECT_EQ(TkxMemory::ReadInt32(Contained().data(), 15), 1);  // not flushed, yet in the file
  EXPECT_EQ(TkxMemory::ReadInt32(Contained().data(), 7), 1);   // the record count waits
  EXPECT_EQ(File->Undo(), 0);
  EXPECT_EQ(File->RecordCount(), 1);
  EXPECT_EQ(File->ObtainNewRecordId(Id), 0);
  EXPECT_EQ(Id, 1);
  EXPECT_EQ(File->InsertRecord(LexiconRecord("ketto", 2).data()), 2);
  EXPECT_EQ(File->Flush(), 0);
  const auto Bytes = Contained();
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 15), 2);  // the flushed header page agrees
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 7), 2);
}

TEST_F(HeapDataFileTest, NextRecordIdStartsAtTheRecordIdColumnsStartValue) {
  TVdbTableDefinition WithId;
  auto Column = TVdbColumnDef::CreateColumnDef("NR", TVdbDataType::GetDataType(9, false, 6), 0);
  auto* RecordId = dynamic_cast<TVdbRecordIdColumnDef*>(Column.get());
  ASSERT_NE(RecordId, nullptr);
  RecordId->StartValue = 1000;
  RecordId->IndexSpec = "NR";
  WithId.ColumnDefs.Add(std::move(Column));
  auto File = NewHeap();
  ASSERT_EQ(File->NewFile(6, {}, WithId), 0) << Services.LastErrorMsg();
  std::int32_t Id = 0;
  EXPECT_EQ(File->ObtainNewRecordId(Id), 0);
  EXPECT_EQ(Id, 1000);
  EXPECT_EQ(File->RecordIdPosition(), 0);
}

TEST_F(HeapDataFileTest, DefinitionGrowingInsideItsPaddingDoesNotMoveRecords) {
  CreateLexicon(3);
  {
    auto File = OpenHeap();
    TVdbTableDefinition Grown = LexiconDefinition();
    Grown.CheckDefs.Add(std::make_unique<TVdbCheckDef>(
        "HOSSZ", TVdbExpressionSource(std::string(1500, 'x') + " IS NOT NULL", false)));
    EXPECT_EQ(File->UpdateDefinition(Grown), 0) << Services.LastErrorMsg();
    EXPECT_EQ(File->InsertRecord(LexiconRecord("negy", 4).data()), 4);
    EXPECT_EQ(File->Flush(), 0);
  }
  const auto Bytes = Contained();
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 4525), kLexiconDefinitionLength);
  EXPECT_EQ(Bytes[16384 + 2], 's');
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 16384 + 3 * 156 + 152), 4);
  auto File = OpenHeap();
  EXPECT_EQ(Def.CheckDefs.Count(), 1);
  EXPECT_EQ(File->RecordAreaStart(), kLexiconRecordStart);
  EXPECT_EQ(HeadwordOf(Read(*File, 4)), "negy");

  // One that does not fit any more is refused and the file keeps the old one.
  TVdbTableDefinition TooLarge = LexiconDefinition();
  TooLarge.CheckDefs.Add(std::make_unique<TVdbCheckDef>(
      "HOSSZ", TVdbExpressionSource(std::string(12000, 'x'), false)));
  EXPECT_EQ(File->UpdateDefinition(TooLarge), -187);
  TVdbTableDefinition OtherRecords = LexiconDefinition();
  OtherRecords.ColumnDefs.Add(
      TVdbColumnDef::CreateColumnDef("N", TVdbDataType::GetDataType(16, true, 6), kVdbColNullable));
  EXPECT_EQ(File->UpdateDefinition(OtherRecords), -187);
  File->Flush();
  File.reset();
  OpenHeap();
  EXPECT_EQ(Def.CheckDefs.Count(), 1);
}

TEST_F(HeapDataFileTest, IndexNamesAreWrittenReadAndDeleted) {
  CreateLexicon(1);
  {
    auto File = OpenHeap();
    File->IndexNames() = {"CIMSZO", "Leírás_hossza"};
    EXPECT_EQ(File->WriteIndexNames(), 0);
    EXPECT_EQ(File->Flush(), 0);
  }
  auto File = OpenHeap();
  EXPECT_EQ(File->IndexNames(), (std::vector<std::string>{"CIMSZO", "Leírás_hossza"}));
  EXPECT_EQ(File->DeleteIndexName(1), 0);
  EXPECT_EQ(File->IndexNames(), std::vector<std::string>{"Leírás_hossza"});
  EXPECT_EQ(File->DeleteIndexName(2), -36);
  EXPECT_EQ(File->ReadIndexNames(), 0);
  EXPECT_EQ(File->IndexNames().size(), 2u);

  File->IndexNames() = {std::string(45, 'N')};
  EXPECT_EQ(File->WriteIndexNames(), -176);
  File->IndexNames() = std::vector<std::string>(51, "IDX");
  EXPECT_EQ(File->WriteIndexNames(), -67);
  File->IndexNames() = {std::string(44, 'N')};
  EXPECT_EQ(File->WriteIndexNames(), 0);
}

TEST_F(HeapDataFileTest, IndexNameSlotsBeyondTheCountAreIgnored) {
  CreateLexicon(1);
  Patch(25 + 90, std::vector<std::uint8_t>(900, 0xFF));  // slots 2 to 11 full of rubbish
  auto File = OpenHeap();
  EXPECT_EQ(File->IndexNames(), std::vector<std::string>{"CIMSZO"});
}

// --- Damaged files -------------------------------------------------------------------------------

struct TDamage {
  const char* Name;
  std::int64_t Pos;  // -1: cut the file to Size instead
  std::vector<std::uint8_t> Bytes;
  std::int64_t Size;
  std::int32_t Expected;
};

std::vector<std::uint8_t> Int16Bytes(std::int16_t Value) {
  std::vector<std::uint8_t> Bytes(2);
  TkxMemory::WriteInt16(Bytes.data(), 0, Value);
  return Bytes;
}

std::vector<std::uint8_t> Int32Bytes(std::int32_t Value) {
  std::vector<std::uint8_t> Bytes(4);
  TkxMemory::WriteInt32(Bytes.data(), 0, Value);
  return Bytes;
}

TEST_F(HeapDataFileTest, DamagedHeadersGiveClearErrorsAndLeaveTheFileAlone) {
  const std::vector<TDamage> Cases = {
      {"wrong magic", 0, {0x64, 0xAA, 0x57, 0xFE}, 0, -124},
      {"level above 6", 4, Int16Bytes(7), 0, -134},
      {"level 0", 4, Int16Bytes(0), 0, -134},
      {"negative level", 4, Int16Bytes(-1), 0, -134},
      {"level 4 over a level-6 header", 4, Int16Bytes(4), 0, -134},
      {"negative record count", 7, Int32Bytes(-5), 0, -134},
      {"record count beyond the file", 7, Int32Bytes(1000000), 0, -134},
      {"index-name count above 50", 23, Int16Bytes(51), 0, -134},
      {"negative index-name count", 23, Int16Bytes(-1), 0, -134},
      {"index name longer than a slot", 25, Int16Bytes(45), 0, -134},
      {"definition length beyond the file", 4525, Int32Bytes(400000), 0, -134},
      {"negative definition length", 4525, Int32Bytes(-1), 0, -134},
      {"definition length too short", 4525, Int32Bytes(10), 0, -134},
      {"broken check marker", 4529 + 2 + 2 * 24, {'x', 0}, 0, -38},
      {"Blowfish without a cipher", 6, {5}, 0, -187},
      {"Rijndael without a cipher", 6, {0x86}, 0, -187},
      {"empty file", -1, {}, 0, -124},
      {"cut inside the magic", -1, {}, 3, -124},
      {"cut inside the header", -1, {}, 100, -134},
      {"cut inside the definition", -1, {}, 8192, -134},
      {"cut before the last records", -1, {}, 16384, -134},
  };
  for (const TDamage& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    Container->DeleteFile(kDataFile);
    CreateLexicon(10);
    if (Case.Pos >= 0) {
      Patch(Case.Pos, Case.Bytes);
    } else {
      Resize(Case.Size);
    }
    const auto Before = Contained();
    std::int32_t Result = 0;
    auto File = OpenData(Result);
    EXPECT_EQ(Result, Case.Expected) << Services.LastErrorMsg();
    EXPECT_EQ(File, nullptr);
    EXPECT_EQ(Services.LastErrorCode(), -Case.Expected);
    auto Heap = NewHeap();
    EXPECT_EQ(Heap->Open(false, false, {}, Def), Case.Expected);
    EXPECT_FALSE(Heap->IsOpen());
    Heap.reset();
    EXPECT_EQ(Contained(), Before);
    EXPECT_EQ(Manager.OpenStorageCount(), 0u);
  }
}

TEST_F(HeapDataFileTest, CodesOutsideTheKnownMethodsReadAsNoEncryption) {
  CreateLexicon(2);
  Patch(6, {0x81});
  auto File = OpenHeap();
  EXPECT_EQ(File->EncryptionMethod(), TVdbEncryptionMethod::None);
  File.reset();
  Patch(6, {0x7F});
  File = OpenHeap();
  EXPECT_EQ(File->EncryptionMethod(), TVdbEncryptionMethod::None);
  EXPECT_EQ(HeadwordOf(Read(*File, 2)), "szo2");
}

TEST_F(HeapDataFileTest, RandomlyDamagedFilesNeverCrash) {
  CreateLexicon(20);
  const auto Good = Contained();
  std::mt19937 Random(20261210);
  for (int Round = 0; Round < 150; ++Round) {
    std::vector<std::uint8_t> Bytes = Good;
    const int Changes = 1 + static_cast<int>(Random() % 8);
    for (int I = 0; I < Changes; ++I) {
      // Mostly the header fields and the start of the definition, where the structure is.
      const std::size_t Pos = Random() % 2 ? Random() % 40 : 4525 + Random() % 200;
      Bytes[Pos] = static_cast<std::uint8_t>(Random());
    }
    Container->DeleteFile(kDataFile);
    auto Raw = Container->CreateFile(kDataFile);
    Container->FileWrite(Raw, Bytes.data(), static_cast<std::int32_t>(Bytes.size()), 0);
    Container->CloseFile(Raw);
    std::int32_t Result = 0;
    auto File = OpenData(Result);
    if (Result == 0) {
      ASSERT_NE(File, nullptr);
      std::vector<std::uint8_t> Record(static_cast<std::size_t>(File->RecordSize()));
      for (std::int32_t N = File->GetFirstRecordNo(); N > 0; N = File->GetNextRecordNo(N)) {
        ASSERT_EQ(File->ReadRecord(N, Record.data()), 0);
      }
    } else {
      EXPECT_LT(Result, 0);
      EXPECT_EQ(File, nullptr);
    }
  }
}

// --- Creating ------------------------------------------------------------------------------------

TEST_F(HeapDataFileTest, NewFileRefusesWhatItCannotCreate) {
  CreateLexicon(1);
  const auto Before = Contained();
  auto File = NewHeap();
  EXPECT_EQ(File->NewFile(6, {}, LexiconDefinition()), -72);
  EXPECT_EQ(Services.LastErrorMsg(), "File or directory \"\\Data.vdbt\" already exists");
  EXPECT_EQ(Contained(), Before);

  struct TCase {
    const char* Name;
    std::int16_t Level;
    TVdbEncryptionMethod Method;
    std::string Password;
    std::int32_t Expected;
  };
  const std::vector<TCase> Cases = {
      {"level above 6", 7, TVdbEncryptionMethod::None, "", -134},
      {"classic cipher at level 6", 6, TVdbEncryptionMethod::Classic, "pw", -117},
      {"fast cipher at level 5", 5, TVdbEncryptionMethod::Fast, "pw", -117},
      {"strong cipher at level 3", 3, TVdbEncryptionMethod::Rijndael, "pw", -117},
      {"Blowfish without a cipher", 6, TVdbEncryptionMethod::Blowfish, "pw", -187},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    auto Other = NewHeap("\\Other.vdbt");
    EXPECT_EQ(Other->NewFile(Case.Level, {Case.Method, Case.Password, {}}, LexiconDefinition()),
              Case.Expected);
    EXPECT_FALSE(Other->IsOpen());
    EXPECT_FALSE(Container->FileExists("\\Other.vdbt"));
  }
  auto Other = NewHeap("\\Other.vdbt");
  EXPECT_EQ(Other->NewFile(6, {TVdbEncryptionMethod::Classic, "pw", {}}, LexiconDefinition()),
            -117);
  EXPECT_EQ(Services.LastErrorMsg(),
            "\"\\Other.vdbt\" uses a feature that is not supported by tables of this level: "
            "Classic encryption");
  EXPECT_EQ(Other->NewFile(6, {TVdbEncryptionMethod::Rijndael, "bad", AddCipherFactory()},
                           LexiconDefinition()),
            -186);
  EXPECT_FALSE(Container->FileExists("\\Other.vdbt"));
}

TEST_F(HeapDataFileTest, ADefinitionThatCannotBeStoredCreatesNoFile) {
  TVdbTableDefinition NoIdIndex;
  NoIdIndex.ColumnDefs.Add(
      TVdbColumnDef::CreateColumnDef("NR", TVdbDataType::GetDataType(9, false, 6), 0));
  auto File = NewHeap();
  EXPECT_EQ(File->NewFile(6, {}, NoIdIndex), -145);
  EXPECT_FALSE(File->IsOpen());
  EXPECT_FALSE(Container->FileExists(kDataFile));
  EXPECT_EQ(File->NewFile(6, {}, TVdbTableDefinition()), -59);  // no columns
  EXPECT_FALSE(Container->FileExists(kDataFile));
}

TEST_F(HeapDataFileTest, ReadOnlyFilesRefuseWrites) {
  CreateLexicon(2);
  std::int32_t Result = 0;
  auto File = OpenData(Result, {}, true);
  ASSERT_EQ(Result, 0);
  EXPECT_EQ(File->InsertRecord(LexiconRecord("x", 1).data()), -115);
  EXPECT_EQ(File->WriteRecord(1, LexiconRecord("x", 1).data()), -115);
  EXPECT_EQ(File->DeleteRecord(1), -115);
  std::int32_t Id = 0;
  EXPECT_EQ(File->ObtainNewRecordId(Id), -115);
  EXPECT_EQ(File->RecordCount(), 2);
  EXPECT_EQ(HeadwordOf(Read(*File, 1)), "szo1");
}

TEST_F(HeapDataFileTest, UndoForgetsUnflushedRecordsAndInvalidateSeesOtherWriters) {
  CreateLexicon(2);
  auto File = OpenHeap();
  EXPECT_EQ(File->InsertRecord(LexiconRecord("harom", 3).data()), 3);
  EXPECT_EQ(File->Undo(), 0);
  EXPECT_EQ(File->RecordCount(), 2);
  std::vector<std::uint8_t> Record(kLexiconRecordSize);
  EXPECT_EQ(File->ReadRecord(3, Record.data()), -19);

  // A second client of the same file appends; the first sees it after invalidating.
  auto Other = std::make_unique<TVdbHeapDataFile>(&Services, Storage(kDataFile, 2));
  TVdbTableDefinition OtherDef;
  ASSERT_EQ(Other->Open(false, false, {}, OtherDef), 0);
  EXPECT_EQ(Other->InsertRecord(LexiconRecord("masik", 3).data()), 3);
  EXPECT_EQ(Other->Flush(), 0);
  EXPECT_EQ(File->Invalidate(), 0);
  EXPECT_EQ(File->RecordCount(), 3);
  EXPECT_EQ(HeadwordOf(Read(*File, 3)), "masik");
}

TEST_F(HeapDataFileTest, ClosedFilesAnswerErrors) {
  auto File = NewHeap();
  std::vector<std::uint8_t> Record(kLexiconRecordSize);
  EXPECT_EQ(File->ReadRecord(1, Record.data()), -2);
  EXPECT_EQ(File->InsertRecord(Record.data()), -3);
  EXPECT_EQ(File->Flush(), -2);
  std::int32_t Result = 0;
  EXPECT_EQ(OpenData(Result), nullptr);
  EXPECT_EQ(Result, -37);  // there is no such file
}

TEST_F(HeapDataFileTest, AnExclusiveOpenOfAFileInUseIsRefused) {
  CreateLexicon(1);
  auto First = OpenHeap();
  std::int32_t Result = 0;
  auto Second = VdbOpenDataFile(&Services, Storage(kDataFile, 2), false, true, {}, Def, Result);
  EXPECT_EQ(Second, nullptr);
  EXPECT_EQ(Result, -1);
  EXPECT_NE(Services.LastErrorMsg().find("Cannot open file \"\\Data.vdbt\": "), std::string::npos)
      << Services.LastErrorMsg();
  EXPECT_NE(Services.LastErrorMsg().find("May not be opened twice"), std::string::npos);
  EXPECT_EQ(HeadwordOf(Read(*First, 1)), "szo1");
}

// --- Ciphers -------------------------------------------------------------------------------------

TEST_F(HeapDataFileTest, ACipherCoversDefinitionAndRecordsButNotTheHeader) {
  const TVdbCryptor Cryptor{TVdbEncryptionMethod::Blowfish, "titok", AddCipherFactory()};
  CreateLexicon(3, Cryptor);
  const auto Bytes = Contained();
  EXPECT_EQ(Bytes[6], 5);
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 7), 3);
  EXPECT_EQ(TkxMemory::ReadWPWideString(Bytes.data(), 25, 90), "CIMSZO");
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 4525), kLexiconDefinitionLength);
  // Key 6 (password length + 1) on every byte of the block and of the records.
  EXPECT_EQ(Bytes[4529 + 11000], 6);  // padding
  EXPECT_EQ(Bytes[16384], 1 + 6);
  EXPECT_EQ(Bytes[16384 + 2], 's' + 6);

  auto File = OpenHeap(Cryptor);
  EXPECT_EQ(File->EncryptionMethod(), TVdbEncryptionMethod::Blowfish);
  EXPECT_EQ(HeadwordOf(Read(*File, 3)), "szo3");
  // The caller's buffer is not changed by the cipher.
  const auto Record = LexiconRecord("negy", 4);
  auto Copy = Record;
  EXPECT_EQ(File->InsertRecord(Copy.data()), 4);
  EXPECT_EQ(Copy, Record);
  File->Close();

  std::int32_t Result = 0;
  EXPECT_EQ(OpenData(Result), nullptr);
  EXPECT_EQ(Result, -187);
  EXPECT_EQ(Services.LastErrorMsg(), "This feature is not supported: Blowfish encryption");
  EXPECT_EQ(OpenData(Result, {TVdbEncryptionMethod::None, "bad", AddCipherFactory()}), nullptr);
  EXPECT_EQ(Result, -38);
  // Another key turns the block into garbage: the check marker refuses it.
  EXPECT_EQ(OpenData(Result, {TVdbEncryptionMethod::None, "masik2", AddCipherFactory()}), nullptr);
  EXPECT_EQ(Result, -38);
}

TEST_F(HeapDataFileTest, PasswordProtectionWithoutACipherChecksThePassword) {
  CreateLexicon(2, {TVdbEncryptionMethod::Password, "titok", {}});
  const auto Bytes = Contained();
  EXPECT_EQ(Bytes[6], 2);
  EXPECT_EQ(Bytes[16384 + 2], 's');  // records stay plain
  auto File = OpenHeap({TVdbEncryptionMethod::None, "titok", {}});
  EXPECT_EQ(File->EncryptionMethod(), TVdbEncryptionMethod::Password);
  EXPECT_EQ(HeadwordOf(Read(*File, 2)), "szo2");
  File.reset();
  for (const std::string Password : {"", "Titok", "masik"}) {
    SCOPED_TRACE(Password);
    std::int32_t Result = 0;
    EXPECT_EQ(OpenData(Result, {TVdbEncryptionMethod::None, Password, {}}), nullptr);
    EXPECT_EQ(Result, -38);
  }
}

TEST_F(HeapDataFileTest, LevelFiveTablesAreCreatedAndOpened) {
  auto File = NewHeap();
  ASSERT_EQ(File->NewFile(5, {}, LexiconDefinition()), 0) << Services.LastErrorMsg();
  EXPECT_EQ(File->InsertRecord(LexiconRecord("ot", 5).data()), 1);
  EXPECT_EQ(File->Flush(), 0);
  File.reset();
  EXPECT_EQ(TkxMemory::ReadInt16(Contained().data(), 4), 5);
  auto Again = OpenHeap();
  EXPECT_EQ(Again->Version(), 5);
  EXPECT_EQ(HeadwordOf(Read(*Again, 1)), "ot");
}

// Levels 1 to 4: the older header layouts, written by this engine and read back.
TEST_F(HeapDataFileTest, OlderLevelTablesAreCreatedAndOpened) {
  struct TCase {
    std::int16_t Level;
    std::int64_t RecordCountAt;
    std::int64_t IndexNamesAt;
    std::int64_t EncryptionAt;
    std::vector<std::string> IndexNames;  // as many as the level's name area holds
  };
  const std::vector<TCase> Cases = {
      {1, 0, 8, 6, {"CIMSZO"}},
      {2, 6, 14, 10, std::vector<std::string>(15, "N")},
      {3, 10, 18, 6, std::vector<std::string>(15, "Leiras_hossza")},
      {4, 10, 22, 6, std::vector<std::string>(50, "Nev")},
  };
  // The headword cannot be nullable up to level 3: a string of 151 characters keeps the
  // lexicon's record size.
  TVdbTableDefinition Old;
  Old.CollationName = "Hungarian_ci_as";
  Old.ColumnDefs.Add(TVdbColumnDef::CreateStringColumnDef(
      "CIMSZO", TVdbDataType::GetStringType(1, false, 6, 151, "Hungarian_ci_as"), "", 0));
  Old.ColumnDefs.Add(TVdbColumnDef::CreateColumnDef("LEIRAS", TVdbDataType::GetDataType(7, true, 6),
                                                    kVdbColNullable));
  ASSERT_EQ(Old.ColumnDefs.GetRecordSize(), kLexiconRecordSize);
  for (const TCase& Case : Cases) {
    SCOPED_TRACE("level " + std::to_string(Case.Level));
    const std::string Name = "\\Old" + std::to_string(Case.Level) + ".dat";
    if (Case.Level <= 3) {
      // A definition the level cannot hold makes no table.
      EXPECT_EQ(NewHeap(Name)->NewFile(Case.Level, {}, LexiconDefinition()), -117);
      EXPECT_FALSE(Container->FileExists(Name));
    }
    {
      auto File = NewHeap(Name);
      File->IndexNames() = Case.IndexNames;
      ASSERT_EQ(File->NewFile(Case.Level, {TVdbEncryptionMethod::Password, "pw", {}}, Old), 0)
          << Services.LastErrorMsg();
      for (std::int32_t I = 1; I <= 3; ++I) {
        ASSERT_EQ(File->InsertRecord(LexiconRecord("szo" + std::to_string(I), I).data()), I);
      }
      ASSERT_EQ(File->WriteNextRecordId(42), 0);
      ASSERT_EQ(File->Flush(), 0);
    }
    const auto Bytes = Contained(Name);
    EXPECT_EQ(TkxMemory::ReadInt16(Bytes.data(), 4), Case.Level);
    EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), Case.RecordCountAt), 3);
    EXPECT_EQ(Bytes[static_cast<std::size_t>(Case.EncryptionAt)], 2);
    EXPECT_EQ(TkxMemory::ReadInt16(Bytes.data(), Case.IndexNamesAt),
              static_cast<std::int16_t>(Case.IndexNames.size()));
    // An index name is a length byte and 8-bit characters.
    EXPECT_EQ(Bytes[static_cast<std::size_t>(Case.IndexNamesAt + 2)], Case.IndexNames[0].size());
    if (Case.Level > 1) {
      EXPECT_EQ(TkxMemory::ReadUInt32(Bytes.data(), 0), kVdbHeapDataFileMagic);
    }

    auto File = NewHeap(Name);
    TVdbTableDefinition Read;
    ASSERT_EQ(File->Open(false, false, {TVdbEncryptionMethod::Password, "pw", {}}, Read), 0)
        << Services.LastErrorMsg();
    EXPECT_EQ(File->Version(), Case.Level);
    EXPECT_EQ(File->RecordCount(), 3);
    EXPECT_EQ(File->IndexNames(), Case.IndexNames);
    EXPECT_EQ(HeadwordOf(this->Read(*File, 2)), "szo2");
    std::int32_t Next = 0;
    EXPECT_EQ(File->ReadNextRecordId(Next), 0);
    EXPECT_EQ(Next, 42);
    EXPECT_EQ(Read.ColumnDefs.GetCount(), 2);
    // A name more than the level's area holds is refused and the names stay.
    File->IndexNames().push_back("EGY_TOBB");
    EXPECT_EQ(File->WriteIndexNames(), -67);
    EXPECT_EQ(File->ReadIndexNames(), 0);
    EXPECT_EQ(File->IndexNames(), Case.IndexNames);
    EXPECT_EQ(File->InsertRecord(LexiconRecord("negy", 4).data()), 4);
    EXPECT_EQ(HeadwordOf(this->Read(*File, 4)), "negy");
  }
}

// --- Failing writes ------------------------------------------------------------------------------

class FailingContainerTest : public TDataFileFixture<TProbe<TkxCompoundFileIntf>> {};

TEST_F(FailingContainerTest, ACreationWhoseDefinitionCannotBeWrittenLeavesNoFile) {
  auto File = std::make_unique<TVdbHeapDataFile>(&Services, Storage());
  Container->WritesBeforeFailure = 0;
  EXPECT_EQ(File->NewFile(6, {}, LexiconDefinition()), -3);
  EXPECT_EQ(Services.LastErrorMsg(), "Error while writing to file \"\\Data.vdbt\"");
  Container->WritesBeforeFailure = -1;
  EXPECT_FALSE(File->IsOpen());
  EXPECT_FALSE(Container->FileExists(kDataFile));
  EXPECT_EQ(Manager.OpenStorageCount(), 0u);
  // Nothing of the failed attempt is left in the cache: a second attempt succeeds.
  EXPECT_EQ(File->NewFile(6, {}, LexiconDefinition()), 0);
  EXPECT_EQ(File->InsertRecord(LexiconRecord("egy", 1).data()), 1);
  EXPECT_EQ(File->Flush(), 0);
  EXPECT_EQ(Contained().size(), 24576u);
}

TEST_F(FailingContainerTest, AFailedFlushIsWriteErrorThree) {
  auto File = std::make_unique<TVdbHeapDataFile>(&Services, Storage());
  ASSERT_EQ(File->NewFile(6, {}, LexiconDefinition()), 0);
  EXPECT_EQ(File->InsertRecord(LexiconRecord("egy", 1).data()), 1);
  Container->FailNextWrites = 1000;
  EXPECT_EQ(File->Flush(), -3);
  EXPECT_EQ(Services.LastErrorCode(), 3);
  Container->FailNextWrites = 0;
  // The changes stayed in the cache and reach the file with the next flush.
  EXPECT_EQ(File->Flush(), 0);
  File.reset();
  const auto Bytes = Contained();
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 7), 1);
  EXPECT_EQ(Bytes[16384 + 2], 'e');
}

}  // namespace
}  // namespace vdb::test
