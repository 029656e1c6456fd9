// Shared helpers of the compound container tests: a scratch directory, raw access to the
// container file for building damaged fixtures, contained-file round trips, the tile coverage
// of all chains, and child processes that run concurrently with the test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "storage/kxCompoundFile.h"
#include "storage/kxMemory.h"
#include "support/RunProcess.h"

namespace vdbtest {

// A fresh directory below the test temp directory, removed with everything in it.
class TTempDir {
 public:
  TTempDir() {
    static std::atomic<int> Counter{0};
    FPath = std::filesystem::path(::testing::TempDir()) /
            ("kxcf_" + std::to_string(::getpid()) + "_" + std::to_string(Counter++));
    std::filesystem::remove_all(FPath);
    std::filesystem::create_directories(FPath);
  }
  ~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  std::string File(const std::string& Name) const { return (FPath / Name).string(); }
  const std::filesystem::path& Path() const { return FPath; }

 private:
  std::filesystem::path FPath;
};

inline std::vector<std::uint8_t> ReadBytes(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(In), {});
}

inline void PatchBytes(const std::string& Path, std::int64_t Offset, const void* Data,
                       std::size_t Count) {
  std::fstream Out(Path, std::ios::binary | std::ios::in | std::ios::out);
  Out.seekp(Offset);
  Out.write(static_cast<const char*>(Data), static_cast<std::streamsize>(Count));
  ASSERT_TRUE(Out.good()) << "patching " << Path;
}

inline void PatchInt32(const std::string& Path, std::int64_t Offset, std::int32_t Value) {
  std::uint8_t Bytes[4];
  vdb::TkxMemory::WriteInt32(Bytes, 0, Value);
  PatchBytes(Path, Offset, Bytes, 4);
}

inline void PatchInt64(const std::string& Path, std::int64_t Offset, std::int64_t Value) {
  std::uint8_t Bytes[8];
  vdb::TkxMemory::WriteInt64(Bytes, 0, Value);
  PatchBytes(Path, Offset, Bytes, 8);
}

inline std::int32_t FileInt32(const std::vector<std::uint8_t>& Bytes, std::int64_t Offset) {
  return vdb::TkxMemory::ReadInt32(Bytes.data(), Offset);
}

// Offsets of a root directory entry in the container file (the root's first tile is 1).
inline std::int64_t RootEntryOffset(int Index) { return 8192 + 109LL * Index; }
inline std::int64_t FatOffset(int Tile) { return 1024 + 4LL * Tile; }

inline std::string Pattern(std::size_t Size, unsigned Seed) {
  std::string Data(Size, '\0');
  std::uint32_t X = Seed * 2654435761u + 1;
  for (char& C : Data) {
    X = X * 1103515245u + 12345u;
    C = static_cast<char>(X >> 24);
  }
  return Data;
}

inline void WriteContained(vdb::TkxCompoundFileIntf& C, const std::string& Path,
                           const std::string& Data) {
  const std::int32_t H = C.CreateFile(Path);
  ASSERT_GE(H, 32) << Path << " error " << C.GetLastError();
  ASSERT_EQ(C.FileWrite(H, Data.data(), static_cast<std::int32_t>(Data.size()), 0),
            static_cast<std::int32_t>(Data.size()));
  C.CloseFile(H);
}

inline std::string ReadContained(vdb::TkxCompoundFileIntf& C, const std::string& Path) {
  const std::int32_t H = C.OpenFile(Path, vdb::fmOpenRead);
  if (H < 0) return "<missing>";
  std::string Data(static_cast<std::size_t>(C.GetFileSize(H)), '\0');
  const std::int32_t Got = C.FileRead(H, Data.data(), static_cast<std::int32_t>(Data.size()), 0);
  C.CloseFile(H);
  if (Got != static_cast<std::int32_t>(Data.size())) return "<short read>";
  return Data;
}

// How many chains (master file, root, every entry of the tree, free list) hold each tile.
inline std::vector<int> TileCoverage(vdb::TkxCompoundFileIntf& C) {
  std::vector<int> Count(static_cast<std::size_t>(C.GetPageCount()), 0);
  const auto Add = [&](std::int32_t First) {
    for (std::int32_t Tile : C.GetPageChain(First)) ++Count[static_cast<std::size_t>(Tile)];
  };
  Add(0);
  Add(1);
  Add(C.GetFreeListPage());
  std::vector<std::string> Dirs{"\\"};
  while (!Dirs.empty()) {
    const std::string Dir = Dirs.back();
    Dirs.pop_back();
    vdb::TkxFindFileRec Rec;
    for (bool Found = C.FindFirstFile(Dir + "*", vdb::faAnyFile, Rec); Found;
         Found = C.FindNextFile(Rec)) {
      const std::int32_t First = C.GetFirstPageNo(Dir + Rec.Name);
      if (First >= 0) Add(First);
      if (Rec.Attr & vdb::faDirectory) Dirs.push_back(Dir + Rec.Name + "\\");
    }
    C.FindFileClose(Rec);
  }
  return Count;
}

inline bool WaitForFile(const std::string& Path, int Seconds = 30) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  while (!std::filesystem::exists(Path)) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline std::string HelperPath() { return std::string(VDB_TEST_HELPER_DIR) + "/container_helper"; }

}  // namespace vdbtest
