// The engine's record-oriented streams: the abstract TVdbStream with numeric error codes and
// optional block encryption, and TkxFileSystemVdbStream over a file-system object (used by the
// lock files and the undo logs).
//
// Every operation answers 0 on success or the negated error code (16-bit); the code also stays
// in GetError() until the next operation. Codes: 1 open failed, 2 read failed, 3 write, create,
// cut or erase failed, 6 lock failure, 9 lock violation or lock time-out.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "storage/kxFileSystem.h"

namespace vdb {

inline constexpr std::int16_t vdbStreamOpenError = 1;
inline constexpr std::int16_t vdbStreamReadError = 2;
inline constexpr std::int16_t vdbStreamWriteError = 3;
inline constexpr std::int16_t vdbStreamLockError = 6;
inline constexpr std::int16_t vdbStreamLockViolation = 9;

// A block cipher that encrypts and decrypts whole blocks in place (the table ciphers).
class TVdbBlockCipher {
 public:
  virtual ~TVdbBlockCipher() = default;
  virtual void EncryptBlock(void* Data, std::int32_t Size) = 0;
  virtual void DecryptBlock(void* Data, std::int32_t Size) = 0;
};

enum TVdbLowFileRight : std::uint8_t {
  lfrReadUser,
  lfrWriteUser,
  lfrReadGroup,
  lfrWriteGroup,
  lfrReadOthers,
  lfrWriteOthers
};

// A set of TVdbLowFileRight values.
class TVdbLowFileRights {
 public:
  TVdbLowFileRights() = default;
  TVdbLowFileRights(std::initializer_list<TVdbLowFileRight> Rights) {
    for (TVdbLowFileRight right : Rights) Include(right);
  }
  void Include(TVdbLowFileRight Right) { FBits |= Bit(Right); }
  void Exclude(TVdbLowFileRight Right) { FBits &= static_cast<std::uint8_t>(~Bit(Right)); }
  bool Contains(TVdbLowFileRight Right) const { return (FBits & Bit(Right)) != 0; }
  bool Empty() const { return FBits == 0; }
  bool operator==(const TVdbLowFileRights&) const = default;

 private:
  static std::uint8_t Bit(TVdbLowFileRight Right) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(Right));
  }
  std::uint8_t FBits = 0;
};

class TVdbStream {
 public:
  TVdbStream() = default;
  TVdbStream(const TVdbStream&) = delete;
  TVdbStream& operator=(const TVdbStream&) = delete;
  virtual ~TVdbStream() = default;

  // Virtual operations, in slot order.
  virtual std::int16_t Reset(const std::string& Name, std::int32_t Access) = 0;
  virtual std::int16_t Rewrite(const std::string& Name, std::int32_t Access,
                               TVdbLowFileRights Rights) = 0;
  virtual std::int16_t Close() = 0;
  virtual std::int16_t ReadNBytes(std::int32_t N, void* V, bool Encrypted, std::int64_t Pos) = 0;
  virtual std::int16_t WriteNBytes(std::int32_t N, const void* V, bool Encrypted,
                                   std::int64_t Pos) = 0;
  virtual std::int16_t TestNBytes(std::int32_t N, const void* V, std::int64_t Pos) = 0;
  // The size in bytes, or the negated error code.
  virtual std::int64_t Size() = 0;
  virtual std::int16_t Cut(std::int64_t Pos) = 0;
  virtual std::int16_t Erase() = 0;
  virtual std::int16_t Lock() = 0;
  virtual std::int16_t Unlock() = 0;
  // 1 locked, 0 held elsewhere, or the negated error code.
  virtual std::int16_t LockRange(std::int64_t StartPos, std::int64_t Length, bool ForWrite) = 0;
  virtual std::int16_t UnlockRange(std::int64_t StartPos, std::int64_t Length, bool ForWrite) = 0;
  // 1 when another handle holds some of the range, 0 when it is free, or the negated error code.
  virtual std::int16_t IsRangeLocked(std::int64_t StartPos, std::int64_t Length) = 0;

  std::int16_t GetError() const { return FError; }
  // The cipher is not owned; none (nullptr) stores the data as it is.
  void SetEncryption(TVdbBlockCipher* Encryption) { FEncryption = Encryption; }
  TVdbBlockCipher* GetEncryption() const { return FEncryption; }

 protected:
  std::int16_t FError = 0;
  TVdbBlockCipher* FEncryption = nullptr;
  std::vector<std::uint8_t> FEncryptBuffer;
};

// A TVdbStream over one file of a file-system object. It never raises for file errors. After a
// failed read or write the handle is closed, so that the next operation opens the file again
// with the remembered name and mode; while the stream holds a lock (Lock or LockRange) the
// handle is kept instead, because closing it would silently give the lock up.
class TkxFileSystemVdbStream : public TVdbStream {
 public:
  explicit TkxFileSystemVdbStream(TkxFileSystem& FileSystem);
  ~TkxFileSystemVdbStream() override;

  std::int16_t Reset(const std::string& Name, std::int32_t Access) override;
  std::int16_t Rewrite(const std::string& Name, std::int32_t Access,
                       TVdbLowFileRights Rights) override;
  std::int16_t Close() override;
  std::int16_t ReadNBytes(std::int32_t N, void* V, bool Encrypted, std::int64_t Pos) override;
  std::int16_t WriteNBytes(std::int32_t N, const void* V, bool Encrypted,
                           std::int64_t Pos) override;
  std::int16_t TestNBytes(std::int32_t N, const void* V, std::int64_t Pos) override;
  std::int64_t Size() override;
  std::int16_t Cut(std::int64_t Pos) override;
  // Closes the stream's own handle first: a file cannot be deleted while a handle holds it.
  std::int16_t Erase() override;
  // Counted: the first call locks byte 0, retrying a refused lock after a pause of 100 to
  // 199 ms up to 1000 times (then error 9); the last Unlock releases it.
  std::int16_t Lock() override;
  std::int16_t Unlock() override;
  std::int16_t LockRange(std::int64_t StartPos, std::int64_t Length, bool ForWrite) override;
  std::int16_t UnlockRange(std::int64_t StartPos, std::int64_t Length, bool ForWrite) override;
  std::int16_t IsRangeLocked(std::int64_t StartPos, std::int64_t Length) override;

  std::int32_t GetHandle() const { return FHandle; }
  const std::string& GetFileName() const { return FFileName; }
  std::int32_t GetFileMode() const { return FFileMode; }
  std::int32_t GetLockCount() const { return FLockCount; }
  TkxFileSystem& GetFileSystem() const { return *FFileSystem; }

 protected:
  // How Lock waits for a refused lock: Retries more tries, each after a pause of
  // MinPauseMs + a random 0 .. PauseSpreadMs - 1 milliseconds.
  void SetLockRetry(std::int32_t Retries, std::int32_t MinPauseMs, std::int32_t PauseSpreadMs);

 private:
  std::int16_t Result(std::int16_t ErrorCode);
  // Opens the file again with the remembered name and mode when the handle is not valid.
  bool EnsureOpen();
  void CloseHandle();
  // After a failed transfer: close the handle unless that would give up a lock.
  void DropHandleAfterFailure();
  std::int16_t Transfer(std::int32_t N, const void* Data, bool Encrypted, std::int64_t Pos);

  TkxFileSystem* FFileSystem;
  std::int32_t FHandle = kxInvalidHandle;
  std::string FFileName;
  std::int32_t FFileMode = 0;
  std::int32_t FLockCount = 0;
  std::vector<std::pair<std::int64_t, std::int64_t>> FLockedRanges;  // taken with LockRange
  std::int32_t FLockRetries = 1000;
  std::int32_t FLockPauseMin = 100;
  std::int32_t FLockPauseSpread = 100;
};

}  // namespace vdb
