#include "storage/kxFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/kxFileSystemTestSupport.h"

namespace vdb {
namespace {

namespace stdfs = std::filesystem;

int CountOpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : stdfs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

using kxOSFileSystemTest = kxFileDirTest;

// --- Paths ---------------------------------------------------------------------------------------

TEST(kxOSFileSystemPathTest, ExpandFileNameTable) {
  struct {
    std::string Base, Path, Expected;
  } cases[] = {
      {"/a/b/c", "", "/a/b/c/"},
      {"/a/b/c", "x.vdbt", "/a/b/c/x.vdbt"},
      {"/a/b/c", "./x", "/a/b/c/x"},
      {"/a/b/c", "../x", "/a/b/x"},
      {"/a/b/c", "../../x/y", "/a/x/y"},  // two parent steps: the base's grandparent
      {"/a/b/c", "../../../x", "/x"},
      {"/a/b/c", "../../../../x", "/x"},
      {"/a/b/c", "..", "/a/b"},
      {"/a/b/c", "/abs/p", "/abs/p"},
      {"/a/b/c", "sub/../y", "/a/b/c/sub/../y"},  // only leading steps are resolved
      {"/a/b/c", "x\\y", "/a/b/c/x\\y"},          // "\" is an ordinary character here
      {"/a/b/c/", "x", "/a/b/c/x"},
      {"/", "x", "/x"},
      {"/", "../x", "/x"},
      {"/a", "../x", "/x"},
      {"", "../x", "../x"},  // no base directory: unchanged
      {"", "", ""},
      {"rel/dir", "../x", "rel/x"},
      {"rel/dir", "../../x", "./x"},
  };
  for (const auto& c : cases) {
    TkxOSFileSystem fs(c.Base);
    EXPECT_EQ(fs.ExpandFileName(c.Path), c.Expected) << c.Base << " + " << c.Path;
  }
  EXPECT_EQ(TkxOSFileSystem("/a/b/").GetBaseDirectory(), "/a/b");
  EXPECT_EQ(TkxOSFileSystem("/").GetBaseDirectory(), "/");
}

TEST(kxOSFileSystemPathTest, FixedAnswers) {
  TkxOSFileSystem fs;
  EXPECT_EQ(fs.GetPageSize(), 8192);
  fs.SetPageSize(4096);
  EXPECT_EQ(fs.GetPageSize(), 8192);
  EXPECT_TRUE(fs.SupportsExclusiveFiles());
  EXPECT_EQ(fs.Clear(), 0);
  EXPECT_TRUE(fs.ForcePath("/no/such/dir"));
  EXPECT_FALSE(stdfs::exists("/no/such/dir"));
  EXPECT_TRUE(TkxFileSystem::IsValidHandle(0));
  EXPECT_FALSE(TkxFileSystem::IsValidHandle(-1));
}

TEST(kxOSFileSystemPathTest, ErrorMessages) {
  struct {
    std::int32_t Code;
    std::string Text;
  } cases[] = {
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {32, "The process cannot access the file because it is being used by another process."},
      {33, "The process cannot access the file because another process has locked a portion of "
           "the file."},
      {183, "Cannot create a file when that file already exists."},
      {1000, "No locking support"},
      {1001, "Unknown reason"},
      {1117, "Unknown reason"},
      {70000, "Unknown reason"},
      {999, "System error 999."},
  };
  for (const auto& c : cases) EXPECT_EQ(TkxFileSystem::GetErrorMessage(c.Code), c.Text) << c.Code;
}

TEST(kxOSFileSystemPathTest, LastErrorBelongsToTheThread) {
  TkxOSFileSystem fs;
  fs.SetLastError(32);
  std::atomic<int> seen{-1};
  std::thread([&] {
    seen = fs.GetLastError();
    fs.SetLastError(183);
  }).join();
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(fs.GetLastError(), 32);
  TkxOSFileSystem other;
  EXPECT_EQ(other.GetLastError(), 32) << "one last error per thread, as the system keeps it";
}

// --- Files ---------------------------------------------------------------------------------------

TEST_F(kxOSFileSystemTest, ReadWriteSizeAndShrinkOnlySetFileSize) {
  std::int32_t h = FS.CreateFile("data.bin");
  ASSERT_GE(h, 0);
  EXPECT_EQ(FS.OpenFile("data.bin", 64), -1) << "a created file is held without sharing";
  EXPECT_EQ(FS.GetLastError(), 32);
  EXPECT_EQ(FS.FileWrite(h, "0123456789", 10, 0), 10);
  EXPECT_EQ(FS.FileWrite(h, "AB", 2, 4), 2);
  EXPECT_EQ(FS.GetFileSize(h), 10);
  char buf[32] = {};
  EXPECT_EQ(FS.FileRead(h, buf, 10, 0), 10);
  EXPECT_EQ(std::string(buf, 10), "0123AB6789");
  EXPECT_EQ(FS.FileRead(h, buf, 8, 6), 4) << "short read at the end";
  EXPECT_EQ(FS.FileRead(h, buf, 8, 10), 0) << "at the end";
  EXPECT_EQ(FS.FileRead(h, buf, 8, 1000), 0) << "beyond the end";
  EXPECT_EQ(FS.FileRead(h, buf, 8, -1), 0) << "a failed seek";
  EXPECT_EQ(FS.GetLastError(), 131);
  EXPECT_EQ(FS.FileWrite(h, buf, 1, -5), 0);
  EXPECT_FALSE(FS.EndOfFile(h, 9));
  EXPECT_TRUE(FS.EndOfFile(h, 10));
  EXPECT_TRUE(FS.EndOfFile(h, 11));

  FS.SetFileSize(h, 100);
  EXPECT_EQ(FS.GetFileSize(h), 10) << "a larger size leaves the file unchanged";
  EXPECT_EQ(ReadFile("data.bin"), "0123AB6789");
  FS.SetFileSize(h, 3);
  EXPECT_EQ(FS.GetFileSize(h), 3);
  EXPECT_THROW(FS.SetFileSize(h, -1), EkxInOutError);
  EXPECT_EQ(FS.FileWrite(h, "Z", 1, 5), 1) << "writing beyond the end extends the file";
  EXPECT_EQ(ReadFile("data.bin"), std::string("012\0\0Z", 6));
  FS.CloseFile(h);

  std::int32_t again = FS.CreateFile("data.bin");
  ASSERT_GE(again, 0);
  EXPECT_EQ(FS.GetFileSize(again), 0) << "CreateFile empties an existing file";
  FS.CloseFile(again);
}

TEST_F(kxOSFileSystemTest, AccessModesAreEnforced) {
  WriteFile("f", "abcdef");
  std::int32_t reader = FS.OpenFile("f", fmOpenRead | fmShareDenyNone);
  std::int32_t writer = FS.OpenFile("f", fmOpenWrite | fmShareDenyNone);
  ASSERT_GE(reader, 0);
  ASSERT_GE(writer, 0);
  char buf[8];
  EXPECT_EQ(FS.FileWrite(reader, "x", 1, 0), -1);
  EXPECT_EQ(FS.GetLastError(), 5);
  EXPECT_THROW(FS.SetFileSize(reader, 1), EkxInOutError);
  EXPECT_EQ(FS.FileRead(writer, buf, 1, 0), -1);
  EXPECT_EQ(FS.GetLastError(), 5);
  EXPECT_EQ(FS.FileWrite(writer, "X", 1, 0), 1);
  EXPECT_EQ(FS.FileRead(reader, buf, 6, 0), 6);
  EXPECT_EQ(std::string(buf, 6), "Xbcdef");
  for (std::int32_t badMode : {3, 15, 0x50, 0xF2}) {
    EXPECT_EQ(FS.OpenFile("f", badMode), -1) << badMode;
    EXPECT_EQ(FS.GetLastError(), 87) << badMode;
  }
  FS.CloseFile(reader);
  FS.CloseFile(writer);
}

TEST_F(kxOSFileSystemTest, BadHandlesFailCleanlyOnEveryOperation) {
  std::int32_t closed = FS.CreateFile("c");
  ASSERT_GE(closed, 0);
  FS.CloseFile(closed);
  for (std::int32_t h : {-1, closed, 0, 2, 987654}) {  // 0 and 2: open, but not opened by us
    SCOPED_TRACE(h);
    char buf[4] = {};
    EXPECT_EQ(FS.FileRead(h, buf, 4, 0), 0);
    EXPECT_EQ(FS.GetLastError(), 6);
    EXPECT_EQ(FS.FileWrite(h, buf, 4, 0), 0);
    EXPECT_EQ(FS.GetLastError(), 6);
    try {
      FS.GetFileSize(h);
      ADD_FAILURE() << "GetFileSize must raise";
    } catch (const EkxInOutError& e) {
      EXPECT_STREQ(e.what(), "Windows cannot determine file size (6).");
      EXPECT_EQ(e.ErrorCode(), 6);
    }
    try {
      FS.SetFileSize(h, 0);
      ADD_FAILURE() << "SetFileSize must raise";
    } catch (const EkxInOutError& e) {
      EXPECT_STREQ(e.what(), "Cannot set end of of file");
      EXPECT_EQ(e.ErrorCode(), 6);
    }
    FS.SetLastError(0);
    EXPECT_TRUE(FS.EndOfFile(h, 0));
    EXPECT_EQ(FS.GetLastError(), 6);
    EXPECT_EQ(FS.LockFile(h, 0, 1, true), -1);
    EXPECT_EQ(FS.GetLastError(), 6);
    FS.SetLastError(0);
    FS.UnlockFile(h, 0, 1, true);
    EXPECT_EQ(FS.GetLastError(), 6);
    FS.CloseFile(h);
  }
  EXPECT_NE(fcntl(0, F_GETFD), -1) << "a handle we never opened is never closed";
  EXPECT_NE(fcntl(2, F_GETFD), -1);
}

TEST_F(kxOSFileSystemTest, MissingFilesDirectoriesAndWrongKinds) {
  WriteFile("file.txt", "x");
  stdfs::create_directory(FDir / "dir");
  stdfs::create_directory(FDir / "full");
  WriteFile("full/inside", "y");
  struct {
    const char* What;
    std::function<bool()> Call;
    std::int32_t Error;
  } cases[] = {
      {"open missing file", [&] { return FS.OpenFile("nope", 66) >= 0; }, 2},
      {"open in missing dir", [&] { return FS.OpenFile("nodir/nope", 66) >= 0; }, 3},
      {"open below a file", [&] { return FS.OpenFile("file.txt/x", 66) >= 0; }, 3},
      {"open a directory", [&] { return FS.OpenFile("dir", 64) >= 0; }, 5},
      {"open a directory read-write", [&] { return FS.OpenFile("dir", 66) >= 0; }, 5},
      {"create over a directory", [&] { return FS.CreateFile("dir") >= 0; }, 5},
      {"create in missing dir", [&] { return FS.CreateFile("nodir/new") >= 0; }, 3},
      {"delete missing file", [&] { return FS.DeleteFile("nope"); }, 2},
      {"delete in missing dir", [&] { return FS.DeleteFile("nodir/nope"); }, 3},
      {"delete a directory", [&] { return FS.DeleteFile("dir"); }, 5},
      {"create existing dir", [&] { return FS.CreateDir("dir"); }, 183},
      {"create dir in missing dir", [&] { return FS.CreateDir("nodir/sub"); }, 3},
      {"remove missing dir", [&] { return FS.RemoveDir("nodir"); }, 2},
      {"remove full dir", [&] { return FS.RemoveDir("full"); }, 145},
      {"remove a file as dir", [&] { return FS.RemoveDir("file.txt"); }, 267},
      {"rename missing", [&] { return FS.RenameFile("nope", "other"); }, 2},
      {"rename onto existing", [&] { return FS.RenameFile("full/inside", "file.txt"); }, 183},
      {"rename into missing dir", [&] { return FS.RenameFile("file.txt", "nodir/x"); }, 3},
  };
  for (const auto& c : cases) {
    FS.SetLastError(0);
    EXPECT_FALSE(c.Call()) << c.What;
    EXPECT_EQ(FS.GetLastError(), c.Error) << c.What;
  }
  EXPECT_EQ(ReadFile("file.txt"), "x");
  EXPECT_EQ(ReadFile("full/inside"), "y");
  EXPECT_TRUE(FS.CreateDir("made"));
  EXPECT_TRUE(FS.RenameFile("file.txt", "made/moved.txt"));
  EXPECT_EQ(ReadFile("made/moved.txt"), "x");
  EXPECT_TRUE(FS.DeleteFile("made/moved.txt"));
  EXPECT_TRUE(FS.RemoveDir("made"));
  EXPECT_FALSE(stdfs::exists(FDir / "made"));
}

TEST_F(kxOSFileSystemTest, NoDescriptorLeaksOnFailures) {
  WriteFile("held", "content");
  stdfs::create_directory(FDir / "dir");
  int before = CountOpenDescriptors();
  std::int32_t holder = FS.OpenFile("held", fmOpenReadWrite | fmShareExclusive);
  ASSERT_GE(holder, 0);
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(FS.OpenFile("missing", 66), -1);
    EXPECT_EQ(FS.OpenFile("dir", 66), -1);
    EXPECT_EQ(FS.OpenFile("dir", 64), -1);
    EXPECT_EQ(FS.OpenFile("held", 64), -1);
    EXPECT_EQ(FS.CreateFile("held"), -1);
    EXPECT_EQ(FS.CreateFile("dir"), -1);
    EXPECT_FALSE(FS.DeleteFile("held"));
    EXPECT_FALSE(FS.RenameFile("held", "x"));
    TkxFindFileRec rec;
    EXPECT_FALSE(FS.FindFirstFile("nodir/*", faAnyFile, rec));
    EXPECT_TRUE(FS.FindFirstFile("*", faAnyFile, rec));  // abandoned, then restarted
    EXPECT_TRUE(FS.FindFirstFile("*", faAnyFile, rec));
    FS.FindFileClose(rec);
    EXPECT_THROW(TkxFileSystemStream("held", FS, 64), EkxFileOpenError);
    EXPECT_THROW(TkxFileSystemStream("held", FS, fmCreate), EkxFileCreateError);
  }
  FS.CloseFile(holder);
  EXPECT_EQ(CountOpenDescriptors(), before);
  EXPECT_EQ(ReadFile("held"), "content");
}

// --- Byte-range locks ----------------------------------------------------------------------------

TEST_F(kxOSFileSystemTest, RangeLocksAreExclusivePerHandle) {
  WriteFile("lock", "");
  std::int32_t a = FS.OpenFile("lock", 66);
  std::int32_t b = FS.OpenFile("lock", 66);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  struct {
    std::int32_t Handle;
    std::int64_t Start, End;
    std::int32_t Result, Error;
  } steps[] = {
      {a, 0, 4, 1, 0},
      {a, 0, 4, 0, 33},  // the same handle again: locks do not nest
      {a, 2, 3, 0, 33},  // overlapping a range it holds
      {b, 3, 5, 0, 33},  // another handle
      {b, 4, 8, 1, 0},   // adjacent is free
      {a, 8, 9, 1, 0},
      {b, 0x100000000LL, 0x100000002LL, 0, 33},  // only the low 32 bits count: bytes 0 and 1
      {a, 5, 5, 0, 87},                          // an empty range
  };
  for (const auto& s : steps) {
    FS.SetLastError(0);
    std::int32_t result = FS.LockFile(s.Handle, s.Start, s.End, false);
    if (s.Error == 87) {
      EXPECT_EQ(result, -1);
    } else {
      EXPECT_EQ(result, s.Result) << s.Start << ".." << s.End;
    }
    EXPECT_EQ(FS.GetLastError(), s.Error) << s.Start << ".." << s.End;
  }
  FS.UnlockFile(a, 0, 2, true);
  EXPECT_EQ(FS.GetLastError(), 158) << "only a range exactly as locked is released";
  EXPECT_EQ(FS.LockFile(b, 0, 1, true), 0);
  FS.UnlockFile(a, 0, 4, true);
  EXPECT_EQ(FS.LockFile(b, 0, 1, true), 1);
  EXPECT_EQ(FS.LockFile(a, 1, 4, true), 1) << "the rest of the released range";
  FS.CloseFile(b);
  EXPECT_EQ(FS.LockFile(a, 4, 8, true), 1) << "closing a handle releases its locks";
  FS.CloseFile(a);
}

TEST_F(kxOSFileSystemTest, LocksConflictWithAnotherProcess) {
  WriteFile("lock", "0123456789");
  std::int32_t h = FS.OpenFile("lock", 66);
  ASSERT_GE(h, 0);
  ASSERT_EQ(FS.LockFile(h, 10, 20, true), 1);
  auto lines = RunHelper({"open", Path("lock"), "66", "lock", "10", "20", "lock", "15", "16",
                          "lock", "19", "25", "lock", "20", "30", "lock", "0", "10", "read", "0",
                          "4"});
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_GE(lines[0].Result, 0);
  struct {
    long long Result;
    int Error;
  } expected[] = {{0, 33}, {0, 33}, {0, 33}, {1, 0}, {1, 0}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(lines[1 + i].Result, expected[i].Result) << i;
    if (expected[i].Result == 0) {
      EXPECT_EQ(lines[1 + i].Error, expected[i].Error) << i;
    }
  }
  EXPECT_EQ(lines[6].Data, "0123") << "reads are not blocked by locks";

  {
    HeldHelper other({"open", Path("lock"), "66", "lock", "0", "4"});
    ASSERT_EQ(other.Lines.size(), 2u);
    ASSERT_EQ(other.Lines[1].Result, 1);
    EXPECT_EQ(FS.LockFile(h, 0, 4, true), 0);
    EXPECT_EQ(FS.GetLastError(), 33);
    EXPECT_EQ(FS.LockFile(h, 3, 4, true), 0);
    auto stream = TkxFileSystemStream::CreateFromHandle(FS.OpenFile("lock", 66), FS);
    EXPECT_TRUE(stream->IsRangeLocked(0, 4));
    EXPECT_TRUE(stream->IsRangeLocked(2, 1));
    EXPECT_FALSE(stream->IsRangeLocked(4, 4));
    EXPECT_FALSE(stream->IsRangeLocked(4, 4)) << "the test lock was released again";
    EXPECT_TRUE(stream->IsRangeLocked(10, 1)) << "held by another handle of this process";
    other.Finish();
    EXPECT_FALSE(stream->IsRangeLocked(0, 4)) << "the process ended, its locks are gone";
  }
  EXPECT_EQ(FS.LockFile(h, 0, 4, true), 1);
  FS.CloseFile(h);
}

// --- Share modes ---------------------------------------------------------------------------------

TEST_F(kxOSFileSystemTest, ShareModesWithinOneProcess) {
  WriteFile("shared", "keep");
  struct {
    std::int32_t First, Second;
    bool Allowed;
  } cases[] = {
      {66, 66, true},   {66, 64, true},   {64, 66, true},   {64, 64, true},
      {18, 66, false},  {18, 64, false},  {66, 18, false},  {16, 64, false},
      {64, 16, false},  {0, 0, false},    {2, 64, false},   {32, 64, true},
      {32, 32, true},   {32, 66, false},  {66, 32, false},  {65, 32, false},
      {65, 64, true},   {34, 64, true},   {34, 66, false},  {48, 65, true},
      {48, 64, false},  {64, 48, false},  {65, 48, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.First) + " then " + std::to_string(c.Second));
    std::int32_t first = FS.OpenFile("shared", c.First);
    ASSERT_GE(first, 0);
    std::int32_t second = FS.OpenFile("shared", c.Second);
    EXPECT_EQ(second >= 0, c.Allowed);
    if (!c.Allowed) {
      EXPECT_EQ(FS.GetLastError(), 32);
    }
    FS.CloseFile(second);
    FS.CloseFile(first);
    std::int32_t after = FS.OpenFile("shared", c.Second);
    EXPECT_GE(after, 0) << "free again once the first handle is closed";
    FS.CloseFile(after);
  }
  EXPECT_EQ(ReadFile("shared"), "keep");
}

TEST_F(kxOSFileSystemTest, ExclusiveOpensRacingInThreadsNeverOverlap) {
  WriteFile("race", "");
  std::atomic<int> inside{0}, overlaps{0}, granted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      TkxOSFileSystem fs(FDir.string());
      for (int i = 0; i < 300; ++i) {
        std::int32_t h = (t + i) % 3 == 0 ? fs.CreateFile("race") : fs.OpenFile("race", 18);
        if (h < 0) {
          if (fs.GetLastError() != 32) ++overlaps;  // only sharing violations are expected
          continue;
        }
        ++granted;
        if (++inside != 1) ++overlaps;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        --inside;
        fs.CloseFile(h);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_GT(granted, 0);
}

TEST_F(kxOSFileSystemTest, CreateDeleteAndRenameRespectOpenHandles) {
  WriteFile("busy", "precious");
  std::int32_t h = FS.OpenFile("busy", 64);
  ASSERT_GE(h, 0);
  EXPECT_EQ(FS.CreateFile("busy"), -1);
  EXPECT_EQ(FS.GetLastError(), 32);
  EXPECT_FALSE(FS.DeleteFile("busy"));
  EXPECT_EQ(FS.GetLastError(), 32);
  EXPECT_FALSE(FS.RenameFile("busy", "moved"));
  EXPECT_EQ(FS.GetLastError(), 32);
  EXPECT_EQ(ReadFile("busy"), "precious") << "a refused create never truncates";
  FS.CloseFile(h);
  EXPECT_TRUE(FS.RenameFile("busy", "moved"));
  std::int32_t created = FS.CreateFile("moved");
  ASSERT_GE(created, 0);
  EXPECT_EQ(ReadFile("moved"), "");
  FS.CloseFile(created);
  EXPECT_TRUE(FS.DeleteFile("moved"));
}

TEST_F(kxOSFileSystemTest, PhysicallyExclusiveTurnsSharedOpensExclusive) {
  WriteFile("x", "1");
  TkxOSFileSystem exclusive(FDir.string());
  exclusive.SetPhysicallyExclusive(true);
  EXPECT_TRUE(exclusive.GetPhysicallyExclusive());
  std::int32_t h = exclusive.OpenFile("x", 66);
  ASSERT_GE(h, 0);
  EXPECT_EQ(FS.OpenFile("x", 64), -1);
  EXPECT_EQ(FS.GetLastError(), 32);
  exclusive.CloseFile(h);
  std::int32_t shared = FS.OpenFile("x", 66);
  ASSERT_GE(shared, 0);
  EXPECT_EQ(exclusive.OpenFile("x", 64), -1) << "an exclusive open next to a shared one";
  FS.CloseFile(shared);
}

TEST_F(kxOSFileSystemTest, ShareModesAcrossProcesses) {
  WriteFile("db", "container bytes");
  std::int32_t rw = FS.OpenFile("db", 66);
  ASSERT_GE(rw, 0);
  auto lines = RunHelper({"open", Path("db"), "66", "close", "open", Path("db"), "32", "open",
                          Path("db"), "18", "create", Path("db"), "delete", Path("db")});
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_GE(lines[0].Result, 0) << "two 66 opens coexist";
  EXPECT_EQ(lines[2].Result, -1) << "deny-write while another handle has write access";
  EXPECT_EQ(lines[2].Error, 32);
  EXPECT_EQ(lines[3].Result, -1);
  EXPECT_EQ(lines[3].Error, 32);
  EXPECT_EQ(lines[4].Result, -1) << "create over an open file";
  EXPECT_EQ(lines[4].Error, 32);
  EXPECT_EQ(lines[5].Result, 0);
  EXPECT_EQ(lines[5].Error, 32);
  EXPECT_EQ(ReadFile("db"), "container bytes");
  FS.CloseFile(rw);

  std::int32_t denyWrite = FS.OpenFile("db", 32);
  ASSERT_GE(denyWrite, 0);
  lines = RunHelper({"open", Path("db"), "66", "open", Path("db"), "64", "read", "0", "9"});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Result, -1) << "a write open next to a deny-write holder";
  EXPECT_EQ(lines[0].Error, 32);
  EXPECT_GE(lines[1].Result, 0);
  EXPECT_EQ(lines[2].Data, "container");
  FS.CloseFile(denyWrite);

  HeldHelper holder({"open", Path("db"), "18"});
  ASSERT_EQ(holder.Lines.size(), 1u);
  ASSERT_GE(holder.Lines[0].Result, 0);
  EXPECT_EQ(FS.OpenFile("db", 64), -1);
  EXPECT_EQ(FS.GetLastError(), 32);
  EXPECT_EQ(FS.CreateFile("db"), -1);
  EXPECT_EQ(FS.GetLastError(), 32);
  EXPECT_EQ(ReadFile("db"), "container bytes");
  holder.Finish();
  std::int32_t after = FS.OpenFile("db", 18);
  EXPECT_GE(after, 0);
  FS.CloseFile(after);
}

// --- Enumeration ---------------------------------------------------------------------------------

std::set<std::string> Enumerate(TkxFileSystem& Fs, const std::string& Pattern, std::int32_t Attr,
                                std::int32_t* Error = nullptr) {
  std::set<std::string> names;
  TkxFindFileRec rec;
  for (bool found = Fs.FindFirstFile(Pattern, Attr, rec); found; found = Fs.FindNextFile(rec)) {
    names.insert(rec.Name);
  }
  if (Error) *Error = Fs.GetLastError();
  Fs.FindFileClose(rec);
  return names;
}

TEST_F(kxOSFileSystemTest, EnumerationPatternsAndAttributeMask) {
  WriteFile("a.txt", "12345");
  WriteFile("b.dat", "");
  WriteFile("noext", "");
  WriteFile("\xC5\x91.txt", "");  // "ő.txt": "?" is one character, not one byte
  stdfs::create_directory(FDir / "sub");
  using Names = std::set<std::string>;
  struct {
    std::string Pattern;
    std::int32_t Attr;
    Names Expected;
  } cases[] = {
      {"*.*", 0, {"a.txt", "b.dat", "noext", "\xC5\x91.txt"}},
      {"*.*", faDirectory, {"a.txt", "b.dat", "noext", "\xC5\x91.txt", "sub"}},
      {"*", faAnyFile, {"a.txt", "b.dat", "noext", "\xC5\x91.txt", "sub"}},
      {"*.txt", 0, {"a.txt", "\xC5\x91.txt"}},
      {"?.txt", 0, {"a.txt", "\xC5\x91.txt"}},
      {"??.txt", 0, {}},
      {"noext.*", 0, {"noext"}},
      {"*e*", 0, {"noext"}},
      {"a.txt", 0, {"a.txt"}},
      {"sub", 0, {}},
      {"sub", faDirectory, {"sub"}},
      {Path("*.dat"), 0, {"b.dat"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Enumerate(FS, c.Pattern, c.Attr), c.Expected) << c.Pattern << " " << c.Attr;
  }
  std::int32_t error = 0;
  EXPECT_TRUE(Enumerate(FS, "nodir/*", faAnyFile, &error).empty());
  EXPECT_EQ(error, 3);
  EXPECT_TRUE(Enumerate(FS, "zz*", faAnyFile, &error).empty());
  EXPECT_EQ(error, 2);
  EXPECT_TRUE(Enumerate(FS, "nofile", faAnyFile, &error).empty());
  EXPECT_EQ(error, 2);
  EXPECT_EQ(Enumerate(FS, "*.*", faAnyFile, &error).size(), 5u);
  EXPECT_EQ(error, 18) << "the end of an enumeration";
}

TEST_F(kxOSFileSystemTest, EnumerationRecordFields) {
  WriteFile("a.txt", "12345");
  stdfs::create_directory(FDir / "sub");
  std::tm local{};
  local.tm_year = 121;  // 2021-03-04 05:06:08 local time
  local.tm_mon = 2;
  local.tm_mday = 4;
  local.tm_hour = 5;
  local.tm_min = 6;
  local.tm_sec = 8;
  local.tm_isdst = -1;
  timespec times[2] = {{std::mktime(&local), 0}, {std::mktime(&local), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("a.txt").c_str(), times, 0), 0);

  TkxFindFileRec rec;
  ASSERT_TRUE(FS.FindFirstFile("a.*", 0, rec));
  EXPECT_EQ(rec.Name, "a.txt");
  EXPECT_EQ(rec.Size, 5);
  EXPECT_EQ(rec.Attr & faDirectory, 0);
  EXPECT_EQ(rec.Time, (41 << 25) | (3 << 21) | (4 << 16) | (5 << 11) | (6 << 5) | 4);
  EXPECT_GE(rec.FindHandle, 0);
  EXPECT_FALSE(FS.FindNextFile(rec));
  FS.FindFileClose(rec);
  EXPECT_EQ(rec.FindHandle, -1);
  EXPECT_FALSE(FS.FindNextFile(rec)) << "after the close";

  ASSERT_TRUE(FS.FindFirstFile("s*", faDirectory, rec));
  EXPECT_EQ(rec.Name, "sub");
  EXPECT_EQ(rec.Attr & faDirectory, faDirectory);
  FS.FindFileClose(rec);
}

TEST_F(kxOSFileSystemTest, FileAndDirectoryExistence) {
  WriteFile("f.txt", "");
  stdfs::create_directory(FDir / "d");
  struct {
    std::string Name;
    bool File, Dir;
  } cases[] = {
      {"f.txt", true, false}, {"d", false, true},     {"d/", false, true},
      {"nope", false, false}, {"d/nope", false, false}, {FDir.string(), false, true},
      {"/", false, true},     {"", false, true},  // the base directory itself
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FS.FileExists(c.Name), c.File) << c.Name;
    EXPECT_EQ(FS.DirectoryExists(c.Name), c.Dir) << c.Name;
  }
}

// --- Copying -------------------------------------------------------------------------------------

std::string Pattern(std::size_t Size, int Seed) {
  std::string data(Size, '\0');
  for (std::size_t i = 0; i < Size; ++i) data[i] = static_cast<char>((i * 31 + Seed) % 251);
  return data;
}

TEST_F(kxOSFileSystemTest, CopyFileWholeChunksAndIntoDirectories) {
  for (std::size_t size : {0u, 1u, 4096u, 8192u, 10000u}) {
    WriteFile("src", Pattern(size, 7));
    EXPECT_TRUE(FS.CopyFile("src", "dst")) << size;
    EXPECT_EQ(ReadFile("dst"), Pattern(size, 7)) << size;
  }
  stdfs::create_directory(FDir / "into");
  EXPECT_TRUE(FS.CopyFile("src", "into"));
  EXPECT_EQ(ReadFile("into/src"), Pattern(10000, 7));
  EXPECT_FALSE(FS.CopyFile("missing", "dst2"));
  EXPECT_FALSE(stdfs::exists(FDir / "dst2"));
  EXPECT_FALSE(FS.CopyFile("src", "nodir/x"));
}

TEST_F(kxOSFileSystemTest, CopyFromCopiesATree) {
  stdfs::create_directories(FDir / "from/sub/deeper");
  stdfs::create_directory(FDir / "to");
  WriteFile("from/top.bin", Pattern(70000, 1));
  WriteFile("from/sub/mid.bin", Pattern(32768, 2));
  WriteFile("from/sub/deeper/low.bin", Pattern(5, 3));
  WriteFile("from/sub/deeper/empty", "");
  TkxOSFileSystem source((FDir / "from").string());
  TkxOSFileSystem target((FDir / "to").string());
  target.CopyFrom(source, source.GetBaseDirectory(), target.GetBaseDirectory());
  EXPECT_EQ(ReadFile("to/top.bin"), Pattern(70000, 1));
  EXPECT_EQ(ReadFile("to/sub/mid.bin"), Pattern(32768, 2));
  EXPECT_EQ(ReadFile("to/sub/deeper/low.bin"), Pattern(5, 3));
  EXPECT_TRUE(stdfs::is_regular_file(FDir / "to/sub/deeper/empty"));
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& e : stdfs::recursive_directory_iterator(FDir / "to")) ++count;
  EXPECT_EQ(count, 6u) << "nothing more than the tree itself";
}

// Files below a base directory named with "\" paths, as a compound container names its files.
class BackslashFileSystem : public TkxOSFileSystem {
 public:
  using TkxOSFileSystem::TkxOSFileSystem;
  char GetPathDelimiter() const override { return '\\'; }
  std::string GetBaseDirectory() override { return TkxFileSystem::GetBaseDirectory(); }
  std::string ExpandFileName(const std::string& FileName) override {
    std::string path = FileName;
    for (char& c : path) c = c == '\\' ? '/' : c;
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    return TkxOSFileSystem::ExpandFileName(path);
  }
};

TEST_F(kxOSFileSystemTest, CopyFromUsesEachFileSystemsDelimiter) {
  stdfs::create_directories(FDir / "from/sub");
  stdfs::create_directories(FDir / "to");
  stdfs::create_directories(FDir / "back");
  WriteFile("from/a", "A");
  WriteFile("from/sub/b", "B");
  BackslashFileSystem container((FDir / "from").string());
  EXPECT_EQ(container.GetBaseDirectory(), "\\");
  TkxOSFileSystem plain((FDir / "to").string());
  plain.CopyFrom(container, "\\", "");
  EXPECT_EQ(ReadFile("to/a"), "A");
  EXPECT_EQ(ReadFile("to/sub/b"), "B");

  BackslashFileSystem back((FDir / "back").string());
  back.CopyFrom(plain, plain.GetBaseDirectory(), "\\");
  EXPECT_EQ(ReadFile("back/a"), "A");
  EXPECT_EQ(ReadFile("back/sub/b"), "B");
  EXPECT_TRUE(back.CopyFile("\\sub\\b", "\\"));
  EXPECT_EQ(ReadFile("back/b"), "B") << "into a directory: the source's own name";
}

TEST_F(kxOSFileSystemTest, CopyFromReportsEachFailure) {
  stdfs::create_directories(FDir / "from/sub");
  WriteFile("from/file", "x");
  TkxOSFileSystem source((FDir / "from").string());
  auto expectMessage = [&](const std::string& Target, const std::string& Message) {
    TkxOSFileSystem target((FDir / Target).string());
    try {
      target.CopyFrom(source, source.GetBaseDirectory(), target.GetBaseDirectory());
      ADD_FAILURE() << "CopyFrom must raise";
    } catch (const EkxInOutError& e) {
      EXPECT_EQ(e.what(), Message);
    }
  };
  stdfs::create_directories(FDir / "to1/sub");
  expectMessage("to1", "Cannot create directory \"" + Path("to1/sub") + "\".");

  stdfs::create_directories(FDir / "to2/file");  // a directory where the file goes
  stdfs::remove(FDir / "from/sub");
  expectMessage("to2", "Cannot create file \"" + Path("to2/file") + "\".");

  stdfs::create_directories(FDir / "to3");
  std::int32_t lock = FS.OpenFile("from/file", fmOpenReadWrite | fmShareExclusive);
  ASSERT_GE(lock, 0);
  expectMessage("to3", "Cannot open source file \"" + Path("from/file") + "\".");
  FS.CloseFile(lock);
}

// --- TkxFileSystemStream -------------------------------------------------------------------------

TEST_F(kxOSFileSystemTest, StreamReadsWritesAndSeeks) {
  {
    TkxFileSystemStream stream("s.bin", FS, fmCreate);
    EXPECT_EQ(stream.GetFileName(), "s.bin");
    EXPECT_EQ(stream.Write("hello world", 11), 11);
    EXPECT_EQ(stream.GetPosition(), 11);
    struct {
      std::int64_t Offset;
      std::int32_t Origin;
      std::int64_t Position;
    } seeks[] = {{3, 0, 3}, {2, 1, 5}, {-5, 2, 6}, {0, 2, 11}, {-11, 1, 0}};
    for (const auto& s : seeks) EXPECT_EQ(stream.Seek(s.Offset, s.Origin), s.Position);
    char buf[16] = {};
    stream.ReadBuffer(buf, 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(stream.Read(buf, 16), 6);
    EXPECT_EQ(stream.GetPosition(), 11);
    EXPECT_EQ(stream.Read(buf, 16), 0);
    EXPECT_THROW(stream.ReadBuffer(buf, 1), EkxStreamError);
    stream.SetSize(5);
    EXPECT_EQ(stream.GetSize(), 5);
    EXPECT_TRUE(stream.LockRange(0, 4, true));
    EXPECT_FALSE(stream.LockRange(3, 1, true));
    stream.UnlockRange(0, 4, true);
    EXPECT_TRUE(stream.LockRange(3, 1, true));
  }
  std::int32_t h = FS.OpenFile("s.bin", 18);
  ASSERT_GE(h, 0) << "the stream closed its handle";
  auto wrapped = TkxFileSystemStream::CreateFromHandle(h, FS);
  EXPECT_EQ(wrapped->GetFileName(), "");
  EXPECT_EQ(wrapped->GetHandle(), h);
  char buf[5];
  wrapped->ReadBuffer(buf, 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  wrapped.reset();
  std::int32_t again = FS.OpenFile("s.bin", 18);
  EXPECT_GE(again, 0) << "the wrapping stream owned the handle";
  FS.CloseFile(again);
}

// A file system whose creations fail as if the file existed.
class ExistingFileSystem : public TkxOSFileSystem {
 public:
  using TkxOSFileSystem::TkxOSFileSystem;
  std::int32_t CreateFile(const std::string&) override {
    SetLastError(183);
    return -1;
  }
};

TEST_F(kxOSFileSystemTest, StreamConstructorErrors) {
  WriteFile("busy", "b");
  std::int32_t holder = FS.OpenFile("busy", 18);
  ASSERT_GE(holder, 0);
  auto message = [](auto Make) -> std::string {
    try {
      Make();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_THROW(TkxFileSystemStream("nope", FS, 66), EkxFileNotFoundError);
  EXPECT_EQ(message([&] { TkxFileSystemStream("nope", FS, 66); }),
            "Cannot open file \"" + Path("nope") + "\". The system cannot find the file specified.");
  try {
    TkxFileSystemStream("nodir/nope", FS, 66);
    ADD_FAILURE();
  } catch (const EkxFileNotFoundError&) {
    ADD_FAILURE() << "a missing directory is no missing file";
  } catch (const EkxFileOpenError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + Path("nodir/nope") +
                                         "\". The system cannot find the path specified.");
  }
  EXPECT_THROW(TkxFileSystemStream("busy", FS, 64), EkxFileOpenError);
  try {
    TkxFileSystemStream("busy", FS, fmCreate);
    ADD_FAILURE();
  } catch (const EkxFileAlreadyExistsError&) {
    ADD_FAILURE() << "a sharing violation is no existing file";
  } catch (const EkxFileCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + Path("busy") + "\". " +
                                         TkxFileSystem::GetErrorMessage(32));
  }
  ExistingFileSystem existing(FDir.string());
  EXPECT_THROW(TkxFileSystemStream("x", existing, fmCreate), EkxFileAlreadyExistsError);
  FS.CloseFile(holder);
  EXPECT_EQ(ReadFile("busy"), "b");

  auto orphan = TkxFileSystemStream::CreateFromHandle(-1, FS);
  EXPECT_EQ(message([&] { orphan->LockRange(0, 1, true); }),
            "Cannot lock storage \"\"; error code = 6");
  EXPECT_THROW(orphan->IsRangeLocked(0, 1), EkxStreamError);
  EXPECT_THROW(orphan->GetSize(), EkxInOutError);
}

// --- Handle guard --------------------------------------------------------------------------------

// Counts the handles it is asked to close.
class ClosingCountFileSystem : public TkxOSFileSystem {
 public:
  using TkxOSFileSystem::TkxOSFileSystem;
  void CloseFile(std::int32_t Handle) override {
    Closed.push_back(Handle);
    TkxOSFileSystem::CloseFile(Handle);
  }
  std::vector<std::int32_t> Closed;
};

TEST_F(kxOSFileSystemTest, FileHandleClosesOnceWhenItsLastOwnerGoes) {
  WriteFile("held", "keep");
  ClosingCountFileSystem fs(FDir.string());
  constexpr std::int32_t exclusive = fmOpenReadWrite | fmShareExclusive;
  std::int32_t raw = -1;
  {
    TkxFileHandle outer;
    EXPECT_FALSE(outer.Valid());
    {
      TkxFileHandle inner(fs, fs.OpenFile("held", exclusive));
      ASSERT_TRUE(inner.Valid());
      raw = inner.Get();
      outer = std::move(inner);
      EXPECT_FALSE(inner.Valid());  // NOLINT(bugprone-use-after-move): moved-from is empty
    }
    EXPECT_TRUE(fs.Closed.empty()) << "the moved-from guard must not close the file";
    EXPECT_EQ(fs.OpenFile("held", 64), -1) << "still held exclusively";
    EXPECT_EQ(fs.GetLastError(), kxErrorSharingViolation);
    TkxFileHandle taken(std::move(outer));
    EXPECT_EQ(taken.Get(), raw);
  }
  EXPECT_EQ(fs.Closed, std::vector<std::int32_t>{raw});
  const TkxFileHandle again(fs, fs.OpenFile("held", exclusive));
  EXPECT_TRUE(again.Valid()) << "free once the guard has gone";
}

TEST_F(kxOSFileSystemTest, FileHandleOfAFailedOpenIsNeverClosed) {
  ClosingCountFileSystem fs(FDir.string());
  {
    TkxFileHandle missing(fs, fs.OpenFile("missing", 64));
    EXPECT_FALSE(missing.Valid());
    EXPECT_EQ(missing.Get(), kxInvalidHandle);
    missing.Close();
  }
  EXPECT_TRUE(fs.Closed.empty());
  TkxFileHandle created(fs, fs.CreateFile("new"));
  ASSERT_TRUE(created.Valid());
  const std::int32_t raw = created.Get();
  created.Close();  // closing early leaves nothing for the destructor
  EXPECT_FALSE(created.Valid());
  created.Close();
  EXPECT_EQ(fs.Closed, std::vector<std::int32_t>{raw});
  // Assigning over a guard that holds a file closes that file first.
  TkxFileHandle first(fs, fs.OpenFile("new", 64));
  const std::int32_t firstRaw = first.Get();
  first = TkxFileHandle(fs, fs.OpenFile("new", 64));
  EXPECT_EQ(fs.Closed, (std::vector<std::int32_t>{raw, firstRaw}));
}

}  // namespace
}  // namespace vdb
