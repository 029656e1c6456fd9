// Transfers of contained files: whole tiles that the tile cache does not hold go straight
// between the caller and the container file, everything else through the cache; gathered
// writes; and giving back the tiles of a large file at the end of a big container.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "storage/kxCompoundFile.h"
#include "storage/kxCompoundFileTestSupport.h"

namespace {

using vdb::EkxInOutError;
using vdb::TkxCompoundFileIntf;
using vdb::TkxWritePiece;
using vdbtest::Pattern;
using vdbtest::ReadContained;
using vdbtest::WriteContained;

constexpr std::int64_t kTile = 8192;

class ContainerTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Path = Dir.File("c.vdbd");
    TkxCompoundFileIntf Creator(Path);
    Creator.NewFile();
    C.SetFileName(Path);
    C.Open();
  }

  std::int32_t Write(std::int32_t H, const std::string& Data, std::int64_t Pos) {
    return C.FileWrite(H, Data.data(), static_cast<std::int32_t>(Data.size()), Pos);
  }

  std::string Read(std::int32_t H, std::int64_t Count, std::int64_t Pos) {
    std::string Data(static_cast<std::size_t>(Count), '\0');
    const std::int32_t Got = C.FileRead(H, Data.data(), static_cast<std::int32_t>(Count), Pos);
    Data.resize(static_cast<std::size_t>(std::max(Got, 0)));
    return Data;
  }

  std::int32_t Defects() {
    std::vector<std::string> Found;
    const std::int32_t Count = C.PerformCheck(
        [&](const std::string& File, const std::string& Message) { Found.push_back(File + ": " + Message); });
    EXPECT_EQ(Count, 0) << ::testing::PrintToString(Found);
    return Count;
  }

  vdbtest::TTempDir Dir;
  std::string Path;
  TkxCompoundFileIntf C;
};

// A tile the cache holds changed is never passed by: reads see it, a write of whole tiles over
// it goes into it, and the commit writes it once the lock ends.
TEST_F(ContainerTransferTest, CachedChangesAreNeitherPassedNorLost) {
  std::string Model = Pattern(5 * kTile, 1);
  WriteContained(C, "\\f", Model);
  ASSERT_TRUE(C.BeginWrite());  // the tile changed below stays dirty in the cache
  const std::int32_t H = C.OpenFile("\\f", 0);
  ASSERT_EQ(Write(H, "#", 2 * kTile + 5), 1);
  Model[2 * kTile + 5] = '#';
  EXPECT_EQ(Read(H, 5 * kTile, 0), Model);  // whole tiles, one of them from the cache
  EXPECT_EQ(Read(H, kTile, 2 * kTile), Model.substr(2 * kTile, kTile));

  const std::string Whole = Pattern(3 * kTile, 2);
  ASSERT_EQ(Write(H, Whole, kTile), 3 * kTile);
  Model.replace(kTile, Whole.size(), Whole);
  EXPECT_EQ(Read(H, 5 * kTile, 0), Model);
  C.CloseFile(H);
  C.EndWrite();
  C.Close();
  EXPECT_EQ(Defects(), 0);
  C.Open();
  EXPECT_EQ(ReadContained(C, "\\f"), Model);
}

// Reads, writes and gathered writes of every alignment on two files whose chains interleave,
// against a model. The files stay open, so that their caches hold tiles clean and (inside
// write sessions) changed; the container is read back from disk now and then and checked at
// the end.
TEST_F(ContainerTransferTest, EveryAlignmentAgreesWithAModel) {
  std::mt19937 Random(20251210);
  const std::vector<std::string> Names = {"\\f", "\\g"};
  std::map<std::string, std::string> Model;
  std::map<std::string, std::int32_t> Handles;
  for (const auto& Name : Names) {
    Model[Name] = Pattern(3 * kTile + 77, static_cast<unsigned>(Name[1]));
    WriteContained(C, Name, Model[Name]);
  }
  const auto OpenAll = [&] {
    for (const auto& Name : Names) Handles[Name] = C.OpenFile(Name, 0);
  };
  const auto CloseAll = [&] {
    for (const auto& [Name, H] : Handles) C.CloseFile(H);
  };
  OpenAll();
  bool InSession = false;
  const auto RandomPos = [&](const std::string& Content, bool Aligned) {
    const std::int64_t Size = static_cast<std::int64_t>(Content.size());
    if (Aligned) return static_cast<std::int64_t>(Random() % (Size / kTile + 1)) * kTile;
    return static_cast<std::int64_t>(Random() % (Size + 1));
  };
  const auto RandomData = [&](int Step, bool Aligned) {
    const std::size_t Size = Aligned ? (1 + Random() % 4) * kTile : 1 + Random() % (3 * kTile);
    return Pattern(Size, static_cast<unsigned>(Step));
  };
  for (int Step = 0; Step < 400; ++Step) {
    const std::string& Name = Names[Random() % Names.size()];
    std::string& Content = Model[Name];
    const bool Aligned = Random() % 2 == 0;
    const std::int32_t H = Handles[Name];
    ASSERT_GE(H, 32);
    if (Step % 13 == 0) {  // write sessions keep changed tiles in the cache until they end
      if (InSession) C.EndWrite();
      else ASSERT_TRUE(C.BeginWrite());
      InSession = !InSession;
    }
    switch (Random() % 4) {
      case 0: {  // one write
        const std::int64_t Pos = RandomPos(Content, Aligned);
        const std::string Data = RandomData(Step, Aligned);
        ASSERT_EQ(Write(H, Data, Pos), static_cast<std::int32_t>(Data.size()));
        Content.replace(static_cast<std::size_t>(Pos), Data.size(), Data);
        break;
      }
      case 1: {  // a gathered write of pieces of mixed sizes
        const std::int64_t Pos = RandomPos(Content, Aligned);
        std::vector<std::string> Parts;
        std::vector<TkxWritePiece> Pieces;
        for (unsigned I = 0, N = 1 + Random() % 5; I < N; ++I)
          Parts.push_back(RandomData(Step * 10 + static_cast<int>(I), Random() % 3 != 0));
        std::string All;
        for (const auto& Part : Parts) {
          Pieces.push_back({Part.data(), static_cast<std::int32_t>(Part.size())});
          All += Part;
        }
        ASSERT_EQ(C.FileWriteGathered(H, Pieces.data(), static_cast<std::int32_t>(Pieces.size()), Pos),
                  static_cast<std::int32_t>(All.size()));
        Content.replace(static_cast<std::size_t>(Pos), All.size(), All);
        break;
      }
      case 2: {  // a read
        const std::int64_t Pos = RandomPos(Content, Aligned);
        const std::int64_t Count = Aligned ? (1 + Random() % 4) * kTile : 1 + Random() % (3 * kTile);
        ASSERT_EQ(Read(H, Count, Pos), Content.substr(static_cast<std::size_t>(Pos), static_cast<std::size_t>(Count)))
            << Name << " at " << Pos << ", " << Count << " bytes, step " << Step;
        break;
      }
      default: {  // shorter, now and then
        if (Random() % 3 != 0 || Content.size() < 2 * kTile) break;
        const std::size_t Size = Content.size() - Random() % (2 * kTile);
        C.SetFileSize(H, static_cast<std::int64_t>(Size));
        Content.resize(Size);
      }
    }
    if (Step % 97 == 96 && !InSession) {
      CloseAll();
      C.Close();
      C.Open();
      OpenAll();
    }
  }
  if (InSession) C.EndWrite();
  CloseAll();
  for (const auto& [Name, Content] : Model) EXPECT_EQ(ReadContained(C, Name), Content) << Name;
  for (int Count : vdbtest::TileCoverage(C)) EXPECT_EQ(Count, 1);
  C.Close();
  EXPECT_EQ(Defects(), 0);
  C.Open();
  for (const auto& [Name, Content] : Model) EXPECT_EQ(ReadContained(C, Name), Content) << Name;
}

TEST_F(ContainerTransferTest, GatheredWriteFollowsTheRulesOfWrite) {
  WriteContained(C, "\\f", Pattern(kTile + 10, 3));
  const std::int32_t H = C.OpenFile("\\f", 0);
  const std::string A(kTile, 'a'), B(20, 'b');
  const TkxWritePiece Pieces[] = {{A.data(), kTile}, {nullptr, 0}, {B.data(), 20}};
  // Files have no holes: beyond the size nothing is written; at the size the file grows.
  EXPECT_EQ(C.FileWriteGathered(H, Pieces, 3, kTile + 11), 0);
  EXPECT_EQ(C.GetFileSize(H), kTile + 10);
  EXPECT_EQ(C.FileWriteGathered(H, Pieces, 3, kTile + 10), kTile + 20);
  EXPECT_EQ(Read(H, 3 * kTile, 0), Pattern(kTile + 10, 3) + A + B);
  EXPECT_EQ(C.FileWriteGathered(H, Pieces, 0, 0), 0);
  EXPECT_EQ(C.FileWriteGathered(999, Pieces, 3, 0), -1);
  EXPECT_EQ(C.GetLastError(), vdb::kxErrorInvalidHandle);
  C.CloseFile(H);
  C.Close();
  EXPECT_EQ(Defects(), 0);

  TkxCompoundFileIntf ReadOnly(Path, true);
  ReadOnly.Open();
  const std::int32_t R = ReadOnly.OpenFile("\\f", 0);
  EXPECT_THROW(ReadOnly.FileWriteGathered(R, Pieces, 3, 0), EkxInOutError);
}

// A free list that runs back into itself is cut where it does, rather than handing out a tile
// twice: the new file's chain holds every tile once and the container stays consistent.
TEST_F(ContainerTransferTest, AllocationCutsAFreeListThatRunsIntoItself) {
  WriteContained(C, "\\a", Pattern(2 * kTile, 6));  // tiles 2 and 3
  WriteContained(C, "\\b", Pattern(kTile, 7));      // tile 4 keeps them from the end
  ASSERT_TRUE(C.DeleteFile("\\a"));
  ASSERT_EQ(C.GetFreeListPage(), 2);
  C.Close();
  vdbtest::PatchInt32(Path, vdbtest::FatOffset(3), 2);  // free list 2 -> 3 -> 2 -> ...
  C.Open();
  const std::int32_t H = C.CreateFile("\\c");
  C.SetFileSize(H, 4 * kTile);
  const std::string Data = Pattern(4 * kTile, 8);
  ASSERT_EQ(Write(H, Data, 0), 4 * kTile);
  C.CloseFile(H);
  EXPECT_EQ(C.GetPageChain(C.GetFirstPageNo("\\c")), (std::vector<std::int32_t>{2, 3, 5, 6}));
  EXPECT_EQ(C.GetFreePagesCount(), 0);
  C.Close();
  EXPECT_EQ(Defects(), 0);
  C.Open();
  EXPECT_EQ(ReadContained(C, "\\c"), Data);
  EXPECT_EQ(ReadContained(C, "\\b"), Pattern(kTile, 7));
}

// The tiles of a large file at the end of the container go back to the free list and, as far
// as the tile table allows, to the operating system, in time linear in their number.
TEST_F(ContainerTransferTest, DeletingALargeFileAtTheEndIsQuickAndLeavesAConsistentContainer) {
  constexpr std::int64_t kBigTiles = 100000;  // the tile table needs 49 tiles for them
  WriteContained(C, "\\small", Pattern(3 * kTile, 4));
  std::int32_t H = C.CreateFile("\\big");
  ASSERT_GE(H, 32);
  C.SetFileSize(H, kBigTiles * kTile);
  const std::string Last = Pattern(kTile, 5);
  ASSERT_EQ(Write(H, Last, (kBigTiles - 1) * kTile), kTile);
  C.CloseFile(H);
  const std::int32_t TilesBefore = C.GetPageCount();
  const std::int32_t TableTiles = static_cast<std::int32_t>(C.GetPageChain(0).size());
  ASSERT_EQ(TilesBefore, 1 + 3 + kBigTiles + TableTiles);  // root, \small, \big, table
  C.Close();
  EXPECT_EQ(Defects(), 0);

  C.Open();
  H = C.OpenFile("\\big", 0);
  EXPECT_EQ(Read(H, kTile, (kBigTiles - 1) * kTile), Last);
  C.CloseFile(H);
  const auto Start = std::chrono::steady_clock::now();
  ASSERT_TRUE(C.DeleteFile("\\big"));
  const double Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  // Generous even for a sanitizer build; walking the free list once per tile given back took
  // minutes here.
  EXPECT_LT(Seconds, 30.0);
  // The tile table keeps its tiles, and with them the tiles that all but its last can hold.
  const std::int32_t MinTiles = static_cast<std::int32_t>(((TableTiles - 1) * kTile - 1024) / 4 + 1);
  EXPECT_EQ(C.GetPageCount(), MinTiles);
  EXPECT_EQ(C.GetFreePagesCount(), MinTiles - 1 - 3 - TableTiles);
  EXPECT_EQ(ReadContained(C, "\\small"), Pattern(3 * kTile, 4));
  C.Close();
  EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(Path)), MinTiles * kTile);
  EXPECT_EQ(Defects(), 0);
  C.Open();
  EXPECT_EQ(ReadContained(C, "\\big"), "<missing>");
  for (int Count : vdbtest::TileCoverage(C)) EXPECT_EQ(Count, 1);
}

}  // namespace
