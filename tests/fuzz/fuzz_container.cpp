// Fuzz target of the compound container: the input is written to a temporary file, opened as a
// container, its directory tree walked and every file read; then the consistency check runs and
// a short series of writes is tried on the (possibly damaged) container, followed by another
// check. Damaged input may be refused or raise the container's errors; it must never crash,
// hang or touch memory out of bounds.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "storage/kxCompoundFile.h"

namespace {

constexpr int kMaxDepth = 6;
constexpr std::int64_t kMaxBytesPerFile = 1 << 22;

const std::string& InputPath() {
  static const std::string Path = [] {
    const char* Base = std::getenv("TMPDIR");
    std::string Dir = std::string(Base && *Base ? Base : "/tmp") + "/fuzz_container.XXXXXX";
    if (!::mkdtemp(Dir.data())) std::abort();
    return Dir + "/input.vdbd";
  }();
  return Path;
}

void WriteInput(const std::uint8_t* Data, std::size_t Size) {
  vdb::TkxOSFileSystem OS;
  const std::int32_t Handle = OS.CreateFile(InputPath());
  if (Handle < 0) std::abort();
  if (Size > 0 && OS.FileWrite(Handle, Data, static_cast<std::int32_t>(Size), 0) !=
                      static_cast<std::int32_t>(Size))
    std::abort();
  OS.CloseFile(Handle);
}

void ReadFile(vdb::TkxCompoundFileIntf& Container, const std::string& Path) {
  const std::int32_t Handle = Container.OpenFile(Path, vdb::fmOpenRead);
  if (Handle < 0) return;
  std::vector<std::uint8_t> Buffer(20000);
  try {
    const std::int64_t Size = Container.GetFileSize(Handle);
    for (std::int64_t Pos = 0; Pos < Size && Pos < kMaxBytesPerFile;) {
      const std::int32_t Got =
          Container.FileRead(Handle, Buffer.data(), static_cast<std::int32_t>(Buffer.size()), Pos);
      if (Got <= 0) break;
      Pos += Got;
    }
    Container.EndOfFile(Handle, Size);
  } catch (const std::exception&) {
    // damaged chain: reported, not followed
  }
  Container.CloseFile(Handle);
}

void Walk(vdb::TkxCompoundFileIntf& Container, const std::string& Dir, int Depth) {
  vdb::TkxFindFileRec Rec;
  std::vector<std::pair<std::string, bool>> Entries;
  try {
    for (bool Found = Container.FindFirstFile(Dir + "*", vdb::faAnyFile, Rec); Found;
         Found = Container.FindNextFile(Rec))
      Entries.emplace_back(Rec.Name, (Rec.Attr & vdb::faDirectory) != 0);
  } catch (const std::exception&) {
  }
  Container.FindFileClose(Rec);
  for (const auto& [Name, IsDir] : Entries) {
    const std::string Path = Dir + Name;
    Container.GetFirstPageNo(Path);
    if (!IsDir) ReadFile(Container, Path);
    else if (Depth < kMaxDepth) Walk(Container, Path + "\\", Depth + 1);
  }
}

void ReadAll() {
  vdb::TkxCompoundFileIntf Container(InputPath(), true);
  try {
    Container.Open();
    Walk(Container, "\\", 0);
    Container.GetFreePagesCount();
    Container.GetPageChain(Container.GetFreeListPage());
  } catch (const std::exception&) {
  }
}

void Check() {
  vdb::TkxCompoundFileIntf Container(InputPath(), true);
  try {
    Container.PerformCheck([](const std::string&, const std::string&) {});
  } catch (const std::exception&) {
  }
}

void WriteSome() {
  vdb::TkxCompoundFileIntf Container(InputPath());
  try {
    Container.Open();
    std::vector<std::uint8_t> Data(9000, 0x5A);
    const std::int32_t Handle = Container.CreateFile("\\fuzz.dat");
    if (Handle >= 0) {
      Container.FileWrite(Handle, Data.data(), static_cast<std::int32_t>(Data.size()), 0);
      Container.SetFileSize(Handle, 100);
      Container.SetFileSize(Handle, 20000);
      // Whole tiles of an existing file travel straight between caller and container file.
      std::vector<std::uint8_t> Tiles(2 * 8192, 0xA5);
      Container.FileWrite(Handle, Tiles.data(), static_cast<std::int32_t>(Tiles.size()), 0);
      Container.FileRead(Handle, Tiles.data(), static_cast<std::int32_t>(Tiles.size()), 8192);
      Container.CloseFile(Handle);
    }
    Container.CreateDir("\\fuzzdir");
    Container.RenameFile("\\fuzz.dat", "\\fuzz2.dat");
    Container.DeleteFile("\\fuzz2.dat");
    Container.Close();
  } catch (const std::exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  WriteInput(Data, Size);
  ReadAll();
  Check();
  WriteSome();
  Check();
  return 0;
}
