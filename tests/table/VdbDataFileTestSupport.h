// Shared pieces of the data file tests: a container with a page manager of its own, the
// lexicon's table definition, record images and raw access to contained files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/VdbLastError.h"
#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxFileSystem.h"
#include "storage/kxMemory.h"
#include "table/VdbData.h"
#include "table/VdbDataFile.h"
#include "table/VdbDefinitions.h"

namespace vdb::test {

inline constexpr std::int32_t kLexiconRecordSize = 156;
inline constexpr std::int64_t kLexiconRecordStart = 16384;
inline constexpr std::int32_t kLexiconDefinitionLength = 11855;
inline constexpr const char* kDataFile = "\\Data.vdbt";

// The lexicon's table Data: CIMSZO VARCHAR(150) nullable in the table's collation, LEIRAS memo.
inline TVdbTableDefinition LexiconDefinition() {
  TVdbTableDefinition Def;
  Def.CollationName = "Hungarian_ci_as";
  Def.ColumnDefs.Add(TVdbColumnDef::CreateStringColumnDef(
      "CIMSZO", TVdbDataType::GetStringType(1, true, 6, 150, "Hungarian_ci_as"), "",
      kVdbColNullable));
  Def.ColumnDefs.Add(TVdbColumnDef::CreateColumnDef("LEIRAS", TVdbDataType::GetDataType(7, true, 6),
                                                    kVdbColNullable));
  return Def;
}

// A record of Data: the headword (8-bit, at most 150 characters) and the memo block number.
inline std::vector<std::uint8_t> LexiconRecord(const std::string& Headword, std::int32_t Memo) {
  std::vector<std::uint8_t> Record(kLexiconRecordSize, 0);
  Record[0] = 1;
  Record[1] = static_cast<std::uint8_t>(Headword.size());
  std::copy(Headword.begin(), Headword.end(), Record.begin() + 2);
  TkxMemory::WriteInt32(Record.data(), 152, Memo);
  return Record;
}

inline std::string HeadwordOf(const std::vector<std::uint8_t>& Record) {
  return std::string(Record.begin() + 2, Record.begin() + 2 + Record[1]);
}

// A test cipher: adds a key to every byte. PasswordFits is false for the password "bad".
class TAddCipher : public TVdbTableCipher {
 public:
  explicit TAddCipher(std::uint8_t Key) : FKey(Key) {}
  void EncryptBlock(std::uint8_t* Data, std::size_t Size) override {
    for (std::size_t I = 0; I < Size; ++I) Data[I] = static_cast<std::uint8_t>(Data[I] + FKey);
  }
  void DecryptBlock(std::uint8_t* Data, std::size_t Size) override {
    for (std::size_t I = 0; I < Size; ++I) Data[I] = static_cast<std::uint8_t>(Data[I] - FKey);
  }

 private:
  std::uint8_t FKey;
};

inline TVdbCipherFactory AddCipherFactory() {
  return [](TVdbEncryptionMethod, const std::string& Password, bool& PasswordFits) {
    PasswordFits = Password != "bad";
    std::unique_ptr<TVdbTableCipher> Cipher;
    if (PasswordFits)
      Cipher = std::make_unique<TAddCipher>(static_cast<std::uint8_t>(Password.size() + 1));
    return Cipher;
  };
}

// A fresh container in a directory of its own, with a page manager of the test's own.
template <class ContainerType = TkxCompoundFileIntf>
class TDataFileFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> Counter{0};
    Dir = std::filesystem::path(::testing::TempDir()) /
          ("vdb_df_" + std::to_string(::getpid()) + "_" + std::to_string(Counter++));
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    Container = std::make_unique<ContainerType>((Dir / "L_Data.vdbd").string());
    Container->NewFile();
    Container->Open();
  }

  void TearDown() override {
    Container->Close();
    std::error_code Ignored;
    std::filesystem::remove_all(Dir, Ignored);
  }

  std::unique_ptr<TVdbClientStorage> Storage(const std::string& Name = kDataFile,
                                             std::int32_t ClientHdl = 1) {
    auto Result = std::make_unique<TVdbClientStorage>(Manager, Container.get(), ClientHdl);
    Result->SetName(Name);
    return Result;
  }

  std::vector<std::uint8_t> Contained(const std::string& Name = kDataFile) {
    const std::int32_t H = Container->OpenFile(Name, fmOpenRead);
    if (H < 0) return {};
    std::vector<std::uint8_t> Data(static_cast<std::size_t>(Container->GetFileSize(H)));
    Container->FileRead(H, Data.data(), static_cast<std::int32_t>(Data.size()), 0);
    Container->CloseFile(H);
    return Data;
  }

  void Patch(std::int64_t Pos, const std::vector<std::uint8_t>& Bytes,
             const std::string& Name = kDataFile) {
    const std::int32_t H = Container->OpenFile(Name, fmOpenReadWrite);
    ASSERT_GE(H, 0);
    ASSERT_EQ(Container->FileWrite(H, Bytes.data(), static_cast<std::int32_t>(Bytes.size()), Pos),
              static_cast<std::int32_t>(Bytes.size()));
    Container->CloseFile(H);
  }

  void PatchInt32(std::int64_t Pos, std::int32_t Value, const std::string& Name = kDataFile) {
    std::vector<std::uint8_t> Bytes(4);
    TkxMemory::WriteInt32(Bytes.data(), 0, Value);
    Patch(Pos, Bytes, Name);
  }

  void PatchInt16(std::int64_t Pos, std::int16_t Value, const std::string& Name = kDataFile) {
    std::vector<std::uint8_t> Bytes(2);
    TkxMemory::WriteInt16(Bytes.data(), 0, Value);
    Patch(Pos, Bytes, Name);
  }

  void Resize(std::int64_t Size, const std::string& Name = kDataFile) {
    const std::int32_t H = Container->OpenFile(Name, fmOpenReadWrite);
    ASSERT_GE(H, 0);
    Container->SetFileSize(H, Size);
    Container->CloseFile(H);
  }

  std::filesystem::path Dir;
  std::unique_ptr<ContainerType> Container;
  TVdbPageManager Manager;
  TVdbLastError Services;
};

}  // namespace vdb::test
