// Shared pieces of the page manager tests: a file system that records and can fail its reads and
// writes, a scratch directory, byte patterns and a toy cipher.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"

namespace vdb::test {

inline constexpr std::int32_t kTile = 8192;

// A file system (Base) with every read and write recorded and failures on demand.
struct TAccess {
  std::int64_t Pos;
  std::int32_t Count;
  bool operator==(const TAccess&) const = default;
};
using TAccesses = std::vector<TAccess>;

template <class Base>
class TProbe : public Base {
 public:
  using Base::Base;

  std::int32_t FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                        std::int64_t Position) override {
    if (FailReads) return -1;
    Reads.push_back({Position, Count});
    return Base::FileRead(Handle, Data, Count, Position);
  }

  std::int32_t FileWrite(std::int32_t Handle, const void* Data, std::int32_t Count,
                         std::int64_t Position) override {
    if (FailNextWrites > 0) {
      --FailNextWrites;
      return -1;
    }
    if (WritesBeforeFailure == 0) return -1;
    if (WritesBeforeFailure > 0) --WritesBeforeFailure;
    Writes.push_back({Position, Count});
    return Base::FileWrite(Handle, Data, Count, Position);
  }

  void ClearLog() {
    Reads.clear();
    Writes.clear();
  }

  TAccesses Reads;
  TAccesses Writes;
  bool FailReads = false;
  int WritesBeforeFailure = -1;  // -1: never fail
  int FailNextWrites = 0;         // this many writes fail, then writes succeed again
};

using TProbeFileSystem = TProbe<TkxOSFileSystem>;

// A scratch directory of its own for every test, removed afterwards.
class TScratchDir {
 public:
  TScratchDir() {
    const auto* Info = ::testing::UnitTest::GetInstance()->current_test_info();
    FPath = std::filesystem::temp_directory_path() /
            ("vdb_pm_" + std::string(Info->test_suite_name()) + "_" + Info->name() + "_" +
             std::to_string(::getpid()));
    std::filesystem::remove_all(FPath);
    std::filesystem::create_directories(FPath);
  }
  ~TScratchDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  const std::filesystem::path& Path() const { return FPath; }
  std::string File(const std::string& Name) const { return (FPath / Name).string(); }

 private:
  std::filesystem::path FPath;
};

// The byte that a pattern file holds at Pos; Seed tells different contents apart.
inline std::uint8_t PatternByte(std::int64_t Pos, int Seed = 0) {
  return static_cast<std::uint8_t>((Pos * 7 + Pos / kTile * 13 + Seed * 101) & 0xFF);
}

inline std::vector<std::uint8_t> Pattern(std::int64_t Size, int Seed = 0) {
  std::vector<std::uint8_t> Bytes(static_cast<std::size_t>(Size));
  for (std::int64_t I = 0; I < Size; ++I) Bytes[static_cast<std::size_t>(I)] = PatternByte(I, Seed);
  return Bytes;
}

// The 32-bit value a pattern file holds at Pos.
inline std::int32_t PatternInt(std::int64_t Pos, int Seed = 0) {
  std::uint32_t Value = 0;
  for (int I = 3; I >= 0; --I) Value = (Value << 8) | PatternByte(Pos + I, Seed);
  return static_cast<std::int32_t>(Value);
}

inline void WriteFileBytes(const std::string& Path, const std::vector<std::uint8_t>& Bytes) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(reinterpret_cast<const char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
}

inline std::vector<std::uint8_t> ReadFileBytes(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

// Adds a per-file key to every byte: enough to tell stored bytes from cached plain text.
class TXorCipher : public TVdbStorageCipher {
 public:
  explicit TXorCipher(std::uint8_t Key) : FKey(Key) {}
  void EncryptBlock(std::uint8_t* Data, std::size_t Size) override {
    for (std::size_t I = 0; I < Size; ++I) Data[I] ^= FKey;
  }
  void DecryptBlock(std::uint8_t* Data, std::size_t Size) override { EncryptBlock(Data, Size); }
  bool IsSameEncryption(const TVdbStorageCipher& Other) const override {
    const auto* Xor = dynamic_cast<const TXorCipher*>(&Other);
    return Xor != nullptr && Xor->FKey == FKey;
  }

 private:
  std::uint8_t FKey;
};

// Runs Action and answers the message of the exception of type E it throws ("" when none).
template <class E, class F>
std::string MessageOf(F&& Action) {
  try {
    Action();
  } catch (const E& Error) {
    return Error.what();
  }
  return "";
}

}  // namespace vdb::test
