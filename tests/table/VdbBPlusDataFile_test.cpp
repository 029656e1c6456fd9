// B+ data files inside a real container: records as tree items by record id, the header and its
// tree, reopening through the magic word, many records with splits and deletes, and the errors.
#include "table/VdbBPlusDataFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "base/VdbErrors.h"
#include "table/VdbBPlusTree.h"
#include "VdbDataFileTestSupport.h"

namespace vdb::test {
namespace {

// _XXX (record id), NAME VARCHAR(Width) nullable: 4 + Width + 2 bytes, one more from 256
// characters on (a two-byte length).
TVdbTableDefinition IdDefinition(std::int32_t Width = 40, const std::string& IdName = "_XXX") {
  TVdbTableDefinition Def;
  Def.CollationName = "Hungarian_ci_as";
  auto Id = TVdbColumnDef::CreateColumnDef(IdName, TVdbDataType::GetDataType(9, false, 6), 0);
  auto* RecordId = dynamic_cast<TVdbRecordIdColumnDef*>(Id.get());
  RecordId->IndexSpec = IdName;
  RecordId->StartValue = 1;
  Def.ColumnDefs.Add(std::move(Id));
  Def.ColumnDefs.Add(TVdbColumnDef::CreateStringColumnDef(
      "NAME", TVdbDataType::GetStringType(1, true, 6, Width, "Hungarian_ci_as"), "",
      kVdbColNullable));
  return Def;
}

class BPlusDataFileTest : public TDataFileFixture<> {
 protected:
  void SetUp() override {
    TDataFileFixture::SetUp();
    Manager.RegisterClient(1, 40960);
  }

  std::unique_ptr<TVdbBPlusDataFile> Create(const TVdbTableDefinition& Definition = IdDefinition(),
                                            const TVdbCryptor& Cryptor = {}) {
    auto File = std::make_unique<TVdbBPlusDataFile>(&Services, Storage());
    EXPECT_EQ(File->NewFile(6, Cryptor, Definition), 0) << Services.LastErrorMsg();
    RecordSize = Definition.ColumnDefs.GetRecordSize();
    return File;
  }

  std::unique_ptr<TVdbDataFile> Reopen() {
    std::int32_t Result = 0;
    auto File = VdbOpenDataFile(&Services, Storage(), false, false, {}, Def, Result);
    EXPECT_EQ(Result, 0) << Services.LastErrorMsg();
    return File;
  }

  std::vector<std::uint8_t> Record(std::int32_t Id, const std::string& Name) {
    std::vector<std::uint8_t> Bytes(static_cast<std::size_t>(RecordSize), 0);
    TkxMemory::WriteInt32(Bytes.data(), 0, Id);
    Bytes[4] = 1;
    Bytes[5] = static_cast<std::uint8_t>(Name.size());
    std::copy(Name.begin(), Name.end(), Bytes.begin() + 6);
    return Bytes;
  }

  std::string NameOf(TVdbDataFile& File, std::int32_t Id) {
    std::vector<std::uint8_t> Bytes(static_cast<std::size_t>(RecordSize));
    const std::int32_t Result = File.ReadRecord(Id, Bytes.data());
    if (Result < 0) return "error " + std::to_string(Result);
    EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 0), Id);
    return std::string(Bytes.begin() + 6, Bytes.begin() + 6 + Bytes[5]);
  }

  // Inserts a record under a fresh id from the file's counter.
  std::int32_t Append(TVdbDataFile& File, const std::string& Name) {
    std::int32_t Id = 0;
    EXPECT_EQ(File.ObtainNewRecordId(Id), 0);
    EXPECT_EQ(File.InsertRecord(Record(Id, Name).data()), Id) << Services.LastErrorMsg();
    return Id;
  }

  std::int32_t RecordSize = 0;
  TVdbTableDefinition Def;
};

TEST_F(BPlusDataFileTest, NewFileHasTheHeaderAndAnEmptyTree) {
  auto File = Create();
  File->IndexNames() = {"NAME"};
  EXPECT_EQ(File->WriteIndexNames(), 0);
  EXPECT_EQ(File->Flush(), 0);
  EXPECT_EQ(File->Close(), 0);
  const auto Bytes = Contained();
  ASSERT_EQ(Bytes.size(), 16384u);
  EXPECT_EQ(TkxMemory::ReadUInt32(Bytes.data(), 0), 20012002u);
  EXPECT_EQ(TkxMemory::ReadInt16(Bytes.data(), 4), 6);
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 6), 1);  // next record id: the start value
  EXPECT_EQ(Bytes[10], 1);
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 11), 1);           // tree pages: the header page
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 11 + 14), 16384);  // tree page size
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 11 + 18), 0);      // items
  EXPECT_EQ(TkxMemory::ReadInt16(Bytes.data(), 33), 1);
  EXPECT_EQ(TkxMemory::ReadWPWideString(Bytes.data(), 35, 90), "NAME");
  EXPECT_EQ(TkxMemory::ReadInt32(Bytes.data(), 4535), 16384 - 4539);

  auto Again = Reopen();
  ASSERT_NE(Again, nullptr);
  EXPECT_NE(dynamic_cast<TVdbBPlusDataFile*>(Again.get()), nullptr);
  EXPECT_TRUE(Again->CanDelete());
  EXPECT_EQ(Again->RecordCount(), 0);
  EXPECT_EQ(Again->GetFirstRecordNo(), -19);
  EXPECT_EQ(Again->GetLastRecordNo(), -19);
  EXPECT_EQ(Again->IndexNames(), std::vector<std::string>{"NAME"});
}

TEST_F(BPlusDataFileTest, RecordsAreFoundByRecordIdAndKeepTheirIdsOnDelete) {
  auto File = Create();
  for (int I = 1; I <= 10; ++I) EXPECT_EQ(Append(*File, "nev" + std::to_string(I)), I);
  EXPECT_EQ(File->RecordCount(), 10);
  EXPECT_EQ(File->DeleteRecord(5), 0);
  EXPECT_EQ(File->DeleteRecord(5), -19);
  EXPECT_EQ(File->RecordCount(), 9);
  EXPECT_EQ(NameOf(*File, 5), "error -19");
  EXPECT_EQ(NameOf(*File, 6), "nev6");
  EXPECT_EQ(File->GetNextRecordNo(4), 6);
  EXPECT_EQ(File->GetPrevRecordNo(6), 4);
  EXPECT_EQ(File->GetNextRecordNo(5), 6);  // from an id that is gone
  EXPECT_EQ(File->GetPrevRecordNo(5), 4);
  EXPECT_EQ(File->GetFirstRecordNo(), 1);
  EXPECT_EQ(File->GetLastRecordNo(), 10);
  EXPECT_EQ(File->GetNextRecordNo(10), -19);
  EXPECT_EQ(File->GetPrevRecordNo(1), -19);
  EXPECT_EQ(File->GetPrevRecordNo(1000), 10);

  EXPECT_EQ(File->WriteRecord(7, Record(7, "het").data()), 0);
  EXPECT_EQ(NameOf(*File, 7), "het");
  EXPECT_EQ(File->WriteRecord(7, Record(8, "nyolc").data()), -157);  // ids do not change
  EXPECT_EQ(File->WriteRecord(5, Record(5, "ot").data()), -19);
  EXPECT_EQ(File->InsertRecord(Record(6, "duplicate").data()), -30);
  EXPECT_EQ(File->InsertRecord(Record(0, "zero").data()), -43);
  EXPECT_EQ(File->InsertRecord(Record(5, "ot").data()), 5);  // a free id may be used again
  EXPECT_EQ(File->Flush(), 0);
  File.reset();

  auto Again = Reopen();
  ASSERT_NE(Again, nullptr);
  EXPECT_EQ(Again->RecordCount(), 10);
  EXPECT_EQ(NameOf(*Again, 5), "ot");
  EXPECT_EQ(NameOf(*Again, 7), "het");
  std::int32_t Next = 0;
  EXPECT_EQ(Again->ReadNextRecordId(Next), 0);
  EXPECT_EQ(Next, 11);
}

TEST_F(BPlusDataFileTest, ManyRecordsSurviveSplitsDeletesAndReopening) {
  auto File = Create(IdDefinition(200));
  std::map<std::int32_t, std::string> Model;
  for (int I = 1; I <= 3000; ++I) {
    const std::string Name = "szo" + std::to_string(I * 7919 % 10007);
    Model[Append(*File, Name)] = Name;
  }
  std::mt19937 Random(42);
  for (int I = 0; I < 1200; ++I) {
    const std::int32_t Id = 1 + static_cast<std::int32_t>(Random() % 3000);
    EXPECT_EQ(File->DeleteRecord(Id), Model.erase(Id) ? 0 : -19);
  }
  EXPECT_EQ(File->RecordCount(), static_cast<std::int32_t>(Model.size()));
  EXPECT_EQ(File->Flush(), 0);
  // The file holds exactly the tree's pages.
  EXPECT_EQ(File->StorageSize(),
            static_cast<std::int64_t>(File->Tree()->PageCount()) * File->Tree()->GetPageSize());
  File.reset();

  auto Again = Reopen();
  ASSERT_NE(Again, nullptr);
  ASSERT_EQ(Again->RecordCount(), static_cast<std::int32_t>(Model.size()));
  auto Expected = Model.begin();
  for (std::int32_t Id = Again->GetFirstRecordNo(); Id > 0; Id = Again->GetNextRecordNo(Id)) {
    ASSERT_NE(Expected, Model.end());
    ASSERT_EQ(Id, Expected->first);
    ASSERT_EQ(NameOf(*Again, Id), Expected->second);
    ++Expected;
  }
  EXPECT_EQ(Expected, Model.end());
  std::int32_t Backwards = 0;
  for (std::int32_t Id = Again->GetLastRecordNo(); Id > 0; Id = Again->GetPrevRecordNo(Id)) {
    ++Backwards;
  }
  EXPECT_EQ(Backwards, static_cast<std::int32_t>(Model.size()));
  EXPECT_EQ(Again->Clear(), 0);
  EXPECT_EQ(Again->RecordCount(), 0);
  EXPECT_EQ(Again->Flush(), 0);
  EXPECT_EQ(Again->StorageSize(), 16384);
}

TEST_F(BPlusDataFileTest, LargeRecordsGetLargerTreePages) {
  auto File = Create(IdDefinition(16000));
  const std::int64_t PageSize = File->Tree()->GetPageSize();
  EXPECT_GE(File->Tree()->MaxItemSize(), RecordSize);
  EXPECT_EQ(PageSize, 65536);
  EXPECT_EQ(File->DefinitionEnd(), PageSize);
  for (int I = 1; I <= 12; ++I) Append(*File, std::string(150, static_cast<char>('a' + I)));
  EXPECT_EQ(File->Flush(), 0);
  File.reset();
  auto Again = Reopen();
  ASSERT_NE(Again, nullptr);
  EXPECT_EQ(Again->RecordCount(), 12);
  EXPECT_EQ(NameOf(*Again, 12), std::string(150, 'm'));
}

TEST_F(BPlusDataFileTest, ALargerDefinitionMovesTheRecordsToTheNextPowerOfTwo) {
  TVdbTableDefinition Definition = IdDefinition();
  Definition.CheckDefs.Add(std::make_unique<TVdbCheckDef>(
      "HOSSZ", TVdbExpressionSource(std::string(5000, 'x') + " IS NOT NULL", false)));
  auto File = Create(Definition);
  EXPECT_EQ(File->DefinitionEnd(), 32768);
  EXPECT_EQ(File->Tree()->GetPageSize(), 32768);
  for (int I = 1; I <= 700; ++I) Append(*File, "nev" + std::to_string(I));
  EXPECT_EQ(File->Flush(), 0);
  File.reset();
  auto Again = Reopen();
  ASSERT_NE(Again, nullptr);
  EXPECT_EQ(Def.CheckDefs.Count(), 1);
  EXPECT_EQ(Again->RecordCount(), 700);
  EXPECT_EQ(NameOf(*Again, 699), "nev699");
}

TEST_F(BPlusDataFileTest, UndoForgetsUnflushedRecords) {
  auto File = Create();
  Append(*File, "egy");
  EXPECT_EQ(File->Flush(), 0);
  for (int I = 0; I < 300; ++I) Append(*File, "tobb");
  EXPECT_EQ(File->Undo(), 0);
  EXPECT_EQ(File->RecordCount(), 1);
  EXPECT_EQ(NameOf(*File, 1), "egy");
  EXPECT_EQ(File->GetNextRecordNo(1), -19);
}

TEST_F(BPlusDataFileTest, InvalidateSeesWhatAnotherClientWrote) {
  auto File = Create();
  Append(*File, "egy");
  EXPECT_EQ(File->Flush(), 0);
  std::int32_t Result = 0;
  TVdbTableDefinition OtherDef;
  auto Other = VdbOpenDataFile(&Services, Storage(kDataFile, 2), false, false, {}, OtherDef, Result);
  ASSERT_NE(Other, nullptr) << Services.LastErrorMsg();
  for (int I = 0; I < 400; ++I) Append(*Other, "masik");
  EXPECT_EQ(Other->Flush(), 0);
  EXPECT_EQ(File->Invalidate(), 0);
  EXPECT_EQ(File->RecordCount(), 401);
  EXPECT_EQ(NameOf(*File, 401), "masik");
  EXPECT_EQ(File->GetLastRecordNo(), 401);
}

TEST_F(BPlusDataFileTest, NewFileRefusesWhatATreeOfRecordIdsCannotHold) {
  TVdbTableDefinition NoId;
  NoId.ColumnDefs.Add(
      TVdbColumnDef::CreateColumnDef("N", TVdbDataType::GetDataType(16, true, 6), kVdbColNullable));
  auto File = std::make_unique<TVdbBPlusDataFile>(&Services, Storage());
  EXPECT_EQ(File->NewFile(6, {}, NoId), -117);
  EXPECT_EQ(Services.LastErrorMsg(),
            "\"\\Data.vdbt\" uses a feature that is not supported by tables of this level: "
            "First column must be a record id");
  EXPECT_FALSE(Container->FileExists(kDataFile));
  EXPECT_EQ(
      File->NewFile(6, {TVdbEncryptionMethod::Blowfish, "pw", AddCipherFactory()}, IdDefinition()),
      -187);
  EXPECT_FALSE(Container->FileExists(kDataFile));
}

TEST_F(BPlusDataFileTest, DamagedTreeHeadersAreRefused) {
  const std::vector<std::pair<std::int64_t, std::int32_t>> Cases = {
      {11 + 14, 4096},  // a page size the file was not laid out with
      {11, 0},          // no pages
      {11, 1000000},    // more pages than the file has
      {11 + 6, 77},     // a root outside the tree
  };
  for (const auto& [Pos, Value] : Cases) {
    SCOPED_TRACE(Pos);
    Container->DeleteFile(kDataFile);
    {
      auto File = Create();
      for (int I = 0; I < 50; ++I) Append(*File, "x");
      EXPECT_EQ(File->Flush(), 0);
    }
    PatchInt32(Pos, Value);
    std::int32_t Result = 0;
    EXPECT_EQ(VdbOpenDataFile(&Services, Storage(), false, false, {}, Def, Result), nullptr);
    EXPECT_EQ(Result, -134) << Services.LastErrorMsg();
    EXPECT_EQ(Manager.OpenStorageCount(), 0u);
  }
}

TEST_F(BPlusDataFileTest, RandomlyDamagedFilesNeverCrashOrLoop) {
  {
    auto File = Create();
    for (int I = 0; I < 800; ++I) Append(*File, "nev" + std::to_string(I));
    EXPECT_EQ(File->Flush(), 0);
  }
  const auto Good = Contained();
  std::mt19937 Random(7);
  for (int Round = 0; Round < 120; ++Round) {
    std::vector<std::uint8_t> Bytes = Good;
    for (int I = 0; I < 1 + static_cast<int>(Random() % 6); ++I) {
      // The header, the tree header and the tree pages.
      const std::size_t Pos =
          Random() % 3 == 0 ? Random() % 40 : 16384 + Random() % (Bytes.size() - 16384);
      Bytes[Pos] = static_cast<std::uint8_t>(Random());
    }
    Container->DeleteFile(kDataFile);
    const std::int32_t Raw = Container->CreateFile(kDataFile);
    Container->FileWrite(Raw, Bytes.data(), static_cast<std::int32_t>(Bytes.size()), 0);
    Container->CloseFile(Raw);
    std::int32_t Result = 0;
    auto File = VdbOpenDataFile(&Services, Storage(), false, false, {}, Def, Result);
    if (File == nullptr) {
      EXPECT_LT(Result, 0);
      continue;
    }
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(File->RecordSize()));
    std::int32_t Steps = 0;
    std::int32_t Id = File->GetFirstRecordNo();
    for (; Id > 0 && Steps <= 800; Id = File->GetNextRecordNo(Id), ++Steps) {
      File->ReadRecord(Id, Record.data());
    }
    EXPECT_LE(Steps, 800);
    for (Id = File->GetLastRecordNo(), Steps = 0; Id > 0 && Steps <= 800;
         Id = File->GetPrevRecordNo(Id), ++Steps) {
    }
    EXPECT_LE(Steps, 800);
    File->InsertRecord(Record.data());
    File->DeleteRecord(3);
  }
}

TEST_F(BPlusDataFileTest, NewTablesGetTheKindTheirDefinitionAsksFor) {
  std::int32_t Result = 0;
  auto BPlus = VdbCreateDataFile(&Services, Storage(), 6, {}, IdDefinition(), {"NAME"}, Result);
  ASSERT_EQ(Result, 0) << Services.LastErrorMsg();
  EXPECT_NE(dynamic_cast<TVdbBPlusDataFile*>(BPlus.get()), nullptr);
  auto Heap =
      VdbCreateDataFile(&Services, Storage("\\Other.vdbt"), 6, {}, LexiconDefinition(), {}, Result);
  ASSERT_EQ(Result, 0) << Services.LastErrorMsg();
  EXPECT_EQ(dynamic_cast<TVdbBPlusDataFile*>(Heap.get()), nullptr);
  BPlus.reset();
  Heap.reset();
  EXPECT_EQ(Contained()[0], 0xE2);  // 20012002 = 0x01315DE2
  EXPECT_EQ(Contained("\\Other.vdbt")[0], 0x64);
  EXPECT_EQ(VdbCreateDataFile(&Services, Storage(), 6, {}, IdDefinition(), {}, Result), nullptr);
  EXPECT_EQ(Result, -72);
}

TEST_F(BPlusDataFileTest, ClosedFilesAnswerErrors) {
  auto File = std::make_unique<TVdbBPlusDataFile>(&Services, Storage());
  RecordSize = 46;
  std::vector<std::uint8_t> Bytes(46);
  EXPECT_EQ(File->GetFirstRecordNo(), -2);
  EXPECT_EQ(File->GetLastRecordNo(), -2);
  EXPECT_EQ(File->GetNextRecordNo(1), -2);
  EXPECT_EQ(File->GetPrevRecordNo(5), -2);
  EXPECT_EQ(File->ReadRecord(1, Bytes.data()), -2);
  EXPECT_EQ(File->InsertRecord(Record(1, "x").data()), -3);
  EXPECT_EQ(File->DeleteRecord(1), -3);
  EXPECT_EQ(File->Clear(), -3);
  EXPECT_EQ(File->Flush(), -2);
  EXPECT_EQ(File->RecordCount(), 0);
}

TEST(DataFileKindTest, OnlyLevelSixTablesWithAFirstRecordIdNamedXXXGetABPlusFile) {
  EXPECT_TRUE(VdbUsesBPlusDataFile(6, IdDefinition()));
  EXPECT_FALSE(VdbUsesBPlusDataFile(5, IdDefinition()));
  EXPECT_FALSE(VdbUsesBPlusDataFile(6, IdDefinition(40, "_xxx")));
  EXPECT_FALSE(VdbUsesBPlusDataFile(6, IdDefinition(40, "ID")));
  EXPECT_TRUE(VdbUsesBPlusDataFile(6, IdDefinition(16384 - 7)));
  EXPECT_FALSE(VdbUsesBPlusDataFile(6, IdDefinition(16384 - 6)));
  EXPECT_FALSE(VdbUsesBPlusDataFile(6, LexiconDefinition()));
}

}  // namespace
}  // namespace vdb::test
