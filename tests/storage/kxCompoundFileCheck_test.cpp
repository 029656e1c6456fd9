// The consistency check on small hand-damaged containers, and reading damaged containers:
// every damage is either refused with the container's error or read consistently, never
// followed into a loop or out of bounds.
#include <gtest/gtest.h>

#include "storage/kxCompoundFile.h"
#include "storage/kxCompoundFileTestSupport.h"

namespace {

using vdb::TkxCompoundFileIntf;
using vdbtest::FatOffset;
using vdbtest::PatchInt32;
using vdbtest::PatchInt64;
using vdbtest::RootEntryOffset;

constexpr int kEntryFirstTile = 105;
constexpr int kEntrySize = 81;

// A container with \a of two tiles (2, 3) and \b of one tile (4), root entries 0 and 1.
class DamagedContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Path = Dir.File("d.vdbd");
    TkxCompoundFileIntf C(Path);
    C.NewFile();
    C.Open();
    vdbtest::WriteContained(C, "\\a", vdbtest::Pattern(9000, 1));
    vdbtest::WriteContained(C, "\\b", std::string(100, 'b'));
    ASSERT_EQ(C.GetPageChain(C.GetFirstPageNo("\\a")), (std::vector<std::int32_t>{2, 3}));
    ASSERT_EQ(C.GetPageChain(C.GetFirstPageNo("\\b")), (std::vector<std::int32_t>{4}));
    C.Close();
  }

  std::vector<std::string> Check() {
    std::vector<std::string> Defects;
    TkxCompoundFileIntf C(Path, true);
    const std::int32_t Count = C.PerformCheck([&](const std::string& File, const std::string& M) {
      Defects.push_back(File + ": " + M);
    });
    EXPECT_EQ(Count, static_cast<std::int32_t>(Defects.size()));
    return Defects;
  }

  // Reads the whole file; the error message, or "ok" with the bytes read.
  std::string ReadAll(const std::string& Name) {
    TkxCompoundFileIntf C(Path, true);
    try {
      C.Open();
      const std::int32_t H = C.OpenFile(Name, 0);
      if (H < 0) return "not found";
      std::string Data(static_cast<std::size_t>(C.GetFileSize(H)), '\0');
      const std::int32_t Got =
          C.FileRead(H, Data.data(), static_cast<std::int32_t>(Data.size()), 0);
      return "ok " + std::to_string(Got);
    } catch (const std::exception& E) {
      return E.what();
    }
  }

  vdbtest::TTempDir Dir;
  std::string Path;
};

TEST_F(DamagedContainerTest, IntactContainerHasNoDefects) {
  EXPECT_EQ(Check(), std::vector<std::string>{});
}

struct TDamage {
  const char* Name;
  std::int64_t Offset;
  std::int32_t Value;
  std::vector<std::string> Defects;
};

class CheckFindsDefect : public DamagedContainerTest,
                         public ::testing::WithParamInterface<TDamage> {};

TEST_P(CheckFindsDefect, ReportsEachDefect) {
  PatchInt32(Path, GetParam().Offset, GetParam().Value);
  EXPECT_EQ(Check(), GetParam().Defects);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, CheckFindsDefect,
    ::testing::Values(
        TDamage{"SameStart", RootEntryOffset(1) + kEntryFirstTile, 2,
                {"\\b: Two directory entries use the same start page.",
                 "<UnassignedFile1>: Tile chain starting at tile no 4 has no corresponding "
                 "directory entry."}},
        TDamage{"Orphan", RootEntryOffset(1) + kEntryFirstTile, -1,
                {"<UnassignedFile1>: Tile chain starting at tile no 4 has no corresponding "
                 "directory entry."}},
        TDamage{"Shares", FatOffset(4), 3,
                {"\\b: File shares tile 3 with file \\a.",
                 "\\b: File size is different for directory (100) and FAT (16384)."}},
        TDamage{"Size", RootEntryOffset(0) + kEntrySize, 100000,
                {"\\a: File size is different for directory (100000) and FAT (16384)."}},
        TDamage{"StartsWithin", RootEntryOffset(1) + kEntryFirstTile, 3,
                {"<UnassignedFile1>: Tile chain starting at tile no 4 has no corresponding "
                 "directory entry.",
                 "\\b: File starts within file \\a."}},
        TDamage{"Cycle", FatOffset(3), 2, {"\\a: File starts within file \\a."}},
        TDamage{"StartBeyondTileCount", RootEntryOffset(1) + kEntryFirstTile, 999,
                {"\\b: File size is different for directory (100) and FAT (0).",
                 "<UnassignedFile1>: Tile chain starting at tile no 4 has no corresponding "
                 "directory entry."}},
        TDamage{"SuccessorBeyondTileCount", FatOffset(2), 999,
                {"\\a: File size is different for directory (9000) and FAT (8192).",
                 "<UnassignedFile1>: Tile chain starting at tile no 3 has no corresponding "
                 "directory entry."}}),
    [](const ::testing::TestParamInfo<TDamage>& Info) { return std::string(Info.param.Name); });

TEST_F(DamagedContainerTest, SubdirectoryEntriesAreChecked) {
  {
    TkxCompoundFileIntf C(Path);
    C.Open();
    ASSERT_TRUE(C.CreateDir("\\sub"));
    vdbtest::WriteContained(C, "\\sub\\c", "c");
    ASSERT_EQ(C.GetFirstPageNo("\\sub\\c"), 5);
    ASSERT_EQ(C.GetFirstPageNo("\\sub"), 6);
  }
  PatchInt32(Path, 6 * 8192 + kEntryFirstTile, 2);  // \sub\c claims the start of \a
  EXPECT_EQ(Check(), (std::vector<std::string>{
                         "\\sub\\c: Two directory entries use the same start page.",
                         "<UnassignedFile1>: Tile chain starting at tile no 5 has no "
                         "corresponding directory entry."}));
}

TEST_F(DamagedContainerTest, DirectoryThatContainsItselfEndsTheWalk) {
  {
    TkxCompoundFileIntf C(Path);
    C.Open();
    ASSERT_TRUE(C.CreateDir("\\sub"));
    vdbtest::WriteContained(C, "\\sub\\c", "c");
  }
  // \sub\c becomes a directory whose chain is \sub's own.
  PatchInt32(Path, 6 * 8192 + kEntryFirstTile, 6);
  const std::uint8_t Dir = 1;
  vdbtest::PatchBytes(Path, 6 * 8192 + 80, &Dir, 1);
  const auto Defects = Check();
  EXPECT_NE(std::find(Defects.begin(), Defects.end(),
                      "\\sub\\c\\: Two directory entries use the same start page."),
            Defects.end())
      << ::testing::PrintToString(Defects);
}

struct TReadDamage {
  const char* Name;
  std::int64_t Offset;
  std::int64_t Value;
  const char* File;
  std::string Result;
  int Width = 4;  // bytes patched: 4, or 8 for an entry's size
};

class ReadingDamage : public DamagedContainerTest,
                      public ::testing::WithParamInterface<TReadDamage> {};

TEST_P(ReadingDamage, IsReportedNotFollowed) {
  if (GetParam().Width == 8) PatchInt64(Path, GetParam().Offset, GetParam().Value);
  else PatchInt32(Path, GetParam().Offset, static_cast<std::int32_t>(GetParam().Value));
  std::string Expected = GetParam().Result;
  if (const auto Pos = Expected.find("PATH"); Pos != std::string::npos)
    Expected.replace(Pos, 4, Path);
  EXPECT_EQ(ReadAll(GetParam().File), Expected);
  try {
    Check();  // terminates, whatever it finds
  } catch (const vdb::EkxInOutError& E) {
    EXPECT_EQ(std::string(E.what()), Expected);  // refused like the open
  }
}

INSTANTIATE_TEST_SUITE_P(
    Damages, ReadingDamage,
    ::testing::Values(
        // \a's chain runs back into itself behind the two tiles its size needs.
        TReadDamage{"CycleBehindTheSize", FatOffset(3), 2, "\\a", "ok 9000"},
        TReadDamage{"SelfLoop", FatOffset(2), 2, "\\a", "Invalid file position."},
        TReadDamage{"SuccessorBeyondTileCount", FatOffset(2), 999, "\\a",
                    "Invalid file position."},
        TReadDamage{"ChainEndsEarly", FatOffset(2), -1, "\\a", "Invalid file position."},
        TReadDamage{"StartBeyondTileCount", RootEntryOffset(1) + kEntryFirstTile, 999, "\\b",
                    "Invalid file position."},
        TReadDamage{"StartAtTheHeader", RootEntryOffset(1) + kEntryFirstTile, 0, "\\b",
                    "Invalid file position."},
        TReadDamage{"StartAtTheRoot", RootEntryOffset(1) + kEntryFirstTile, 1, "\\b",
                    "Invalid file position."},
        TReadDamage{"NegativeSize", RootEntryOffset(1) + kEntrySize, -5, "\\b", "ok 0", 8},
        TReadDamage{"SizeBeyondTheChain", RootEntryOffset(1) + kEntrySize, 1 << 20, "\\b",
                    "Invalid file position.", 8},
        TReadDamage{"RootOfOddSize", 16, 150, "\\a", "ok 9000"},
        TReadDamage{"RootLargerThanItsChain", 16, 8192 * 4, "\\zzz", "Invalid file position."},
        TReadDamage{"NegativeRootSize", 16, -1, "\\a",
                    "File PATH is not a valid Ondravel Compound file."},
        TReadDamage{"TileCountTooSmall", 12, 1, "\\a",
                    "File PATH is not a valid Ondravel Compound file."},
        TReadDamage{"WrongMagic", 0, 0x12345678, "\\a",
                    "File PATH is not a valid Ondravel Compound file."}),
    [](const ::testing::TestParamInfo<TReadDamage>& Info) { return std::string(Info.param.Name); });

TEST_F(DamagedContainerTest, DamagedSizeMakesCycleVisible) {
  PatchInt32(Path, FatOffset(3), 2);
  PatchInt64(Path, RootEntryOffset(0) + kEntrySize, 100000);
  EXPECT_EQ(ReadAll("\\a"), "Invalid file position.");
}

TEST_F(DamagedContainerTest, TruncatedContainerReadsAsZeros) {
  std::filesystem::resize_file(Path, 9000);  // tiles 2 to 4 are gone
  EXPECT_EQ(ReadAll("\\a"), "ok 9000");
  TkxCompoundFileIntf C(Path, true);
  C.Open();
  const std::int32_t H = C.OpenFile("\\a", 0);
  char Byte = 1;
  ASSERT_EQ(C.FileRead(H, &Byte, 1, 8999), 1);
  EXPECT_EQ(Byte, 0);
}

TEST_F(DamagedContainerTest, ReadingNeverWritesToTheContainer) {
  PatchInt32(Path, FatOffset(3), 2);  // damaged, too
  const auto Before = vdbtest::ReadBytes(Path);
  ReadAll("\\a");
  ReadAll("\\b");
  {
    TkxCompoundFileIntf C(Path);  // read-write, but only reading
    C.Open();
    vdbtest::ReadContained(C, "\\b");
    vdb::TkxFindFileRec Rec;
    C.FindFirstFile("\\*", vdb::faAnyFile, Rec);
    C.FindFileClose(Rec);
  }
  Check();
  EXPECT_EQ(vdbtest::ReadBytes(Path), Before);
}

}  // namespace
