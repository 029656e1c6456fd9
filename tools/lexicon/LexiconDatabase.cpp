#include "LexiconDatabase.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "base/VdbLastError.h"
#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxMemory.h"
#include "table/VdbBlobFile.h"
#include "table/VdbData.h"
#include "table/VdbDefinitions.h"
#include "table/VdbHeapDataFile.h"
#include "table/VdbIndexFile.h"
#include "table/VdbIndexKeys.h"
#include "table/kxStrUtils.h"

namespace lexicon {

using namespace vdb;

namespace {

constexpr std::int16_t kLevel = 6;
constexpr std::int32_t kCapacity = 10000000;
constexpr const char* kHeadwordColumn = "CIMSZO";
constexpr const char* kDescriptionColumn = "LEIRAS";
constexpr std::int32_t kHeadwordFieldSize = kLexiconHeadwordLength + 2;  // null byte, length

std::string ContainedName(const std::string& Suffix) { return std::string("\\") + kLexiconTable + Suffix; }

TVdbTableDefinition TableDefinition() {
  TVdbTableDefinition Def;
  Def.CollationName = kLexiconCollation;
  Def.Capacity = kCapacity;
  Def.ColumnDefs.Add(TVdbColumnDef::CreateStringColumnDef(
      kHeadwordColumn, TVdbDataType::GetStringType(1, true, kLevel, kLexiconHeadwordLength, kLexiconCollation),
      "", kVdbColNullable));
  Def.ColumnDefs.Add(TVdbColumnDef::CreateColumnDef(
      kDescriptionColumn, TVdbDataType::GetDataType(7, true, kLevel), kVdbColNullable));
  return Def;
}

// A negative result of a table file becomes an exception with the engine's message.
void Check(std::int32_t Result, const TVdbLastError& Errors, const std::string& What) {
  if (Result >= 0) return;
  throw ELexiconDatabase(What + ": " + (Errors.LastErrorMsg().empty() ? "error " + std::to_string(-Result)
                                                                   : Errors.LastErrorMsg()));
}

std::string Encoded(const std::string& Text, const LexiconEntry& Entry) {
  const std::string Ansi = Utf8ToAnsi(Text, kLexiconCodePage);
  if (AnsiToUtf8(Ansi, kLexiconCodePage) != Text) {
    throw ELexiconDatabase("line " + std::to_string(Entry.line) + ": \"" + Entry.headword +
                           "\" holds a character that code page 1250 cannot write");
  }
  return Ansi;
}

class TLexiconWriter {
 public:
  explicit TLexiconWriter(const std::string& Path) : FContainer(Path) {
    FContainer.NewFile();
    FContainer.Open();
  }
  ~TLexiconWriter() {
    // The table files give their storages back before the container closes.
    FIndex.reset();
    FMemo.reset();
    FData.reset();
    try {
      FContainer.Close();
    } catch (...) {  // the file is deleted by the caller anyway
    }
  }

  void Write(const std::vector<LexiconEntry>& Entries) {
    CreateFiles();
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(FDef.ColumnDefs.GetRecordSize()), 0);
    for (const LexiconEntry& Entry : Entries) {
      FillRecord(Entry, Record);
      Check(FData->InsertRecord(Record.data()), FErrors, "Storing \"" + Entry.headword + "\"");
    }
    BuildIndex();
    Check(FData->Flush(), FErrors, "Writing the data file");
    FMemo->Flush();
    Check(FIndex->Flush(), FErrors, "Writing the index");
    Check(FIndex->Close(), FErrors, "Closing the index");
    FMemo->Close();
    Check(FData->Close(), FErrors, "Closing the data file");
  }

 private:
  std::unique_ptr<TVdbClientStorage> Storage(const std::string& Name) {
    auto Result = std::make_unique<TVdbClientStorage>(TVdbPageManager::Instance(), &FContainer, 1);
    Result->SetName(Name);
    return Result;
  }

  void CreateFiles() {
    FData = std::make_unique<TVdbHeapDataFile>(&FErrors, Storage(ContainedName(".vdbt")));
    FData->IndexNames() = {kHeadwordColumn};
    Check(FData->NewFile(kLevel, TVdbCryptor{}, FDef), FErrors, "Creating the data file");
    FMemo = std::make_unique<TVdbMemoFile>(Storage(ContainedName(".vdbm")));
    FMemo->SetVersion(kLevel);
    FMemo->SetTableName(kLexiconTable);
    FMemo->NewFile();
  }

  void FillRecord(const LexiconEntry& Entry, std::vector<std::uint8_t>& Record) {
    const std::string Headword = Encoded(Entry.headword, Entry);
    if (Headword.empty() || Headword.size() > static_cast<std::size_t>(kLexiconHeadwordLength)) {
      throw ELexiconDatabase("line " + std::to_string(Entry.line) + ": the headword \"" +
                             Entry.headword + "\" must have 1 to 150 characters");
    }
    std::fill(Record.begin(), Record.end(), 0);
    Record[0] = 1;  // assigned
    Record[1] = static_cast<std::uint8_t>(Headword.size());
    std::copy(Headword.begin(), Headword.end(), Record.begin() + 2);
    const std::int32_t FirstBlock = FMemo->WriteString(0, Encoded(Entry.description, Entry));
    if (FirstBlock < 0) {
      throw ELexiconDatabase("line " + std::to_string(Entry.line) + ": the description of \"" +
                             Entry.headword + "\": " + FMemo->LastErrorMsg());
    }
    TkxMemory::WriteInt32(Record.data(), kHeadwordFieldSize, FirstBlock);
  }

  // The headword index, built from every record: sorted first, then filled in ascending order.
  void BuildIndex() {
    FIndexDef = CalcIndexDefinition(FDef.ColumnDefs, kLevel, kHeadwordColumn, false);
    FIndexDef->SetName(kHeadwordColumn);
    FIndex = std::make_unique<TVdbIndexFile>(&FErrors, Storage(ContainedName("!CIMSZO.vdbi")), kLevel);
    FIndex->SetName(kHeadwordColumn);
    FIndex->SetFileName(ContainedName("!CIMSZO.vdbi"));
    FIndex->SetCompareFunction([this](const std::uint8_t* X, const std::uint8_t* Y, bool& NotUnique) {
      return IndexLess(FDef.ColumnDefs, *FIndexDef, kLevel, X, Y, NotUnique);
    });
    Check(FIndex->SetIndexDefinition(VdbIndexHeaderDef(*FIndexDef, kLevel)), FErrors, "Defining the index");
    Check(FIndex->NewStorage(kLevel, FIndex->CalcPageSizeForCapacity(kCapacity)), FErrors,
          "Creating the index: " + FIndex->LastFailure());
    const std::int32_t Count = FData->RecordCount();
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(FDef.ColumnDefs.GetRecordSize()));
    std::int32_t RecNo = 0;
    const std::int16_t Result = FIndex->BulkInsert(
        Count, {}, [&](std::uint8_t* Item, std::int32_t& ItemSize) {
          if (RecNo == Count) return false;
          ++RecNo;
          Check(FData->ReadRecord(RecNo, Record.data()), FErrors, "Reading record " + std::to_string(RecNo));
          ItemSize = 4 + CalcIndexInfo(FDef.ColumnDefs, kLevel, Record.data(), *FIndexDef, Item,
                                       static_cast<std::size_t>(FIndexDef->KeySize()), RecNo);
          return true;
        });
    Check(Result, FErrors, "Building the index: " + FIndex->LastFailure());
  }

  TkxCompoundFileIntf FContainer;
  TVdbLastError FErrors;
  TVdbTableDefinition FDef = TableDefinition();
  std::unique_ptr<TVdbHeapDataFile> FData;
  std::unique_ptr<TVdbMemoFile> FMemo;
  std::unique_ptr<TVdbSortDef> FIndexDef;
  std::unique_ptr<TVdbIndexFile> FIndex;
};

}  // namespace

void WriteLexiconDatabase(const std::vector<LexiconEntry>& Entries, const std::string& Path) {
  const std::string Partial = Path + ".part";
  std::filesystem::remove(Partial);
  try {
    TLexiconWriter(Partial).Write(Entries);
  } catch (...) {
    std::error_code Ignored;
    std::filesystem::remove(Partial, Ignored);
    throw;
  }
  std::filesystem::rename(Partial, Path);
}

}  // namespace lexicon
