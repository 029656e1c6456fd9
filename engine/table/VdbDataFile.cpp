#include "table/VdbDataFile.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "base/VdbErrors.h"
#include "base/VdbLastError.h"
#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"
#include "storage/kxMemory.h"
#include "table/VdbBPlusDataFile.h"
#include "table/VdbDefinitions.h"
#include "table/VdbHeapDataFile.h"

namespace vdb {

namespace {

EVdbEngine Plain(std::int16_t Code) { return EVdbEngine(Code, kxFormatArgs{}); }

// Opens a client storage for a data file: a page size of its own unless another client set one;
// page-manager failures become the engine errors of opening a file.
void OpenClientStorage(TVdbClientStorage& Storage, bool ReadOnly, bool Exclusive) {
  try {
    if (Storage.GetPageSize() == 0) Storage.SetPageSize(kVdbDataFilePageSize);
    Storage.Open(ReadOnly, Exclusive);
  } catch (const EVdbPMStorageNotFound&) {
    throw EVdbEngine(kVdbErrFileNotFoundOrDenied, Storage.GetName());
  } catch (const EVdbPageManager& Error) {
    throw EVdbEngine::CreateMsg(
        kVdbErrCannotOpenFile,
        kxFormatOrBare(VdbErrorFormat(kVdbErrCannotOpenFile), {Storage.GetName()}) + ": " +
            Error.what());
  }
}

// The index-name area (count and slots) of Names, zero beyond the used bytes. More than 50 names
// or a name that is empty, not valid UTF-8 or longer than 44 characters is refused.
// Index names of levels 5 and 6: 90-byte slots, a 2-byte length and up to 44 UTF-16 characters.
// Levels 1 to 4 keep 45-byte slots of a 1-byte length and up to 44 8-bit characters, as many as
// their smaller name area holds (1 at level 1, 15 at levels 2 and 3, 50 at level 4).
constexpr std::int32_t kOldIndexNameSlotSize = 45;

std::int32_t IndexNameSlotSize(std::int16_t Level) {
  return Level <= 4 ? kOldIndexNameSlotSize : kVdbIndexNameSlotSize;
}

std::int32_t MaxIndexNames(std::int16_t Level, std::int64_t AreaSize) {
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(kVdbMaxIndexNames, (AreaSize - 2) / IndexNameSlotSize(Level)));
}

std::vector<std::uint8_t> BuildIndexNameArea(const std::vector<std::string>& Names,
                                             std::int16_t Level, std::int64_t AreaSize) {
  if (Names.size() > static_cast<std::size_t>(MaxIndexNames(Level, AreaSize)))
    throw Plain(kVdbErrTooManyIndexes);
  std::vector<std::uint8_t> Area(static_cast<std::size_t>(AreaSize), 0);
  TkxMemory::WriteInt16(Area.data(), 0, static_cast<std::int16_t>(Names.size()));
  for (std::size_t I = 0; I < Names.size(); ++I) {
    const std::int64_t Slot = 2 + static_cast<std::int64_t>(I) * IndexNameSlotSize(Level);
    std::size_t Units = Names[I].size();
    if (Level > 4) {
      try {
        Units = TkxMemory::Utf8ToUtf16(Names[I]).size();
      } catch (const EkxMemoryError&) {
        throw EVdbEngine(kVdbErrInvalidIndexName, Names[I]);
      }
    }
    if (Units == 0 || Units > static_cast<std::size_t>(kVdbMaxIndexNameLength)) {
      throw EVdbEngine(kVdbErrInvalidIndexName, Names[I]);
    }
    if (Level <= 4) {
      TkxMemory::WriteBPAnsiString(Area.data(), Slot, Names[I], kVdbMaxIndexNameLength);
    } else {
      TkxMemory::WriteWPWideString(Area.data(), Slot, Names[I], kVdbMaxIndexNameLength);
    }
  }
  return Area;
}

}  // namespace

// --- Encryption methods --------------------------------------------------------------------------

TVdbEncryptionMethod VdbEncryptionFromCode(std::uint8_t Code) {
  const std::uint8_t Method = Code & 0x7F;
  if (Method < 1 || Method > 6) return TVdbEncryptionMethod::None;
  return static_cast<TVdbEncryptionMethod>(Method);
}

bool VdbEncryptionHasCipher(TVdbEncryptionMethod Method) {
  return Method >= TVdbEncryptionMethod::Classic && Method <= TVdbEncryptionMethod::Rijndael;
}

std::string VdbEncryptionName(TVdbEncryptionMethod Method) {
  switch (Method) {
    case TVdbEncryptionMethod::None: return "No encryption";
    case TVdbEncryptionMethod::Password: return "Password protection";
    case TVdbEncryptionMethod::Classic: return "Classic encryption";
    case TVdbEncryptionMethod::Fast: return "Fast encryption";
    case TVdbEncryptionMethod::Blowfish: return "Blowfish encryption";
    case TVdbEncryptionMethod::Rijndael: return "Rijndael encryption";
  }
  return "Encryption";
}

// --- TVdbDataFile --------------------------------------------------------------------------------

TVdbDataFile::TVdbDataFile(TVdbLastError* Services, std::unique_ptr<TVdbClientStorage> Storage)
    : FServices(Services), FStorage(std::move(Storage)) {}

TVdbDataFile::~TVdbDataFile() {
  // The table flushes before it closes; closing here only lets go of the storage.
  CloseStorage();
}

bool TVdbDataFile::GetIsOpen() const { return FStorage && FStorage->IsOpen(); }

TkxFileSystem* TVdbDataFile::FileSystem() const { return FStorage->FileSystem(); }

const std::string& TVdbDataFile::Name() const { return FStorage->GetName(); }

std::int32_t TVdbDataFile::Guarded(const std::function<std::int32_t()>& Body) {
  return VdbGuarded(FServices, [&Body] {
    try {
      return Body();
    } catch (const EkxMemoryError&) {
      throw Plain(kVdbErrTableCorrupt);
    }
  });
}

void TVdbDataFile::RaiseRead() const { throw EVdbEngine(kVdbErrFileRead, Name()); }
void TVdbDataFile::RaiseWrite() const { throw EVdbEngine(kVdbErrFileWrite, Name()); }
void TVdbDataFile::RaiseCorrupt() const { throw Plain(kVdbErrTableCorrupt); }
void TVdbDataFile::RaiseNoRecord() const { throw Plain(kVdbErrRecordNotFound); }

void TVdbDataFile::RequireOpen() const {
  if (!GetIsOpen() || !FPage) RaiseRead();
}

void TVdbDataFile::RequireWritable() const {
  if (!GetIsOpen() || !FPage) RaiseWrite();
  if (FReadOnly) throw EVdbEngine(kVdbErrNoWriteAccess, Name());
}

// --- Byte ranges ---------------------------------------------------------------------------------

void TVdbDataFile::ReadBytes(std::int64_t Pos, std::uint8_t* Buffer, std::int64_t Size,
                             bool Cipher) {
  RequireOpen();
  if (Pos < 0 || Size < 0) RaiseRead();
  const std::int32_t PageSize = FStorage->GetPageSize();
  try {
    for (std::int64_t Done = 0; Done < Size;) {
      const std::int64_t At = Pos + Done;
      const std::int64_t PageNo = At / PageSize;
      if (PageNo > std::numeric_limits<std::int32_t>::max()) RaiseRead();
      const auto Offset = static_cast<std::int32_t>(At % PageSize);
      const auto Count =
          static_cast<std::int32_t>(std::min<std::int64_t>(PageSize - Offset, Size - Done));
      // A page beyond the end of the file is refused by the page manager: read error.
      FPage->LoadPage(static_cast<std::int32_t>(PageNo));
      FPage->CopyTo(Offset, Buffer + Done, Count, 0);
      Done += Count;
    }
  } catch (const EVdbPageManager&) {
    RaiseRead();
  }
  if (Cipher && FCipher) FCipher->DecryptBlock(Buffer, static_cast<std::size_t>(Size));
}

void TVdbDataFile::WriteBytes(std::int64_t Pos, const std::uint8_t* Buffer, std::int64_t Size,
                              bool Cipher) {
  RequireWritable();
  if (Pos < 0 || Size < 0) RaiseWrite();
  std::vector<std::uint8_t> Encrypted;
  if (Cipher && FCipher) {
    Encrypted.assign(Buffer, Buffer + Size);
    FCipher->EncryptBlock(Encrypted.data(), Encrypted.size());
    Buffer = Encrypted.data();
  }
  const std::int32_t PageSize = FStorage->GetPageSize();
  try {
    for (std::int64_t Done = 0; Done < Size;) {
      const std::int64_t At = Pos + Done;
      const std::int64_t PageNo = At / PageSize;
      if (PageNo >= std::numeric_limits<std::int32_t>::max()) RaiseWrite();
      const auto Offset = static_cast<std::int32_t>(At % PageSize);
      const auto Count =
          static_cast<std::int32_t>(std::min<std::int64_t>(PageSize - Offset, Size - Done));
      // Pages beyond the end are made new (zeroed by the page manager).
      if (PageNo < FStorage->GetPageCount()) {
        FPage->LoadPage(static_cast<std::int32_t>(PageNo));
      } else {
        FPage->InitPage(static_cast<std::int32_t>(PageNo));
      }
      FPage->CopyFrom(Buffer + Done, 0, Count, Offset);
      Done += Count;
    }
  } catch (const EVdbPageManager&) {
    RaiseWrite();
  }
}

std::int32_t TVdbDataFile::ReadInt32At(std::int64_t Pos) {
  std::uint8_t Bytes[4];
  ReadBytes(Pos, Bytes, 4, false);
  return TkxMemory::ReadInt32(Bytes, 0);
}

void TVdbDataFile::WriteInt32At(std::int64_t Pos, std::int32_t Value) {
  std::uint8_t Bytes[4];
  TkxMemory::WriteInt32(Bytes, 0, Value);
  WriteBytes(Pos, Bytes, 4, false);
}

void TVdbDataFile::CoverBytes(std::int64_t Size) {
  RequireWritable();
  const std::int64_t PageSize = FStorage->GetPageSize();
  const std::int64_t Pages = (Size + PageSize - 1) / PageSize;
  if (Pages > std::numeric_limits<std::int32_t>::max()) RaiseWrite();
  try {
    // The site may sit on a page that is cut off.
    FPage->UnloadPage();
    FStorage->SetPageCount(static_cast<std::int32_t>(Pages));
  } catch (const EVdbPageManager&) {
    RaiseWrite();
  }
}

// --- Opening -------------------------------------------------------------------------------------

std::int32_t TVdbDataFile::Open(bool ReadOnly, bool Exclusive, const TVdbCryptor& Cryptor,
                                TVdbTableDefinition& Def) {
  return Guarded([&] {
    DoOpen(ReadOnly, Exclusive, Cryptor, Def);
    return 0;
  });
}

void TVdbDataFile::OpenStorage(bool ReadOnly, bool Exclusive) {
  if (!FStorage->IsOpen()) OpenClientStorage(*FStorage, ReadOnly, Exclusive);
  FReadOnly = FStorage->GetReadOnly();
  FPage = FStorage->CreatePageSite();
}

void TVdbDataFile::DoOpen(bool ReadOnly, bool Exclusive, const TVdbCryptor& Cryptor,
                          TVdbTableDefinition& Def) {
  OpenStorage(ReadOnly, Exclusive);
  try {
    FFileSize = FStorage->GetSize();
    ReadCommonHeader();
    InitCipher(Cryptor, FCryptor.Method, kVdbErrInvalidCredentials);
    ReadKindHeader();
    DoReadIndexNames();
    TVdbTableDefinition Read;
    ReadDefinition(Read);
    TakeRecordLayout(Read, kVdbErrTableCorrupt);
    OpenRecords(Read);
    FNextRecordId = ReadInt32At(GetNextRecordIdPosition());
    Def = std::move(Read);
  } catch (...) {
    CloseStorage();
    FIndexNames.clear();
    throw;
  }
}

// Magic, level and encryption code. A file too short for its header is corrupt; a level the
// engine has no definition reader for is an old version.
// A file of a level without a magic word (see HasMagic) is known by its level alone.
void TVdbDataFile::ReadCommonHeader() {
  std::uint8_t Bytes[2];
  std::int16_t Level = 0;
  if (FFileSize >= LevelPosition() + 2) {
    ReadBytes(LevelPosition(), Bytes, 2, false);
    Level = TkxMemory::ReadInt16(Bytes, 0);
  }
  const std::int16_t WasLevel = FLevel;
  FLevel = Level;
  const bool WithMagic = Level < 1 || Level > kVdbMaxTableLevel || HasMagic();
  FLevel = WasLevel;
  if (WithMagic &&
      (FFileSize < 4 || static_cast<std::uint32_t>(ReadInt32At(0)) != Magic())) {
    throw Plain(kVdbErrOldTableVersion);
  }
  if (Level > kVdbMaxTableLevel || Level < 1) RaiseCorrupt();
  FLevel = Level;
  if (FFileSize < DefinitionPosition() + 4) RaiseCorrupt();
  ReadBytes(EncryptionPosition(), Bytes, 1, false);
  FCryptor.Method = VdbEncryptionFromCode(Bytes[0]);
}

// A method with a cipher needs one from the factory: without it the file is neither read nor
// written, since its bytes would be taken for plain ones.
void TVdbDataFile::InitCipher(const TVdbCryptor& Cryptor, TVdbEncryptionMethod Method,
                              std::int16_t Error) {
  FCipher.reset();
  FCryptor = Cryptor;
  FCryptor.Method = Method;
  FPassword = Method == TVdbEncryptionMethod::None ? std::string() : Cryptor.Password;
  if (!VdbEncryptionHasCipher(Method)) return;
  bool PasswordFits = true;
  if (Cryptor.CipherFactory)
    FCipher = Cryptor.CipherFactory(Method, Cryptor.Password, PasswordFits);
  if (!PasswordFits) {
    FCipher.reset();
    throw Plain(Error);
  }
  if (!FCipher) throw EVdbEngine(kVdbErrNotSupported, VdbEncryptionName(Method));
}

void TVdbDataFile::ReadDefinition(TVdbTableDefinition& Def) {
  const std::int64_t Pos = DefinitionPosition();
  const std::int32_t Length = ReadInt32At(Pos);
  if (Length < 0 || Length > kVdbMaxDefinitionLength || Pos + 4 + Length > FFileSize) {
    RaiseCorrupt();
  }
  std::vector<std::uint8_t> Block(static_cast<std::size_t>(Length));
  ReadBytes(Pos + 4, Block.data(), Length, true);
  LoadDefinitionBlock(Block.data(), Block.size(), FLevel, FPassword, Def);
  FDefinitionLength = Length;
}

void TVdbDataFile::TakeRecordLayout(const TVdbTableDefinition& Def, std::int16_t Error) {
  const std::int32_t Size = Def.ColumnDefs.GetRecordSize();
  if (Def.ColumnDefs.GetCount() < 1 || Size < 1 || Size > kVdbMaxRecordSize) throw Plain(Error);
  FRecordSize = static_cast<std::uint16_t>(Size);
  const int RecordId = Def.ColumnDefs.FindFirst(kRecordIdType);
  FRecordIdPosition = RecordId < 0 ? -1 : Def.ColumnDefs.GetColumnDef(RecordId).Position;
}

// --- Creating ------------------------------------------------------------------------------------

std::int32_t TVdbDataFile::NewFile(std::int16_t Level, const TVdbCryptor& Cryptor,
                                   const TVdbTableDefinition& Def) {
  return Guarded([&] {
    DoNewFile(Level, Cryptor, Def);
    return 0;
  });
}

void TVdbDataFile::CheckNewFile(std::int16_t Level, const TVdbCryptor& Cryptor,
                                const TVdbTableDefinition& Def) {
  const TVdbEncryptionMethod Method = Cryptor.Method;
  if (Level <= 3 && Method >= TVdbEncryptionMethod::Blowfish) {
    throw EVdbEngine(kVdbErrFeatureNotInLevel, {Name(), "Strong encryption"});
  }
  if (Level >= 4 &&
      (Method == TVdbEncryptionMethod::Classic || Method == TVdbEncryptionMethod::Fast)) {
    throw EVdbEngine(kVdbErrFeatureNotInLevel, {Name(), "Classic encryption"});
  }
  if (Level > kVdbMaxTableLevel || Level < 1) RaiseCorrupt();
  InitCipher(Cryptor, Method, kVdbErrInvalidPassword);
  TakeRecordLayout(Def, kVdbErrRecordTooLarge);
  BuildIndexNameArea(FIndexNames, Level, GetIndexNameAreaSize());
  CheckNewDefinition(Def);
}

std::int32_t TVdbDataFile::NewDefinitionLength(std::size_t UsedSize) const {
  return CalcDefinitionBlockLength(DefinitionPosition(), UsedSize);
}

void TVdbDataFile::DoNewFile(std::int16_t Level, const TVdbCryptor& Cryptor,
                             const TVdbTableDefinition& Def) {
  CloseStorage();
  const std::int16_t WasLevel = FLevel;
  FLevel = Level;  // the header layout follows the level
  try {
    CheckNewFile(Level, Cryptor, Def);
  } catch (...) {
    FLevel = WasLevel;
    throw;
  }
  // The block is made before the file exists: a definition that cannot be stored leaves nothing.
  const std::vector<std::uint8_t> Used = DefinitionBytes(Def);
  CheckDefinitionReadsBack(Used);
  const std::int32_t Length = NewDefinitionLength(Used.size());
  const int RecordId = Def.ColumnDefs.FindFirst(kRecordIdType);
  if (RecordId >= 0) {
    if (const auto* Column =
            dynamic_cast<const TVdbRecordIdColumnDef*>(&Def.ColumnDefs.GetColumnDef(RecordId))) {
      FNextRecordId = Column->StartValue;
    }
  }
  CreateStorage(NewStoragePageSize(Length));
  try {
    std::vector<std::uint8_t> Header(static_cast<std::size_t>(DefinitionPosition()), 0);
    if (HasMagic()) TkxMemory::WriteUInt32(Header.data(), 0, Magic());
    TkxMemory::WriteInt16(Header.data(), LevelPosition(), Level);
    TkxMemory::WriteUInt8(Header.data(), EncryptionPosition(),
                          static_cast<std::uint8_t>(FCryptor.Method));
    if (!NextRecordIdAfterDefinition())
      TkxMemory::WriteInt32(Header.data(), GetNextRecordIdPosition(), FNextRecordId);
    const std::vector<std::uint8_t> Names =
        BuildIndexNameArea(FIndexNames, FLevel, GetIndexNameAreaSize());
    std::copy(Names.begin(), Names.end(), Header.begin() + GetIndexNameCountPosition());
    WriteBytes(0, Header.data(), static_cast<std::int64_t>(Header.size()), false);
    WriteDefinition(Used, Length);
    FFileSize = FStorage->GetSize();
    CreateRecords(Def);
    if (NextRecordIdAfterDefinition()) WriteInt32At(GetNextRecordIdPosition(), FNextRecordId);
    try {
      FStorage->Flush();
    } catch (const EVdbPageManager&) {
      RaiseWrite();
    }
    FFileSize = FStorage->GetSize();
  } catch (...) {
    DropCreatedFile();
    throw;
  }
}

// A table is only made when its definition opens again at its level: the older levels do not
// know every column the newer ones do (levels up to 3 have no nullable strings, for one).
void TVdbDataFile::CheckDefinitionReadsBack(const std::vector<std::uint8_t>& Used) const {
  try {
    TVdbTableDefinition Again;
    LoadDefinitionBlock(Used.data(), Used.size(), FLevel, FPassword, Again);
  } catch (const EVdbEngine&) {
    throw EVdbEngine(kVdbErrFeatureNotInLevel, {Name(), "Column definitions"});
  }
}

void TVdbDataFile::CreateStorage(std::int32_t PageSize) {
  if (FileSystem()->FileExists(Name())) throw EVdbEngine(kVdbErrAlreadyExists, Name());
  try {
    FStorage->SetPageSize(PageSize);
    FStorage->NewStorage();
  } catch (const EVdbPageManager&) {
    RaiseWrite();
  }
  FReadOnly = false;
  FPage = FStorage->CreatePageSite();
}

// The pages of a file whose creation failed are thrown away unwritten, then the file goes.
void TVdbDataFile::DropCreatedFile() {
  const std::string FileName = Name();
  try {
    if (FPage) FPage->UnloadPage();
    if (FStorage->IsOpen()) FStorage->Undo();
  } catch (const std::exception&) {
    // Closing below lets go of whatever is left.
  }
  CloseStorage();
  FileSystem()->DeleteFile(FileName);
}

// The used bytes of Def's block, with the password of this file's encryption.
std::vector<std::uint8_t> TVdbDataFile::DefinitionBytes(const TVdbTableDefinition& Def) const {
  if (Def.Password == FPassword) return SaveDefinitionBlock(Def, FLevel);
  TVdbTableDefinition Stored = Def;
  Stored.Password = FPassword;
  return SaveDefinitionBlock(Stored, FLevel);
}

void TVdbDataFile::WriteDefinition(const std::vector<std::uint8_t>& Used, std::int32_t Length) {
  if (Used.size() > static_cast<std::size_t>(Length)) RaiseWrite();
  std::vector<std::uint8_t> Block(static_cast<std::size_t>(Length), 0);
  std::copy(Used.begin(), Used.end(), Block.begin());
  WriteInt32At(DefinitionPosition(), Length);
  WriteBytes(DefinitionPosition() + 4, Block.data(), Length, true);
  FDefinitionLength = Length;
}

std::int32_t TVdbDataFile::UpdateDefinition(const TVdbTableDefinition& Def) {
  return Guarded([&] {
    RequireWritable();
    if (Def.ColumnDefs.GetRecordSize() != FRecordSize) {
      throw EVdbEngine(kVdbErrNotSupported,
                       kxFormat("Changing the record size of \"%s\" in place", {Name()}));
    }
    const std::vector<std::uint8_t> Used = DefinitionBytes(Def);
    if (Used.size() > static_cast<std::size_t>(FDefinitionLength)) {
      throw EVdbEngine(kVdbErrNotSupported,
                       kxFormat("Moving the records of \"%s\" for a larger definition", {Name()}));
    }
    WriteDefinition(Used, FDefinitionLength);
    TakeRecordLayout(Def, kVdbErrTableCorrupt);
    return 0;
  });
}

// --- Closing, flushing, undoing ------------------------------------------------------------------

void TVdbDataFile::CloseStorage() {
  try {
    CloseRecords();
  } catch (const std::exception&) {
    // The storage closes all the same.
  }
  FPage.reset();
  if (FStorage && FStorage->IsOpen()) {
    try {
      FStorage->Close();
    } catch (const std::exception&) {
      // Nothing is left to report to: the page manager frees the storage with its last client.
    }
  }
}

std::int32_t TVdbDataFile::Close() {
  return Guarded([&] {
    CloseStorage();
    FIndexNames.clear();
    return 0;
  });
}

std::int32_t TVdbDataFile::Truncate() { return 0; }

// One storage operation with its page-manager failure as engine error Error; with Reread the
// counts kept in memory are read again afterwards (they may name records that are gone).
std::int32_t TVdbDataFile::StorageStep(void (TVdbClientStorage::*Step)(), std::int16_t Error,
                                       bool Reread) {
  return Guarded([&] {
    RequireOpen();
    try {
      if (Reread) FPage->UnloadPage();
      ((*FStorage).*Step)();
    } catch (const EVdbPageManager&) {
      throw EVdbEngine(Error, Name());
    }
    if (Reread) {
      FFileSize = FStorage->GetSize();
      RereadState();
    }
    return 0;
  });
}

std::int32_t TVdbDataFile::Flush() {
  return StorageStep(&TVdbClientStorage::Flush, kVdbErrFileWrite, false);
}

std::int32_t TVdbDataFile::Undo() { return StorageStep(&TVdbClientStorage::Undo, kVdbErrFileRead, true); }

std::int32_t TVdbDataFile::Invalidate() {
  return StorageStep(&TVdbClientStorage::Invalidate, kVdbErrFileRead, true);
}

std::int32_t TVdbDataFile::UpdateDir() {
  return StorageStep(&TVdbClientStorage::UpdateDir, kVdbErrFileWrite, false);
}

// --- Index names ---------------------------------------------------------------------------------

void TVdbDataFile::DoReadIndexNames() {
  const std::int64_t AreaSize = GetIndexNameAreaSize();
  std::vector<std::uint8_t> Area(static_cast<std::size_t>(AreaSize));
  ReadBytes(GetIndexNameCountPosition(), Area.data(), AreaSize, false);
  const std::int16_t Count = TkxMemory::ReadInt16(Area.data(), 0);
  if (Count < 0 || Count > MaxIndexNames(FLevel, AreaSize)) RaiseCorrupt();
  const std::int32_t SlotSize = IndexNameSlotSize(FLevel);
  std::vector<std::string> Names;
  for (std::int16_t I = 0; I < Count; ++I) {
    const std::int64_t Slot = 2 + static_cast<std::int64_t>(I) * SlotSize;
    if (FLevel <= 4) {
      if (Area[static_cast<std::size_t>(Slot)] > kVdbMaxIndexNameLength) RaiseCorrupt();
      Names.push_back(TkxMemory::ReadBPAnsiString(Area.data(), Slot, SlotSize));
      continue;
    }
    if (TkxMemory::ReadUInt16(Area.data(), Slot) > kVdbMaxIndexNameLength) RaiseCorrupt();
    Names.push_back(TkxMemory::ReadWPWideString(Area.data(), Slot, SlotSize));
  }
  FIndexNames = std::move(Names);
}

std::int32_t TVdbDataFile::ReadIndexNames() {
  return Guarded([&] {
    DoReadIndexNames();
    return 0;
  });
}

// The count and each name's length and characters; the bytes after them stay as they are.
void TVdbDataFile::DoWriteIndexNames() {
  RequireWritable();
  const std::vector<std::uint8_t> Area =
      BuildIndexNameArea(FIndexNames, FLevel, GetIndexNameAreaSize());
  const std::int64_t Pos = GetIndexNameCountPosition();
  WriteBytes(Pos, Area.data(), 2, false);
  for (std::size_t I = 0; I < FIndexNames.size(); ++I) {
    const std::int64_t Slot = 2 + static_cast<std::int64_t>(I) * IndexNameSlotSize(FLevel);
    const std::int64_t Used =
        FLevel <= 4 ? 1 + static_cast<std::int64_t>(Area[static_cast<std::size_t>(Slot)])
                    : 2 + 2 * static_cast<std::int64_t>(TkxMemory::ReadUInt16(Area.data(), Slot));
    WriteBytes(Pos + Slot, Area.data() + Slot, Used, false);
  }
}

std::int32_t TVdbDataFile::WriteIndexNames() {
  return Guarded([&] {
    DoWriteIndexNames();
    return 0;
  });
}

std::int32_t TVdbDataFile::DeleteIndexName(std::int32_t IndexNo) {
  return Guarded([&] {
    if (IndexNo < 1 || IndexNo > static_cast<std::int32_t>(FIndexNames.size())) {
      throw EVdbEngine(kVdbErrIndexNotFound, kxFormat("%d", {IndexNo}));
    }
    FIndexNames.erase(FIndexNames.begin() + (IndexNo - 1));
    return 0;
  });
}

// --- Record ids ----------------------------------------------------------------------------------

// The next record id goes to and from the file itself (the cached copy follows a write), so that
// every process sees an id as soon as it was taken, flushed or not.
std::int32_t TVdbDataFile::ReadNextIdDirect() {
  RequireOpen();
  std::uint8_t Bytes[4];
  try {
    if (FStorage->ReadDirect(Bytes, 4, GetNextRecordIdPosition()) != 4) RaiseRead();
  } catch (const EVdbPageManager&) {
    RaiseRead();
  }
  return TkxMemory::ReadInt32(Bytes, 0);
}

void TVdbDataFile::WriteNextIdDirect(std::int32_t RecordId) {
  RequireWritable();
  std::uint8_t Bytes[4];
  TkxMemory::WriteInt32(Bytes, 0, RecordId);
  try {
    if (FStorage->WriteDirect(Bytes, 4, GetNextRecordIdPosition()) != 4) RaiseWrite();
  } catch (const EVdbPageManager&) {
    RaiseWrite();
  }
}

std::int32_t TVdbDataFile::ObtainNewRecordId(std::int32_t& RecordId) {
  return Guarded([&] {
    RequireWritable();
    const std::int32_t Next = ReadNextIdDirect();
    if (Next == std::numeric_limits<std::int32_t>::max()) throw EVdbEngine(kVdbErrCapacityReached, Name());
    WriteNextIdDirect(Next + 1);
    FNextRecordId = Next + 1;
    RecordId = Next;
    return 0;
  });
}

std::int32_t TVdbDataFile::RevokeRecordId(std::int32_t RecordId) {
  return Guarded([&] {
    RequireWritable();
    const std::int32_t Next = ReadNextIdDirect();
    if (static_cast<std::int64_t>(Next) == static_cast<std::int64_t>(RecordId) + 1) {
      WriteNextIdDirect(RecordId);
      FNextRecordId = RecordId;
    }
    return 0;
  });
}

std::int32_t TVdbDataFile::ReadNextRecordId(std::int32_t& RecordId) {
  return Guarded([&] {
    RecordId = ReadNextIdDirect();
    return 0;
  });
}

std::int32_t TVdbDataFile::WriteNextRecordId(std::int32_t RecordId) {
  return Guarded([&] {
    RequireWritable();
    WriteNextIdDirect(RecordId);
    FNextRecordId = RecordId;
    return 0;
  });
}

// --- Choosing the implementation -----------------------------------------------------------------

std::unique_ptr<TVdbDataFile> VdbOpenDataFile(TVdbLastError* Services,
                                              std::unique_ptr<TVdbClientStorage> Storage,
                                              bool ReadOnly, bool Exclusive,
                                              const TVdbCryptor& Cryptor, TVdbTableDefinition& Def,
                                              std::int32_t& Result) {
  const auto Fail = [&](const EVdbEngine& Error) -> std::unique_ptr<TVdbDataFile> {
    try {
      Storage->Close();
    } catch (const std::exception&) {
      // The error that made the open fail is the one to report.
    }
    Result = Services != nullptr ? Services->SetLastError(Error) : -Error.Code();
    return nullptr;
  };
  std::uint32_t Magic = 0;
  try {
    OpenClientStorage(*Storage, ReadOnly, Exclusive);
    if (Storage->GetSize() < 4) return Fail(Plain(kVdbErrOldTableVersion));
    Magic = static_cast<std::uint32_t>(Storage->ReadPage(0)->ReadInt32(0));
  } catch (const EVdbEngine& Error) {
    return Fail(Error);
  } catch (const EVdbPageManager&) {
    return Fail(EVdbEngine(kVdbErrFileRead, Storage->GetName()));
  }
  std::unique_ptr<TVdbDataFile> File;
  if (Magic == kVdbHeapDataFileMagic) {
    File = std::make_unique<TVdbHeapDataFile>(Services, std::move(Storage));
  } else if (Magic == kVdbBPlusDataFileMagic) {
    File = std::make_unique<TVdbBPlusDataFile>(Services, std::move(Storage));
  } else {
    return Fail(Plain(kVdbErrOldTableVersion));
  }
  Result = File->Open(ReadOnly, Exclusive, Cryptor, Def);
  if (Result < 0) return nullptr;
  return File;
}

std::unique_ptr<TVdbDataFile> VdbCreateDataFile(TVdbLastError* Services,
                                                std::unique_ptr<TVdbClientStorage> Storage,
                                                std::int16_t Level, const TVdbCryptor& Cryptor,
                                                const TVdbTableDefinition& Def,
                                                const std::vector<std::string>& IndexNames,
                                                std::int32_t& Result) {
  std::unique_ptr<TVdbDataFile> File;
  if (VdbUsesBPlusDataFile(Level, Def)) {
    File = std::make_unique<TVdbBPlusDataFile>(Services, std::move(Storage));
  } else {
    File = std::make_unique<TVdbHeapDataFile>(Services, std::move(Storage));
  }
  File->IndexNames() = IndexNames;
  Result = File->NewFile(Level, Cryptor, Def);
  if (Result < 0) return nullptr;
  return File;
}

bool VdbUsesBPlusDataFile(std::int16_t Level, const TVdbTableDefinition& Def) {
  if (Level < 6 || Def.ColumnDefs.GetCount() < 1) return false;
  const TVdbColumnDef& First = Def.ColumnDefs.GetColumnDef(0);
  return First.GetColumnType() == TVdbDataFile::kRecordIdType && First.Name == "_XXX" &&
         Def.ColumnDefs.GetRecordSize() <= 16384;
}

}  // namespace vdb
