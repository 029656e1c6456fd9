// The in-memory file system: files, sizes, locks between handles, searches, renames, and the
// bound that keeps damaged input from taking unbounded memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "storage/kxMemFileSystem.h"

namespace vdb {
namespace {

TEST(kxMemFileSystem, WrittenBytesReadBackAndFilesKeepTheirSize) {
  TkxMemFileSystem Fs;
  const TkxFileHandle File(Fs, Fs.CreateFile("\\dir\\a.bin"));
  ASSERT_TRUE(File.Valid());
  EXPECT_EQ(Fs.FileWrite(File.Get(), "hello", 5, 10), 5);  // a gap reads as zeros
  EXPECT_EQ(Fs.GetFileSize(File.Get()), 15);
  char Buffer[20] = {};
  EXPECT_EQ(Fs.FileRead(File.Get(), Buffer, 20, 8), 7);
  EXPECT_EQ(std::string(Buffer, 7), std::string("\0\0hello", 7));
  EXPECT_EQ(Fs.FileRead(File.Get(), Buffer, 4, 15), 0);
  EXPECT_TRUE(Fs.EndOfFile(File.Get(), 15));
  Fs.SetFileSize(File.Get(), 12);  // shortens
  Fs.SetFileSize(File.Get(), 100);  // never lengthens
  EXPECT_EQ(Fs.GetFileSize(File.Get()), 12);
  // "/" and "\" name the same file; a second handle sees the same bytes.
  const TkxFileHandle Again(Fs, Fs.OpenFile("/dir/a.bin", fmOpenRead));
  ASSERT_TRUE(Again.Valid());
  EXPECT_EQ(Fs.GetFileSize(Again.Get()), 12);
  EXPECT_EQ(Fs.FileWrite(Again.Get(), "x", 1, 0), -1);  // opened for reading
  EXPECT_EQ(Fs.GetLastError(), kxErrorAccessDenied);
}

TEST(kxMemFileSystem, ErrorsAreResultsWithTheirLastError) {
  TkxMemFileSystem Fs;
  EXPECT_EQ(Fs.OpenFile("none", fmOpenRead), -1);
  EXPECT_EQ(Fs.GetLastError(), kxErrorFileNotFound);
  char Byte = 0;
  EXPECT_EQ(Fs.FileRead(77, &Byte, 1, 0), -1);
  EXPECT_EQ(Fs.GetLastError(), kxErrorInvalidHandle);
  EXPECT_THROW(Fs.GetFileSize(77), EkxInOutError);
  const TkxFileHandle File(Fs, Fs.CreateFile("big"));
  // Damaged input asking for a huge file meets a full disk instead of taking the memory.
  EXPECT_EQ(Fs.FileWrite(File.Get(), &Byte, 1, TkxMemFileSystem::kMaxFileSize), -1);
  EXPECT_EQ(Fs.GetLastError(), kxErrorDiskFull);
  EXPECT_FALSE(Fs.DeleteFile("none"));
  EXPECT_FALSE(Fs.RenameFile("none", "other"));
}

TEST(kxMemFileSystem, LocksExcludeOtherHandlesUntilReleased) {
  TkxMemFileSystem Fs;
  Fs.PutFile("lock", std::vector<std::uint8_t>(64));
  const TkxFileHandle A(Fs, Fs.OpenFile("lock", fmOpenReadWrite));
  const TkxFileHandle B(Fs, Fs.OpenFile("lock", fmOpenReadWrite));
  EXPECT_EQ(Fs.LockFile(A.Get(), 0, 4, true), 1);
  EXPECT_EQ(Fs.LockFile(B.Get(), 2, 8, true), 0);
  EXPECT_EQ(Fs.GetLastError(), kxErrorLockViolation);
  EXPECT_EQ(Fs.LockFile(B.Get(), 4, 8, true), 1);  // adjacent ranges do not overlap
  Fs.UnlockFile(A.Get(), 0, 4, true);
  EXPECT_EQ(Fs.LockFile(B.Get(), 0, 4, true), 1);
}

TEST(kxMemFileSystem, SearchesRenamesAndDeletes) {
  TkxMemFileSystem Fs;
  Fs.PutFile("\\T.vdbt", {1, 2, 3});
  Fs.PutFile("\\T.vdbm", {});
  Fs.PutFile("\\sub\\U.vdbt", {});
  ASSERT_TRUE(Fs.CreateDir("\\sub"));
  const auto Names = [&Fs](const std::string& Pattern, std::int32_t Attr) {
    std::vector<std::string> Found;
    TkxFindFileRec Rec;
    for (bool More = Fs.FindFirstFile(Pattern, Attr, Rec); More; More = Fs.FindNextFile(Rec))
      Found.push_back(Rec.Name + ((Rec.Attr & faDirectory) ? "/" : ":" + std::to_string(Rec.Size)));
    Fs.FindFileClose(Rec);
    std::sort(Found.begin(), Found.end());
    return Found;
  };
  EXPECT_EQ(Names("\\*.vdbt", faAnyFile), (std::vector<std::string>{"T.vdbt:3"}));
  EXPECT_EQ(Names("\\*", faAnyFile), (std::vector<std::string>{"T.vdbm:0", "T.vdbt:3", "sub/"}));
  EXPECT_EQ(Names("\\*", faAnyFile & ~faDirectory), (std::vector<std::string>{"T.vdbm:0", "T.vdbt:3"}));
  EXPECT_TRUE(Fs.RenameFile("\\T.vdbt", "\\V.vdbt"));
  EXPECT_FALSE(Fs.FileExists("\\T.vdbt"));
  EXPECT_EQ(Fs.GetFile("\\V.vdbt"), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_TRUE(Fs.DeleteFile("\\V.vdbt"));
  EXPECT_EQ(Names("\\*.vdbt", faAnyFile), std::vector<std::string>{});
}

}  // namespace
}  // namespace vdb
