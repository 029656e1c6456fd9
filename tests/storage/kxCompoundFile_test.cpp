// The compound container in one process: the new container's bytes, opening and its errors,
// reading and writing at the edges, tile allocation and the free list, set size, directories,
// enumeration, handles, logical locks of several clients, export and compression.
#include <gtest/gtest.h>

#include <random>

#include "storage/kxCompoundFile.h"
#include "storage/kxCompoundFileTestSupport.h"

namespace {

using vdb::EkxCompoundFileError;
using vdb::EkxInOutError;
using vdb::TkxCompoundFileIntf;
using vdbtest::FatOffset;
using vdbtest::FileInt32;
using vdbtest::PatchInt32;
using vdbtest::Pattern;
using vdbtest::ReadBytes;
using vdbtest::ReadContained;
using vdbtest::RootEntryOffset;
using vdbtest::WriteContained;

// Expects Statement to throw E with exactly Message.
#define EXPECT_THROW_MESSAGE(Statement, E, Message)            \
  do {                                                         \
    try {                                                      \
      Statement;                                               \
      ADD_FAILURE() << "no exception, expected: " << Message;  \
    } catch (const E& Error) {                                 \
      EXPECT_EQ(std::string(Error.what()), Message);           \
    }                                                          \
  } while (0)

class CompoundFileTest : public ::testing::Test {
 protected:
  std::string NewContainer(const std::string& Name = "c.vdbd") {
    const std::string Path = Dir.File(Name);
    TkxCompoundFileIntf C(Path);
    C.NewFile();
    return Path;
  }

  vdbtest::TTempDir Dir;
};

// --- The new container -----------------------------------------------------------------------

TEST_F(CompoundFileTest, NewContainerHasTheExactLayout) {
  const auto Bytes = ReadBytes(NewContainer());
  ASSERT_EQ(Bytes.size(), 8301u);
  const std::uint8_t Magic[] = {0x81, 0x75, 0xE4, 0x39};
  EXPECT_EQ(0, std::memcmp(Bytes.data(), Magic, 4));
  EXPECT_EQ(FileInt32(Bytes, 4), 1);                    // version
  EXPECT_EQ(FileInt32(Bytes, 8), 8192);                 // tile size
  EXPECT_EQ(FileInt32(Bytes, 12), 2);                   // tile count
  EXPECT_EQ(FileInt32(Bytes, 16), 109);                 // root directory size
  EXPECT_EQ(static_cast<std::uint32_t>(FileInt32(Bytes, 20)), 0x80000000u);  // no free list
  EXPECT_EQ(FileInt32(Bytes, 24), 0);                   // change counter
  for (int I = 28; I < 1024; ++I) ASSERT_EQ(Bytes[I], 0) << "header byte " << I;
  EXPECT_EQ(FileInt32(Bytes, 1024), -1);  // tile 0 ends its chain
  EXPECT_EQ(FileInt32(Bytes, 1028), -1);  // tile 1 ends its chain
  for (int I = 1032; I < 8192; ++I) ASSERT_EQ(Bytes[I], 0) << "byte " << I;
  for (int I = 8192; I < 8192 + 105; ++I) ASSERT_EQ(Bytes[I], 0) << "root entry byte " << I;
  EXPECT_EQ(FileInt32(Bytes, 8192 + 105), -1);  // the free entry has no tile
}

TEST_F(CompoundFileTest, NewContainerOpensEmpty) {
  TkxCompoundFileIntf C(NewContainer());
  C.Open();
  EXPECT_TRUE(C.IsOpen());
  EXPECT_EQ(C.GetPageCount(), 2);
  EXPECT_EQ(C.GetFreePagesCount(), 0);
  EXPECT_EQ(C.GetFreeListPage(), static_cast<std::int32_t>(0x80000000u));
  EXPECT_EQ(C.GetPageSize(), 8192);
  vdb::TkxFindFileRec Rec;
  EXPECT_FALSE(C.FindFirstFile("\\*", vdb::faAnyFile, Rec));  // the one root entry is free
  EXPECT_EQ(C.GetLastError(), 0);
  ASSERT_TRUE(C.FindFirstFile("\\", vdb::faDirectory, Rec));
  EXPECT_EQ(Rec.Attr, vdb::faDirectory);
  EXPECT_EQ(Rec.Size, 109);
  EXPECT_EQ(Rec.Time, 0);
  EXPECT_FALSE(C.FindFirstFile("\\", 0, Rec));
}

TEST_F(CompoundFileTest, NewFileThatCannotBeCreatedRaises) {
  const std::string Path = Dir.File("no/such/dir/c.vdbd");
  TkxCompoundFileIntf C(Path);
  EXPECT_THROW_MESSAGE(C.NewFile(), EkxInOutError, "Cannot create file " + Path + ".");
}

// --- Opening ---------------------------------------------------------------------------------

TEST_F(CompoundFileTest, OpenRefusesWhatIsNoContainer) {
  const std::string Missing = Dir.File("missing.vdbd");
  TkxCompoundFileIntf C1(Missing);
  EXPECT_THROW_MESSAGE(C1.Open(), EkxInOutError, "Cannot open file " + Missing + ".");

  const std::string Short = Dir.File("short.vdbd");
  std::ofstream(Short) << "0123456789";
  TkxCompoundFileIntf C2(Short);
  EXPECT_THROW_MESSAGE(C2.Open(), EkxInOutError,
                       "File " + Short + " is not a valid Ondravel Compound file.");

  const std::string Version = NewContainer("v.vdbd");
  PatchInt32(Version, 4, 2);
  TkxCompoundFileIntf C3(Version);
  EXPECT_THROW_MESSAGE(C3.Open(), EkxInOutError,
                       "Do not support Ondravel Compound file version 2 (" + Version + ").");
  EXPECT_FALSE(C3.IsOpen());

  // A tile count that the file cannot hold is damage, not an invitation to walk billions of
  // tiles.
  const std::string Count = NewContainer("n.vdbd");
  PatchInt32(Count, 12, 0x7FFFFFFF);
  TkxCompoundFileIntf C4(Count);
  EXPECT_THROW_MESSAGE(C4.Open(), EkxInOutError,
                       "File " + Count + " is not a valid Ondravel Compound file.");
}

TEST_F(CompoundFileTest, IsCompoundFile) {
  EXPECT_TRUE(TkxCompoundFileIntf::IsCompoundFile(NewContainer()));
  EXPECT_TRUE(TkxCompoundFileIntf::IsCompoundFile(Dir.File("missing")));  // Open tells why
  std::ofstream(Dir.File("short")) << "\x81\x75";
  EXPECT_FALSE(TkxCompoundFileIntf::IsCompoundFile(Dir.File("short")));
  std::ofstream(Dir.File("other")) << "PK\x03\x04 and more";
  EXPECT_FALSE(TkxCompoundFileIntf::IsCompoundFile(Dir.File("other")));
}

TEST_F(CompoundFileTest, OperationsOnAClosedOrReadOnlyContainerRaise) {
  const std::string Path = NewContainer();
  TkxCompoundFileIntf C(Path);
  EXPECT_THROW_MESSAGE(C.CreateFile("\\a"), EkxInOutError,
                       "Compound file \"" + Path + "\" not open.");
  EXPECT_THROW_MESSAGE(C.FileRead(32, nullptr, 0, 0), EkxInOutError,
                       "Compound file \"" + Path + "\" not open.");
  C.SetReadOnly(true);
  C.Open();
  EXPECT_THROW_MESSAGE(C.CreateFile("\\a"), EkxInOutError,
                       "Compound file \"" + Path + "\" not open for writing.");
  EXPECT_THROW_MESSAGE(C.CreateDir("\\d"), EkxInOutError,
                       "Compound file \"" + Path + "\" not open for writing.");
  EXPECT_THROW_MESSAGE(C.SetSharedAccess(false), EkxInOutError, "Compound file is already open.");
  C.Close();
  {
    TkxCompoundFileIntf W(Path);
    W.Open();
    WriteContained(W, "\\f", "four");
  }
  C.Open();
  const std::int32_t H = C.OpenFile("\\f", 0);
  C.SetFileSize(H, 4);  // unchanged: nothing to write
  EXPECT_THROW_MESSAGE(C.SetFileSize(H, 2), EkxInOutError,
                       "Compound file \"" + Path + "\" not open for writing.");
  EXPECT_THROW_MESSAGE(C.FileWrite(H, "x", 1, 0), EkxInOutError,
                       "Compound file \"" + Path + "\" not open for writing.");
  C.CloseFile(H);
  EXPECT_THROW_MESSAGE(C.PerformCheck(nullptr), EkxInOutError,
                       "Compound file " + Path + " must not be open in order to perform check.");
}

// --- Reading and writing at the edges --------------------------------------------------------

TEST_F(CompoundFileTest, ReadAndWriteAtTheEnd) {
  TkxCompoundFileIntf C(NewContainer());
  C.Open();
  const std::int32_t H = C.CreateFile("\\f");
  ASSERT_GE(H, 32);
  ASSERT_EQ(C.FileWrite(H, "abc", 3, 0), 3);
  char Buffer[8] = {};
  EXPECT_EQ(C.FileRead(H, Buffer, 8, 3), 0);   // at the size: nothing
  EXPECT_EQ(C.FileRead(H, Buffer, 8, -1), 0);  // negative position: nothing
  EXPECT_EQ(C.FileWrite(H, "x", 1, 4), 0);     // beyond the size: no holes
  EXPECT_EQ(C.GetFileSize(H), 3);
  EXPECT_EQ(C.FileWrite(H, "de", 2, 3), 2);    // at the size: appends
  EXPECT_EQ(C.GetFileSize(H), 5);
  ASSERT_EQ(C.FileRead(H, Buffer, 8, 0), 5);
  EXPECT_EQ(std::string(Buffer, 5), "abcde");
  EXPECT_TRUE(C.EndOfFile(H, 5));
  EXPECT_FALSE(C.EndOfFile(H, 4));
  C.CloseFile(H);
  C.Close();
  C.Open();
  EXPECT_EQ(ReadContained(C, "\\f"), "abcde");
}

TEST_F(CompoundFileTest, TileBoundaryAndFreeList) {
  TkxCompoundFileIntf C(NewContainer());
  C.Open();
  WriteContained(C, "\\gap", std::string(3 * 8192, 'g'));  // tiles 2, 3, 4
  const std::int32_t H = C.CreateFile("\\f");
  const std::string Tile(8192, 'a');
  ASSERT_EQ(C.FileWrite(H, Tile.data(), 8192, 0), 8192);
  C.CloseFile(H);  // committed: one tile
  EXPECT_EQ(C.GetPageChain(C.GetFirstPageNo("\\f")).size(), 1u);
  ASSERT_TRUE(C.DeleteFile("\\gap"));  // three free tiles, not at the end of the container
  const std::int32_t Head = C.GetFreeListPage();
  ASSERT_GE(Head, 2);
  EXPECT_EQ(C.GetFreePagesCount(), 3);

  const std::int32_t H2 = C.OpenFile("\\f", 0);
  ASSERT_EQ(C.FileWrite(H2, "b", 1, 8192), 1);  // one byte more: a second tile
  C.CloseFile(H2);
  const auto Chain = C.GetPageChain(C.GetFirstPageNo("\\f"));
  ASSERT_EQ(Chain.size(), 2u);
  EXPECT_EQ(Chain[1], Head);  // taken from the free list
  EXPECT_EQ(C.GetFreePagesCount(), 2);
  EXPECT_EQ(ReadContained(C, "\\f"), Tile + "b");
}

TEST_F(CompoundFileTest, SettingTheSizeToZeroFreesEveryTile) {
  const std::string Path = NewContainer();
  TkxCompoundFileIntf C(Path);
  C.Open();
  WriteContained(C, "\\a", Pattern(20000, 1));
  WriteContained(C, "\\b", "after");  // keeps the tiles of \a off the end of the container
  const std::int32_t H = C.OpenFile("\\a", 0);
  C.SetFileSize(H, 0);
  EXPECT_EQ(C.GetFileSize(H), 0);
  C.CloseFile(H);
  EXPECT_EQ(C.GetFirstPageNo("\\a"), -1);
  EXPECT_EQ(C.GetFreePagesCount(), 3);
  C.Close();
  // On disk: the entry of \a has size 0 and first tile -1.
  const auto Bytes = ReadBytes(Path);
  EXPECT_EQ(vdb::TkxMemory::ReadInt64(Bytes.data(), RootEntryOffset(0) + 81), 0);
  EXPECT_EQ(FileInt32(Bytes, RootEntryOffset(0) + 105), -1);
}

TEST_F(CompoundFileTest, ShorteningGivesBackTilesAtTheEndOfTheContainer) {
  const std::string Path = NewContainer();
  TkxCompoundFileIntf C(Path);
  C.Open();
  WriteContained(C, "\\a", Pattern(5 * 8192, 2));
  EXPECT_EQ(C.GetPageCount(), 7);
  const std::int32_t H = C.OpenFile("\\a", 0);
  C.SetFileSize(H, 8193);  // keeps two tiles
  C.CloseFile(H);
  EXPECT_EQ(C.GetPageCount(), 4);
  EXPECT_EQ(C.GetFreePagesCount(), 0);
  EXPECT_EQ(ReadContained(C, "\\a"), Pattern(5 * 8192, 2).substr(0, 8193));
  C.Close();
  EXPECT_EQ(std::filesystem::file_size(Path), 4u * 8192);
}

TEST_F(CompoundFileTest, LengtheningAllocatesTheMissingTiles) {
  TkxCompoundFileIntf C(NewContainer());
  C.Open();
  const std::int32_t H = C.CreateFile("\\a");
  ASSERT_EQ(C.FileWrite(H, "xy", 2, 0), 2);  // a new tile, not allocated yet
  C.SetFileSize(H, 3 * 8192 + 1);
  EXPECT_EQ(C.GetFileSize(H), 3 * 8192 + 1);
  char Buffer[2] = {};
  ASSERT_EQ(C.FileRead(H, Buffer, 2, 0), 2);
  EXPECT_EQ(std::string(Buffer, 2), "xy");  // the tile written before keeps its data
  C.CloseFile(H);
  EXPECT_EQ(C.GetPageChain(C.GetFirstPageNo("\\a")).size(), 4u);
  for (int Count : vdbtest::TileCoverage(C)) EXPECT_EQ(Count, 1);
  C.Close();
  EXPECT_EQ(C.PerformCheck(nullptr), 0);
}

// Writes, truncations and deletes in a random mix, compared with a model; afterwards every
// tile of the container is in exactly one chain and the check finds nothing.
TEST_F(CompoundFileTest, ChainsCoverEveryTileOnceAfterAMixOfChanges) {
  const std::string Path = NewContainer();
  TkxCompoundFileIntf C(Path);
  C.Open();
  ASSERT_TRUE(C.CreateDir("\\sub"));
  std::mt19937 Random(20240611);
  std::map<std::string, std::string> Model;
  const std::vector<std::string> Names = {"\\a", "\\b", "\\c", "\\sub\\d", "\\sub\\e"};
  for (int Step = 0; Step < 300; ++Step) {
    const std::string& Name = Names[Random() % Names.size()];
    switch (Random() % 4) {
      case 0:
      case 1: {  // append or overwrite somewhere
        std::string& Content = Model[Name];
        const std::int32_t H = Model.count(Name) && Content.size() ? C.OpenFile(Name, 0)
                                                                   : C.CreateFile(Name);
        ASSERT_GE(H, 32);
        const std::size_t Pos = Content.empty() ? 0 : Random() % (Content.size() + 1);
        const std::string Data = Pattern(1 + Random() % 20000, Step);
        ASSERT_EQ(C.FileWrite(H, Data.data(), static_cast<std::int32_t>(Data.size()),
                              static_cast<std::int64_t>(Pos)),
                  static_cast<std::int32_t>(Data.size()));
        Content.replace(Pos, std::min(Data.size(), Content.size() - Pos), Data);
        C.CloseFile(H);
        break;
      }
      case 2: {  // truncate or lengthen
        if (!Model.count(Name)) break;
        std::string& Content = Model[Name];
        const std::int32_t H = C.OpenFile(Name, 0);
        const std::size_t Size = Random() % (Content.size() + 9000);
        C.SetFileSize(H, static_cast<std::int64_t>(Size));
        if (Size <= Content.size()) {
          Content.resize(Size);
        } else {  // the lengthened part has no defined content: overwrite it
          const std::string Fill(Size - Content.size(), 'z');
          ASSERT_EQ(C.FileWrite(H, Fill.data(), static_cast<std::int32_t>(Fill.size()),
                                static_cast<std::int64_t>(Content.size())),
                    static_cast<std::int32_t>(Fill.size()));
          Content += Fill;
        }
        C.CloseFile(H);
        break;
      }
      default:  // delete
        if (!Model.count(Name)) break;
        ASSERT_TRUE(C.DeleteFile(Name)) << C.GetLastError();
        Model.erase(Name);
    }
    if (Step % 50 == 49) {  // from disk now and then
      C.Close();
      C.Open();
    }
  }
  for (const auto& [Name, Content] : Model) EXPECT_EQ(ReadContained(C, Name), Content) << Name;
  const auto Coverage = vdbtest::TileCoverage(C);
  for (std::size_t Tile = 0; Tile < Coverage.size(); ++Tile)
    EXPECT_EQ(Coverage[Tile], 1) << "tile " << Tile;
  C.Close();
  std::vector<std::string> Defects;
  EXPECT_EQ(C.PerformCheck([&](const std::string& F, const std::string& M) {
    Defects.push_back(F + ": " + M);
  }), 0) << ::testing::PrintToString(Defects);
}

// Beyond 1792 tiles the tile table needs a second tile; it is taken at the end of the
// container in the same step as the data tiles.
TEST_F(CompoundFileTest, TheTileTableGrowsWithTheContainer) {
  const std::string Path = NewContainer();
  const std::string Data = Pattern(1800 * 8192 + 5, 7);
  {
    TkxCompoundFileIntf C(Path);
    C.Open();
    WriteContained(C, "\\big", Data);
    const auto Master = C.GetPageChain(0);
    ASSERT_EQ(Master.size(), 2u);
    EXPECT_EQ(C.GetPageCount(), 2 + 1801 + 1);
    for (int Count : vdbtest::TileCoverage(C)) ASSERT_EQ(Count, 1);
  }
  TkxCompoundFileIntf C(Path);
  EXPECT_EQ(C.PerformCheck(nullptr), 0);
  C.Open();
  EXPECT_EQ(ReadContained(C, "\\big"), Data);
  // Deleting it gives the tiles behind the table's own tile back, but no more than keeps the
  // table's size in line with its two tiles.
  ASSERT_TRUE(C.DeleteFile("\\big"));
  EXPECT_EQ(C.GetPageCount(), 1793);
  C.Close();
  EXPECT_EQ(C.PerformCheck(nullptr), 0);
}

// More dirty tiles than a file caches: the oldest are written early to make room, none is lost.
TEST_F(CompoundFileTest, OverwritingMoreTilesThanTheCacheHolds) {
  const std::string Path = NewContainer();
  const int Tiles = 600;
  std::string Data = Pattern(Tiles * 8192, 11);
  TkxCompoundFileIntf C(Path);
  C.Open();
  WriteContained(C, "\\many", Data);
  ASSERT_TRUE(C.BeginWrite());  // one write session: every tile stays dirty until it ends
  const std::int32_t H = C.OpenFile("\\many", 0);
  for (int Tile = 0; Tile < Tiles; ++Tile) {
    const char Mark = static_cast<char>('A' + Tile % 26);
    ASSERT_EQ(C.FileWrite(H, &Mark, 1, Tile * 8192LL + 17), 1);
    Data[static_cast<std::size_t>(Tile) * 8192 + 17] = Mark;
  }
  C.CloseFile(H);
  C.EndWrite();
  C.Close();
  EXPECT_EQ(C.PerformCheck(nullptr), 0);
  C.Open();
  EXPECT_EQ(ReadContained(C, "\\many"), Data);
}

// --- Directories and names -------------------------------------------------------------------

TEST_F(CompoundFileTest, DirectoryOperationsAndTheirErrors) {
  TkxCompoundFileIntf C(NewContainer());
  C.Open();
  ASSERT_TRUE(C.CreateDir("\\d"));
  EXPECT_FALSE(C.CreateDir("\\d"));
  EXPECT_EQ(C.GetLastError(), 183);
  EXPECT_FALSE(C.CreateDir("\\x\\y"));
  EXPECT_EQ(C.GetLastError(), 3);
  ASSERT_TRUE(C.CreateDir("\\d\\e"));
  WriteContained(C, "\\d\\e\\f.txt", "deep");
  EXPECT_EQ(ReadContained(C, "\\D\\E\\F.TXT"), "deep");  // names ignore case
  EXPECT_EQ(C.CreateFile("\\nodir\\f"), -1);
  EXPECT_EQ(C.GetLastError(), 3);
  EXPECT_EQ(C.OpenFile("\\d", 0), -1);  // a directory is no file
  EXPECT_EQ(C.GetLastError(), 2);

  EXPECT_FALSE(C.RemoveDir("\\d\\e"));  // not empty
  EXPECT_EQ(C.GetLastError(), 2);
  EXPECT_FALSE(C.RemoveDir("\\"));
  EXPECT_EQ(C.GetLastError(), 2);
  EXPECT_FALSE(C.RemoveDir("\\d\\e\\f.txt"));  // not a directory
  EXPECT_EQ(C.GetLastError(), 2);
  ASSERT_TRUE(C.DeleteFile("\\d\\e\\f.txt"));
  ASSERT_TRUE(C.RemoveDir("\\d\\e"));
  EXPECT_FALSE(C.DirectoryExists("\\d\\e"));
  EXPECT_TRUE(C.DirectoryExists("\\d"));
  EXPECT_THROW_MESSAGE(C.CreateFile("C:\\x\\f"), EkxInOutError,
                       "\"C:\\\" is an invalid directory name");
}

TEST_F(CompoundFileTest, DeleteAndRenameErrors) {
  TkxCompoundFileIntf C(NewContainer());
  C.Open();
  ASSERT_TRUE(C.CreateDir("\\d"));
  WriteContained(C, "\\a", "A");
  WriteContained(C, "\\b", "B");
  EXPECT_FALSE(C.DeleteFile("\\missing"));
  EXPECT_EQ(C.GetLastError(), 2);
  const std::int32_t H = C.OpenFile("\\a", 0);
  EXPECT_FALSE(C.DeleteFile("\\a"));
  EXPECT_EQ(C.GetLastError(), 32);
  EXPECT_FALSE(C.RenameFile("\\a", "\\c"));
  EXPECT_EQ(C.GetLastError(), 32);
  C.CloseFile(H);
  EXPECT_FALSE(C.RenameFile("\\a", "\\d\\a"));  // across directories
  EXPECT_EQ(C.GetLastError(), 1);
  EXPECT_FALSE(C.RenameFile("\\missing", "\\c"));
  EXPECT_EQ(C.GetLastError(), 2);
  EXPECT_FALSE(C.RenameFile("\\a", "\\B"));  // would hide \b
  EXPECT_EQ(C.GetLastError(), 183);
  EXPECT_FALSE(C.RenameFile("\\a", "\\" + std::string(80, 'n')));
  EXPECT_EQ(C.GetLastError(), 206);
  EXPECT_FALSE(C.RenameFile("\\a", "\\bad*name"));
  EXPECT_EQ(C.GetLastError(), 123);
  ASSERT_TRUE(C.RenameFile("\\a", "\\" + std::string(79, 'n')));
  EXPECT_EQ(ReadContained(C, "\\" + std::string(79, 'n')), "A");
  ASSERT_TRUE(C.RenameFile("\\b", "\\b2"));
  EXPECT_EQ(ReadContained(C, "\\b2"), "B");
  EXPECT_EQ(ReadContained(C, "\\b"), "<missing>");
  EXPECT_FALSE(C.DeleteFile("\\d"));  // directories go through RemoveDir
  EXPECT_EQ(C.GetLastError(), 5);
}

TEST_F(CompoundFileTest, NamesAreStoredInTheAnsiCodePage) {
  const std::string Path = NewContainer();
  TkxCompoundFileIntf C(Path);
  C.Open();
  WriteContained(C, "\\vadászat.txt", "ő");
  EXPECT_EQ(ReadContained(C, "\\vadászat.txt"), "ő");
  EXPECT_EQ(C.CreateFile("\\日本"), -1);  // not in Windows-1250
  EXPECT_EQ(C.GetLastError(), 123);
  C.Close();
  const auto Bytes = ReadBytes(Path);
  const std::string Stored(reinterpret_cast<const char*>(&Bytes[RootEntryOffset(0)]), 13);
  EXPECT_EQ(Bytes[RootEntryOffset(0) + 12], 0);
  EXPECT_EQ(Stored.substr(0, 12), std::string("vad\xE1szat.txt"));
}

TEST_F(CompoundFileTest, EnumerationReturnsUsedEntries) {
  TkxCompoundFileIntf C(NewContainer());
  C.Open();
  WriteContained(C, "\\one.vdbt", "1");
  WriteContained(C, "\\two.vdbm", "22");
  ASSERT_TRUE(C.CreateDir("\\dir"));
  WriteContained(C, "\\gone", "x");
  ASSERT_TRUE(C.DeleteFile("\\gone"));
  const auto List = [&](const std::string& Mask) {
    std::vector<std::string> Names;
    vdb::TkxFindFileRec Rec;
    for (bool Found = C.FindFirstFile(Mask, 0, Rec); Found; Found = C.FindNextFile(Rec))
      Names.push_back(Rec.Name + (Rec.Attr & vdb::faDirectory ? "/" : "") + ":" +
                      std::to_string(Rec.Size));
    C.FindFileClose(Rec);
    return Names;
  };
  const std::vector<std::string> All = {"one.vdbt:1", "two.vdbm:2", "dir/:0"};
  EXPECT_EQ(List("\\*"), All);
  EXPECT_EQ(List("\\*.vdbt"), All);  // an asterisk matches every used entry
  EXPECT_EQ(List("\\TWO.VDBM"), std::vector<std::string>{"two.vdbm:2"});
  EXPECT_EQ(List("\\gone"), std::vector<std::string>{});
  EXPECT_EQ(List("\\dir\\*"), std::vector<std::string>{});
  vdb::TkxFindFileRec Rec;
  EXPECT_FALSE(C.FindFirstFile("\\nodir\\*", 0, Rec));
  EXPECT_EQ(C.GetLastError(), 3);
  ASSERT_TRUE(C.FindFirstFile("\\one.vdbt", 0, Rec));
  EXPECT_NE(Rec.Time, 0);  // the modification time as a packed date-time
  EXPECT_GE(static_cast<std::uint32_t>(Rec.Time) >> 25, 44u);  // 2024 or later
  EXPECT_TRUE(C.FileExists("\\one.vdbt"));
  EXPECT_FALSE(C.FileExists("\\dir"));
}

TEST_F(CompoundFileTest, HandlesAreCheckedAndNeverReused) {
  TkxCompoundFileIntf C(NewContainer());
  C.Open();
  const std::int32_t H1 = C.CreateFile("\\a");
  EXPECT_EQ(H1, 32);
  C.CloseFile(H1);
  const std::int32_t H2 = C.OpenFile("\\a", 0);
  EXPECT_EQ(H2, 33);
  char Byte = 0;
  EXPECT_EQ(C.FileRead(H1, &Byte, 1, 0), -1);
  EXPECT_EQ(C.GetLastError(), 6);
  EXPECT_EQ(C.FileRead(31, &Byte, 1, 0), -1);
  EXPECT_EQ(C.GetLastError(), 6);
  EXPECT_EQ(C.GetFileSize(99), -1);
  EXPECT_EQ(C.GetLastError(), 6);
  EXPECT_TRUE(C.EndOfFile(99, 0));
  EXPECT_EQ(C.LockFile(99, 0, 1, false), -1);
  EXPECT_EQ(C.GetLastError(), 6);
  EXPECT_EQ(C.GetLastError(), 0);  // reading the error resets it
  EXPECT_EQ(C.ExpandFileName("a.txt"), "\\a.txt");
  EXPECT_EQ(C.ExpandFileName("\\d\\a.txt"), "\\d\\a.txt");
}

// --- Clients and logical locks ---------------------------------------------------------------

TEST_F(CompoundFileTest, ClientsOfOneProcessShareTheContainer) {
  const std::string Path = NewContainer();
  TkxCompoundFileIntf A(Path), B(Path);
  A.Open();
  B.Open();
  WriteContained(A, "\\shared", "from A");
  EXPECT_EQ(ReadContained(B, "\\shared"), "from A");  // one implementation, no flush needed

  const std::int32_t H = A.OpenFile("\\shared", 0);
  ASSERT_EQ(A.LockFile(H, 0, 1, true), 1);  // A's write lock on the whole container
  EXPECT_EQ(B.OpenFile("\\shared", 0), -1);
  EXPECT_EQ(B.GetLastError(), 32);
  EXPECT_FALSE(B.BeginRead());
  A.UnlockFile(H, 0, 1, true);
  ASSERT_TRUE(B.BeginRead());
  EXPECT_FALSE(A.BeginWrite());  // B reads
  ASSERT_TRUE(A.BeginRead());    // readers share
  A.EndRead();
  B.EndRead();
  A.CloseFile(H);
  EXPECT_THROW_MESSAGE(A.EndRead(), EkxCompoundFileError, "EndRead without BeginRead called.");
  EXPECT_THROW_MESSAGE(A.EndWrite(), EkxCompoundFileError,
                       "EndWrite without BeginWrite called.");
  B.Close();
  EXPECT_TRUE(A.IsOpen());
  EXPECT_EQ(ReadContained(A, "\\shared"), "from A");
}

// Threads with clients of their own take turns through the container's critical section.
TEST_F(CompoundFileTest, ThreadsOfOneProcessTakeTurns) {
  const std::string Path = NewContainer();
  const auto Work = [&Path](int Id) {
    TkxCompoundFileIntf C(Path);
    C.Open();
    const std::string Name = "\\t" + std::to_string(Id);
    for (int I = 0; I < 40; ++I) {
      const std::string Data = Pattern(5000 + 300 * I, 100 * Id + I);
      WriteContained(C, Name, Data);
      EXPECT_EQ(ReadContained(C, Name), Data);
    }
  };
  std::thread A(Work, 1), B(Work, 2), D(Work, 3);
  A.join();
  B.join();
  D.join();
  TkxCompoundFileIntf C(Path);
  EXPECT_EQ(C.PerformCheck(nullptr), 0);
}

// A file whose last handle is closed while another client holds the write lock still gets
// its tiles to disk.
TEST_F(CompoundFileTest, FileClosedUnderAnotherClientsWriteLockIsKept) {
  const std::string Path = NewContainer();
  {
    TkxCompoundFileIntf A(Path), B(Path);
    A.Open();
    B.Open();
    const std::int32_t H = A.CreateFile("\\kept");
    const std::string Data = Pattern(3 * 8192 + 77, 3);
    ASSERT_EQ(A.FileWrite(H, Data.data(), static_cast<std::int32_t>(Data.size()), 0),
              static_cast<std::int32_t>(Data.size()));
    ASSERT_TRUE(B.BeginWrite());
    A.CloseFile(H);
    B.EndWrite();
  }
  TkxCompoundFileIntf C(Path);
  EXPECT_EQ(C.PerformCheck(nullptr), 0);
  C.Open();
  EXPECT_EQ(ReadContained(C, "\\kept"), Pattern(3 * 8192 + 77, 3));
}

TEST_F(CompoundFileTest, ChangesReachTheDiskSoonAfterTheLastLock) {
  const std::string Path = NewContainer();
  TkxCompoundFileIntf C(Path);
  C.Open();
  ASSERT_TRUE(C.BeginWrite());  // one physical write lock for both operations
  const std::int32_t H = C.CreateFile("\\soon");
  ASSERT_EQ(C.FileWrite(H, "data", 4, 0), 4);
  C.EndWrite();
  // The handle stays open: only the background thread (every 50 ms) can give the write lock
  // back. Wait for it, but not forever: a machine under load may take a few rounds.
  auto Bytes = ReadBytes(Path);
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (FileInt32(Bytes, 24) != 1 && std::chrono::steady_clock::now() < Deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Bytes = ReadBytes(Path);
  }
  EXPECT_EQ(FileInt32(Bytes, 24), 1);  // the change counter of the one write lock
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&Bytes[RootEntryOffset(0)]), 4), "soon");
  EXPECT_EQ(vdb::TkxMemory::ReadInt64(Bytes.data(), RootEntryOffset(0) + 81), 4);
  C.CloseFile(H);
}

TEST_F(CompoundFileTest, ClosingWithAnActiveLockRaisesButKeepsTheData) {
  const std::string Path = NewContainer();
  auto C = std::make_unique<TkxCompoundFileIntf>(Path);
  C->Open();
  WriteContained(*C, "\\x", "keep me");
  ASSERT_TRUE(C->BeginWrite());
  EXPECT_THROW_MESSAGE(C->Close(), EkxInOutError, "Closing compound file with active lock.");
  EXPECT_FALSE(C->IsOpen());
  C.reset();
  TkxCompoundFileIntf D(Path);
  D.Open();
  EXPECT_EQ(ReadContained(D, "\\x"), "keep me");
}

// --- Export and compression ------------------------------------------------------------------

TEST_F(CompoundFileTest, ExportCopiesFilesOut) {
  TkxCompoundFileIntf C(NewContainer());
  C.Open();
  WriteContained(C, "\\a.vdbt", Pattern(10000, 4));
  WriteContained(C, "\\b.vdbm", "bee");
  ASSERT_TRUE(C.CreateDir("\\d"));
  std::filesystem::create_directory(Dir.Path() / "out");
  C.ExportFiles("\\*", Dir.File("out") + "/", false);
  EXPECT_EQ(vdbtest::ReadBytes(Dir.File("out/a.vdbt")).size(), 10000u);
  EXPECT_EQ(std::filesystem::file_size(Dir.File("out/b.vdbm")), 3u);
  EXPECT_FALSE(std::filesystem::exists(Dir.File("out/d")));  // directories are not exported
  C.ExportFile("\\a.vdbt", Dir.File("single"));
  const auto Single = ReadBytes(Dir.File("single"));
  EXPECT_EQ(std::string(Single.begin(), Single.end()), Pattern(10000, 4));
  EXPECT_THROW_MESSAGE(C.ExportFile("\\none", Dir.File("x")), EkxInOutError,
                       "File \\none not found.");
  EXPECT_THROW_MESSAGE(C.ExportFiles("\\nodir\\*", Dir.File("out"), false), EkxInOutError,
                       "Directory \"\\nodir\\\" not found.");
  const std::string Bad = Dir.File("missing/dir/x");
  EXPECT_THROW_MESSAGE(C.ExportFile("\\b.vdbm", Bad), EkxInOutError,
                       "Cannot create file " + Bad + ".");
}

TEST_F(CompoundFileTest, CompressionKeepsEveryFileAndDropsTheFreeTiles) {
  const std::string Path = NewContainer();
  TkxCompoundFileIntf C(Path);
  C.Open();
  std::map<std::string, std::string> Files = {{"\\a", Pattern(30000, 5)},
                                              {"\\sub\\b", Pattern(9000, 6)},
                                              {"\\sub\\deeper\\c", "c"},
                                              {"\\empty", ""}};
  ASSERT_TRUE(C.CreateDir("\\sub"));
  ASSERT_TRUE(C.CreateDir("\\sub\\deeper"));
  WriteContained(C, "\\junk", Pattern(50000, 8));
  for (const auto& [Name, Content] : Files) WriteContained(C, Name, Content);
  ASSERT_TRUE(C.DeleteFile("\\junk"));
  EXPECT_GT(C.GetFreePagesCount(), 0);
  const std::int32_t Before = C.GetPageCount();

  const std::int32_t H = C.OpenFile("\\a", 0);
  EXPECT_THROW_MESSAGE(C.Compress(), EkxCompoundFileError, "Cannot compress with open files.");
  C.CloseFile(H);

  C.Compress();
  EXPECT_TRUE(C.IsOpen());
  EXPECT_EQ(C.GetFreePagesCount(), 0);
  EXPECT_LT(C.GetPageCount(), Before);
  for (const auto& [Name, Content] : Files) EXPECT_EQ(ReadContained(C, Name), Content) << Name;
  EXPECT_TRUE(std::filesystem::exists(Dir.File("c.bak.vdbd")));
  EXPECT_FALSE(std::filesystem::exists(Dir.File("c.tmp.vdbd")));
  C.Close();
  EXPECT_EQ(C.PerformCheck(nullptr), 0);
}

TEST_F(CompoundFileTest, CompressionThatCannotMoveTheContainerKeepsIt) {
  const std::string Path = NewContainer();
  TkxCompoundFileIntf C(Path);
  C.Open();
  WriteContained(C, "\\a", "still here");
  // A backup name that is taken by a directory with content cannot be replaced.
  std::filesystem::create_directories(Dir.Path() / "c.bak.vdbd" / "in");
  EXPECT_THROW_MESSAGE(C.Compress(), EkxCompoundFileError,
                       "Cannot rename compound file \"" + Path + "\". The container is unchanged.");
  EXPECT_FALSE(std::filesystem::exists(Dir.File("c.tmp.vdbd")));
  ASSERT_TRUE(C.IsOpen());
  EXPECT_EQ(ReadContained(C, "\\a"), "still here");
}

}  // namespace
