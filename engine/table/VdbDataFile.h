// Data files: the ".vdbt" file of a base table.
//
// A data file reads and writes whole records, keeps the record count and the next value for
// automatic record ids, holds the list of the table's index names and frames the stored table
// definition (a 32-bit length, the block through the table cipher, zero padding). It addresses
// its file by byte position through a client storage of the page manager; the storage's page size
// has no influence on the format.
//
// Two implementations share this base: TVdbHeapDataFile (records one after another by record
// number) and TVdbBPlusDataFile (records as items of a B+ tree ordered by record id). The first
// 32-bit word of a file tells which one it is (VdbOpenDataFile).
//
// Results follow the engine's convention: 0 or a positive value for success, the negated engine
// error number for failure; -19 means there is no such record. Every failure is also recorded as
// the last error of the services object the file was created with.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vdb {

class EVdbEngine;
class TkxFileSystem;
class TVdbClientStorage;
class TVdbLastError;
class TVdbStoragePageSite;
struct TVdbTableDefinition;

// First words of the two file kinds (bytes 64 AA 57 FF for a heap file).
inline constexpr std::uint32_t kVdbHeapDataFileMagic = 0xFF57AA64u;
inline constexpr std::uint32_t kVdbBPlusDataFileMagic = 20012002u;
// The newest table level; higher levels are unknown.
inline constexpr std::int16_t kVdbMaxTableLevel = 6;

// Index names: 50 slots of 90 bytes (a 2-byte length in characters, up to 44 UTF-16LE
// characters) after a 2-byte count.
inline constexpr std::int32_t kVdbMaxIndexNames = 50;
inline constexpr std::int32_t kVdbIndexNameSlotSize = 90;
inline constexpr std::int32_t kVdbMaxIndexNameLength = 44;
inline constexpr std::int32_t kVdbIndexNameAreaSize = 2 + kVdbMaxIndexNames * kVdbIndexNameSlotSize;

// A stored definition block longer than this is taken for damage rather than read into memory.
inline constexpr std::int32_t kVdbMaxDefinitionLength = 64 * 1024 * 1024;
// Page size a new data file's storage is created with.
inline constexpr std::int32_t kVdbDataFilePageSize = 4096;

// The encryption code of a table (byte at offset 6 of a heap file; its low 7 bits count).
enum class TVdbEncryptionMethod : std::uint8_t {
  None = 1,
  Password = 2,  // password protection without a cipher
  Classic = 3,
  Fast = 4,
  Blowfish = 5,
  Rijndael = 6,
};

// The method a stored code names: only the low 7 bits are looked at, unknown values read as none.
TVdbEncryptionMethod VdbEncryptionFromCode(std::uint8_t Code);
// True for the methods that pass the definition and the records through a cipher (3 to 6).
bool VdbEncryptionHasCipher(TVdbEncryptionMethod Method);
// The feature name of a method in messages, e.g. "Blowfish encryption".
std::string VdbEncryptionName(TVdbEncryptionMethod Method);

// A table cipher: turns a byte range into its stored form and back, in place, size unchanged.
class TVdbTableCipher {
 public:
  virtual ~TVdbTableCipher() = default;
  virtual void EncryptBlock(std::uint8_t* Data, std::size_t Size) = 0;
  virtual void DecryptBlock(std::uint8_t* Data, std::size_t Size) = 0;
};

// Makes the cipher of Method for Password. Answers null when this engine has no such cipher; sets
// PasswordFits to false (and answers null) when the password cannot be used with it.
using TVdbCipherFactory = std::function<std::unique_ptr<TVdbTableCipher>(
    TVdbEncryptionMethod Method, const std::string& Password, bool& PasswordFits)>;

// The encryption settings of a table. No cipher is built in: a table whose method needs a cipher
// opens only when the factory supplies one, and is never read or written as plain bytes.
struct TVdbCryptor {
  TVdbEncryptionMethod Method = TVdbEncryptionMethod::None;
  std::string Password;
  TVdbCipherFactory CipherFactory;
};

class TVdbDataFile {
 public:
  static constexpr std::int16_t kRecordIdType = 9;  // column type code of record ids

  // The data file owns the client storage; Services (may be null) receives the last error. The
  // storage has no cipher of its own: the table cipher is applied here, to the definition and
  // the records only.
  TVdbDataFile(TVdbLastError* Services, std::unique_ptr<TVdbClientStorage> Storage);
  virtual ~TVdbDataFile();
  TVdbDataFile(const TVdbDataFile&) = delete;
  TVdbDataFile& operator=(const TVdbDataFile&) = delete;

  // --- Virtual operations ------------------------------------------------------------------------
  virtual bool GetCanDelete() const = 0;
  virtual bool GetIsOpen() const;
  virtual std::int64_t GetStorageSize() const = 0;
  virtual std::int32_t GetRecordCount() const = 0;
  // Positions of the header fields for the file's level; -1 when the file keeps no such field.
  virtual std::int64_t GetIndexNameCountPosition() const = 0;
  virtual std::int64_t GetIndexNameAreaSize() const = 0;
  virtual std::int64_t GetRecordCountPosition() const = 0;
  virtual std::int64_t GetNextRecordIdPosition() const = 0;

  // Opens the storage (unless it is open already), reads the header and the definition into Def.
  // On failure the file is closed again.
  virtual std::int32_t Open(bool ReadOnly, bool Exclusive, const TVdbCryptor& Cryptor,
                            TVdbTableDefinition& Def);
  // Creates the file under the storage's name and writes header and definition. A failure after
  // the file was created drops its pages, closes and deletes it.
  virtual std::int32_t NewFile(std::int16_t Level, const TVdbCryptor& Cryptor,
                               const TVdbTableDefinition& Def);
  virtual std::int32_t Close();
  virtual std::int32_t Clear() = 0;
  virtual std::int32_t Truncate();
  virtual std::int32_t Flush();
  virtual std::int32_t Undo();
  virtual std::int32_t Invalidate();
  virtual std::int32_t UpdateDir();
  virtual bool CanAppend() const = 0;
  virtual std::int32_t GetFirstRecordNo() = 0;
  virtual std::int32_t GetNextRecordNo(std::int32_t RecNo) = 0;
  virtual std::int32_t GetPrevRecordNo(std::int32_t RecNo) = 0;
  virtual std::int32_t GetLastRecordNo() = 0;
  // Buffers hold RecordSize() bytes.
  virtual std::int32_t ReadRecord(std::int32_t RecNo, std::uint8_t* Buffer) = 0;
  virtual std::int32_t WriteRecord(std::int32_t RecNo, const std::uint8_t* Buffer) = 0;
  virtual std::int32_t InsertRecord(const std::uint8_t* RecBuffer) = 0;
  virtual std::int32_t DeleteRecord(std::int32_t RecNo) = 0;
  virtual std::int32_t ReadIndexNames();
  virtual std::int32_t WriteIndexNames();
  virtual std::int32_t DeleteIndexName(std::int32_t IndexNo);

  // --- Record ids --------------------------------------------------------------------------------
  // The next record id is read and written in the file itself every time (not through the page
  // cache), so that every process sees an id as soon as it is taken; an undo does not give it
  // back.
  // Takes the next record id from the file (RecordId) and stores it increased by 1; error 171
  // after the largest id.
  std::int32_t ObtainNewRecordId(std::int32_t& RecordId);
  // Gives an id back when it is the last one taken, so that an abandoned insert reuses it.
  std::int32_t RevokeRecordId(std::int32_t RecordId);
  // The next record id a new file starts with when its table has no record-id column.
  void SetNextRecordId(std::int32_t RecordId) { FNextRecordId = RecordId; }
  std::int32_t ReadNextRecordId(std::int32_t& RecordId);
  std::int32_t WriteNextRecordId(std::int32_t RecordId);

  // --- Properties --------------------------------------------------------------------------------
  bool IsOpen() const { return GetIsOpen(); }
  std::int16_t Version() const { return FLevel; }
  TkxFileSystem* FileSystem() const;
  std::int32_t RecordCount() const { return GetRecordCount(); }
  std::int64_t StorageSize() const { return GetStorageSize(); }
  bool CanDelete() const { return GetCanDelete(); }
  std::vector<std::string>& IndexNames() { return FIndexNames; }
  const std::vector<std::string>& IndexNames() const { return FIndexNames; }
  std::int32_t RecordSize() const { return FRecordSize; }
  // Position of the record-id column inside a record; -1 when the table has none.
  std::int64_t RecordIdPosition() const { return FRecordIdPosition; }
  TVdbEncryptionMethod EncryptionMethod() const { return FCryptor.Method; }
  TVdbClientStorage& Storage() const { return *FStorage; }
  const std::string& Name() const;
  // Where the definition block's length lies, and its stored length N.
  std::int64_t DefinitionPosition() const {
    return GetIndexNameCountPosition() + GetIndexNameAreaSize();
  }
  std::int32_t DefinitionLength() const { return FDefinitionLength; }
  // Where the bytes after the definition block start.
  std::int64_t DefinitionEnd() const { return DefinitionPosition() + 4 + FDefinitionLength; }

  // Rewrites the definition inside its padding: the records do not move. A definition that no
  // longer fits, or one with another record size, is refused (error 187) and the file keeps the
  // old one.
  std::int32_t UpdateDefinition(const TVdbTableDefinition& Def);

 protected:
  // --- Layout and steps of the implementations ---------------------------------------------------
  virtual std::uint32_t Magic() const = 0;
  virtual std::int64_t LevelPosition() const { return 4; }
  // Whether the file starts with the magic word (Magic) at this level.
  virtual bool HasMagic() const { return true; }
  // Whether the next record id lies after the definition block (at GetNextRecordIdPosition once
  // the record area is known) rather than in the header.
  virtual bool NextRecordIdAfterDefinition() const { return false; }
  virtual std::int64_t EncryptionPosition() const = 0;
  // Creating: what this kind refuses in a definition (before the file exists), the stored length
  // of a definition block of UsedSize bytes, and the page size of the new storage.
  virtual void CheckNewDefinition(const TVdbTableDefinition& /*Def*/) {}
  virtual std::int32_t NewDefinitionLength(std::size_t UsedSize) const;
  virtual std::int32_t NewStoragePageSize(std::int32_t /*DefinitionLength*/) const {
    return kVdbDataFilePageSize;
  }
  // Reads the fields that only this kind keeps (after the common ones, before the definition).
  virtual void ReadKindHeader() = 0;
  // After the definition was read (Open) or written (NewFile): the record area is known.
  virtual void OpenRecords(const TVdbTableDefinition& Def) = 0;
  virtual void CreateRecords(const TVdbTableDefinition& Def) = 0;
  // Before the storage closes.
  virtual void CloseRecords() {}
  // After Invalidate or Undo: re-read what the file may have changed.
  virtual void RereadState() = 0;

  // --- Byte ranges through pages -----------------------------------------------------------------
  // Reads Size bytes at Pos; with Cipher they are decrypted afterwards. Error 2 when the range is
  // not in the file or the page manager fails.
  void ReadBytes(std::int64_t Pos, std::uint8_t* Buffer, std::int64_t Size, bool Cipher);
  // Writes Size bytes at Pos (extending the file as needed); with Cipher a copy is encrypted
  // first, the caller's buffer is never changed. Error 3 when the page manager fails, 115 when
  // the file is open read-only.
  void WriteBytes(std::int64_t Pos, const std::uint8_t* Buffer, std::int64_t Size, bool Cipher);
  std::int32_t ReadInt32At(std::int64_t Pos);
  void WriteInt32At(std::int64_t Pos, std::int32_t Value);
  // The storage's page count set to cover exactly Size bytes (the file is cut there at the next
  // flush).
  void CoverBytes(std::int64_t Size);
  bool HasCipher() const { return FCipher != nullptr; }

  // Engine errors that name this file.
  [[noreturn]] void RaiseRead() const;
  [[noreturn]] void RaiseWrite() const;
  [[noreturn]] void RaiseCorrupt() const;
  [[noreturn]] void RaiseNoRecord() const;
  void RequireOpen() const;
  void RequireWritable() const;

  // Runs Body behind the engine's exception boundary (VdbGuarded); a memory error of the page
  // layer means a damaged table.
  std::int32_t Guarded(const std::function<std::int32_t()>& Body);
  std::int32_t StorageStep(void (TVdbClientStorage::*Step)(), std::int16_t Error, bool Reread);

  TVdbLastError* FServices;
  std::int16_t FLevel = 0;
  std::unique_ptr<TVdbClientStorage> FStorage;
  std::unique_ptr<TVdbStoragePageSite> FPage;
  TVdbCryptor FCryptor;
  std::unique_ptr<TVdbTableCipher> FCipher;
  std::string FPassword;
  std::vector<std::string> FIndexNames;
  std::int32_t FNextRecordId = 0;
  std::int64_t FFileSize = 0;  // size of the storage when it was opened or last re-read
  std::uint16_t FRecordSize = 0;
  std::int64_t FRecordIdPosition = -1;
  std::int32_t FDefinitionLength = 0;
  bool FReadOnly = false;

 private:
  void DoOpen(bool ReadOnly, bool Exclusive, const TVdbCryptor& Cryptor, TVdbTableDefinition& Def);
  void DoNewFile(std::int16_t Level, const TVdbCryptor& Cryptor, const TVdbTableDefinition& Def);
  void CheckNewFile(std::int16_t Level, const TVdbCryptor& Cryptor, const TVdbTableDefinition& Def);
  void OpenStorage(bool ReadOnly, bool Exclusive);
  void CreateStorage(std::int32_t PageSize);
  void DropCreatedFile();
  void InitCipher(const TVdbCryptor& Cryptor, TVdbEncryptionMethod Method, std::int16_t Error);
  void ReadCommonHeader();
  void ReadDefinition(TVdbTableDefinition& Def);
  std::vector<std::uint8_t> DefinitionBytes(const TVdbTableDefinition& Def) const;
  void WriteDefinition(const std::vector<std::uint8_t>& Used, std::int32_t Length);
  // Record size and record-id position; Error when the record size is unusable.
  void TakeRecordLayout(const TVdbTableDefinition& Def, std::int16_t Error);
  std::int32_t ReadNextIdDirect();
  void WriteNextIdDirect(std::int32_t RecordId);
  void DoReadIndexNames();
  void CheckDefinitionReadsBack(const std::vector<std::uint8_t>& Used) const;
  void DoWriteIndexNames();
  void CloseStorage();
};

// Opens the data file of Storage with the implementation its first word names (error 124 for
// any other word). Answers null and sets Result (negated error) on failure.
std::unique_ptr<TVdbDataFile> VdbOpenDataFile(TVdbLastError* Services,
                                              std::unique_ptr<TVdbClientStorage> Storage,
                                              bool ReadOnly, bool Exclusive,
                                              const TVdbCryptor& Cryptor, TVdbTableDefinition& Def,
                                              std::int32_t& Result);

// Creates the data file of a new table under the storage's name: a B+ data file when
// VdbUsesBPlusDataFile says so, else a heap data file. Answers null and sets Result (negated
// error) on failure; IndexNames are the names the new file starts with.
std::unique_ptr<TVdbDataFile> VdbCreateDataFile(TVdbLastError* Services,
                                                std::unique_ptr<TVdbClientStorage> Storage,
                                                std::int16_t Level, const TVdbCryptor& Cryptor,
                                                const TVdbTableDefinition& Def,
                                                const std::vector<std::string>& IndexNames,
                                                std::int32_t& Result);

// True when a new table of Level with Def gets a B+ data file: level 6 or higher, a first column
// of type RecordId named exactly "_XXX", records of at most 16384 bytes.
bool VdbUsesBPlusDataFile(std::int16_t Level, const TVdbTableDefinition& Def);

}  // namespace vdb
