// Gathered writes: the operating-system file system writes all pieces with one call and fails
// as FileWrite does, a file system derived from it sees the pieces one by one, and a flush of
// the page manager writes modified units at consecutive tiles together, on the operating
// system as in a container.
#include <gtest/gtest.h>
#include <limits.h>

#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxFileSystem.h"
#include "VdbPageManTestSupport.h"
#include "kxCompoundFileTestSupport.h"

namespace vdb::test {
namespace {

std::vector<TkxWritePiece> PiecesOf(const std::vector<std::string>& Parts) {
  std::vector<TkxWritePiece> Pieces;
  for (const auto& Part : Parts) Pieces.push_back({Part.data(), static_cast<std::int32_t>(Part.size())});
  return Pieces;
}

std::string Joined(const std::vector<std::string>& Parts) {
  std::string All;
  for (const auto& Part : Parts) All += Part;
  return All;
}

std::string FileText(const std::string& Path) {
  const auto Bytes = ReadFileBytes(Path);
  return std::string(Bytes.begin(), Bytes.end());
}

class GatheredWriteTest : public ::testing::Test {
 protected:
  std::int32_t Create(TkxFileSystem& Fs, const std::string& Name) {
    const std::int32_t H = Fs.CreateFile(Name);
    EXPECT_GE(H, 0);
    return H;
  }

  TScratchDir Dir;
  TkxOSFileSystem Os{Dir.Path().string()};
};

TEST_F(GatheredWriteTest, OperatingSystemWritesThePiecesInOrder) {
  std::vector<std::string> Parts = {"first,", "", std::string(20000, 'x'), "last"};
  // More pieces than one system call takes.
  for (int I = 0; I < IOV_MAX + 100; ++I) Parts.push_back(std::to_string(I % 10));
  const auto Pieces = PiecesOf(Parts);
  const std::int32_t H = Create(Os, "g.dat");
  ASSERT_EQ(Os.FileWrite(H, "0123456789", 10, 0), 10);
  const std::string All = Joined(Parts);
  EXPECT_EQ(Os.FileWriteGathered(H, Pieces.data(), static_cast<std::int32_t>(Pieces.size()), 4),
            static_cast<std::int32_t>(All.size()));
  EXPECT_EQ(Os.FileWriteGathered(H, Pieces.data(), 0, 0), 0);
  Os.CloseFile(H);
  EXPECT_EQ(FileText(Dir.File("g.dat")), "0123" + All);
}

struct TFailureCase {
  const char* Name;
  bool ReadOnlyHandle;
  bool InvalidHandle;
  std::int64_t Position;
  std::vector<TkxWritePiece> Pieces;
  std::int32_t Result;
  std::int32_t Error;
};

TEST_F(GatheredWriteTest, OperatingSystemFailsAsFileWriteDoes) {
  static const char Text[] = "abc";
  const std::vector<TFailureCase> Cases = {
      {"InvalidHandle", false, true, 0, {{Text, 3}}, 0, kxErrorInvalidHandle},
      {"NegativePosition", false, false, -1, {{Text, 3}}, 0, kxErrorNegativeSeek},
      {"ReadOnlyHandle", true, false, 0, {{Text, 3}}, -1, kxErrorAccessDenied},
      {"NegativeCount", false, false, 0, {{Text, 3}, {Text, -1}}, -1, kxErrorInvalidParameter},
      {"NoData", false, false, 0, {{Text, 3}, {nullptr, 2}}, -1, kxErrorInvalidParameter},
      {"TooLong", false, false, 0, {{Text, INT32_MAX}, {Text, 3}}, -1, kxErrorInvalidParameter},
  };
  WriteFileBytes(Dir.File("f.dat"), Pattern(10));
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    std::int32_t H = Os.OpenFile("f.dat", Case.ReadOnlyHandle ? fmOpenRead | fmShareDenyNone
                                                              : fmOpenReadWrite | fmShareDenyNone);
    ASSERT_GE(H, 0);
    const std::int32_t Target = Case.InvalidHandle ? 12345 : H;
    EXPECT_EQ(Os.FileWriteGathered(Target, Case.Pieces.data(),
                                   static_cast<std::int32_t>(Case.Pieces.size()), Case.Position),
              Case.Result);
    EXPECT_EQ(Os.GetLastError(), Case.Error);
    Os.CloseFile(H);
    EXPECT_EQ(ReadFileBytes(Dir.File("f.dat")), Pattern(10)) << "nothing written";
  }
}

// A file system derived from the operating system's one watches single writes: it is given
// the pieces one by one and a failing piece ends the write.
TEST_F(GatheredWriteTest, DerivedFileSystemSeesEveryPiece) {
  TProbeFileSystem Probe(Dir.Path().string());
  const std::vector<std::string> Parts = {"aa", "bbb", "", "cccc"};
  const auto Pieces = PiecesOf(Parts);
  const std::int32_t H = Create(Probe, "p.dat");
  EXPECT_EQ(Probe.FileWriteGathered(H, Pieces.data(), 4, 0), 9);
  EXPECT_EQ(Probe.Writes, (TAccesses{{0, 2}, {2, 3}, {5, 0}, {5, 4}}));
  Probe.ClearLog();
  Probe.WritesBeforeFailure = 1;
  EXPECT_EQ(Probe.FileWriteGathered(H, Pieces.data(), 4, 9), 2);
  Probe.WritesBeforeFailure = 0;
  EXPECT_EQ(Probe.FileWriteGathered(H, Pieces.data(), 4, 11), -1);
  Probe.CloseFile(H);
  EXPECT_EQ(FileText(Dir.File("p.dat")), "aabbbccccaa");
}

// Records the gathered writes that reach a file system derived from the OS one.
class TGatherProbe : public TProbeFileSystem {
 public:
  using TProbeFileSystem::TProbeFileSystem;
  std::int32_t FileWriteGathered(std::int32_t Handle, const TkxWritePiece* Pieces,
                                 std::int32_t PieceCount, std::int64_t Position) override {
    Gathered.push_back({Position, PieceCount});
    return TProbeFileSystem::FileWriteGathered(Handle, Pieces, PieceCount, Position);
  }
  void ForgetAll() {
    ClearLog();
    Gathered.clear();
  }
  TAccesses Gathered;  // position and number of pieces
};

class FlushRunsTest : public ::testing::Test {
 protected:
  std::unique_ptr<TVdbClientStorage> OpenPattern(TkxFileSystem& Fs, std::int64_t Tiles,
                                                 std::shared_ptr<TVdbStorageCipher> Cipher = nullptr) {
    WriteFileBytes(Dir.File("d.vdbt"), Pattern(Tiles * kTile));
    auto Storage = std::make_unique<TVdbClientStorage>(Manager, &Fs, 1, std::move(Cipher));
    Storage->SetName("d.vdbt");
    Storage->SetPageSize(kTile);
    Storage->Open(false, false);
    return Storage;
  }

  // Modifies the first int of each page, expected in Expected as well.
  static void Modify(TVdbClientStorage& Storage, const std::vector<std::int32_t>& Pages,
                     std::vector<std::uint8_t>& Expected) {
    for (std::int32_t Page : Pages) {
      Storage.ReadPage(Page)->WriteInt32(0, 7000 + Page);
      TkxMemory::WriteInt32(Expected.data(), Page * kTile, 7000 + Page);
    }
  }

  static std::vector<std::int32_t> Range(std::int32_t From, std::int32_t To) {
    std::vector<std::int32_t> Pages;
    for (std::int32_t Page = From; Page < To; ++Page) Pages.push_back(Page);
    return Pages;
  }

  TScratchDir Dir;
  TVdbPageManager Manager;
};

TEST_F(FlushRunsTest, ConsecutiveModifiedUnitsAreWrittenTogether) {
  TGatherProbe Fs(Dir.Path().string());
  auto Storage = OpenPattern(Fs, 100);
  auto Expected = Pattern(100 * kTile);
  auto Pages = Range(7, 7 + 70);  // more than one write takes
  for (std::int32_t Page : {5, 2, 0, 1}) Pages.push_back(Page);
  Modify(*Storage, Pages, Expected);
  Fs.ForgetAll();
  Storage->Flush();
  EXPECT_EQ(Fs.Gathered, (TAccesses{{0, 3}, {7 * kTile, 64}, {71 * kTile, 6}}));
  EXPECT_EQ(Fs.Writes.size(), 3u + 1u + 64u + 6u);  // unit 5 on its own
  EXPECT_EQ(ReadFileBytes(Dir.File("d.vdbt")), Expected);
  Fs.ForgetAll();
  Storage->Flush();
  EXPECT_TRUE(Fs.Writes.empty());
}

// A write that stops in the middle of a run leaves the units after it modified.
TEST_F(FlushRunsTest, UnitsAfterAFailureInARunStayModified) {
  TGatherProbe Fs(Dir.Path().string());
  auto Storage = OpenPattern(Fs, 10);
  auto Expected = Pattern(10 * kTile);
  Modify(*Storage, Range(2, 8), Expected);
  Fs.ForgetAll();
  Fs.WritesBeforeFailure = 2;
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Storage->Flush(); }),
            "Saving tile: Cannot write tile to storage");
  Fs.WritesBeforeFailure = -1;
  Fs.ForgetAll();
  Storage->Flush();
  EXPECT_EQ(Fs.Gathered, (TAccesses{{4 * kTile, 4}}));
  EXPECT_EQ(ReadFileBytes(Dir.File("d.vdbt")), Expected);
}

TEST_F(FlushRunsTest, EncryptedUnitsAreWrittenOneByOne) {
  TGatherProbe Fs(Dir.Path().string());
  auto Cipher = std::make_shared<TXorCipher>(0x3C);
  auto Storage = OpenPattern(Fs, 6, Cipher);
  for (std::int32_t Page = 1; Page < 4; ++Page) Storage->ReadPage(Page)->WriteInt32(0, Page);
  Fs.ForgetAll();
  Storage->Flush();
  EXPECT_TRUE(Fs.Gathered.empty());
  EXPECT_EQ(Fs.Writes, (TAccesses{{kTile, kTile}, {2 * kTile, kTile}, {3 * kTile, kTile}}));
}

// Without a file system in between that watches single writes, the runs go to the operating
// system and to a container with one call each; what arrives is the same.
TEST_F(FlushRunsTest, RunsReachTheOperatingSystemAndAContainer) {
  TkxOSFileSystem Os(Dir.Path().string());
  auto Storage = OpenPattern(Os, 40);
  auto Expected = Pattern(40 * kTile);
  Modify(*Storage, Range(3, 30), Expected);
  Storage->Flush();
  EXPECT_EQ(ReadFileBytes(Dir.File("d.vdbt")), Expected);
  Storage->Close();

  const std::string ContainerPath = Dir.File("c.vdbd");
  TkxCompoundFileIntf Container(ContainerPath);
  Container.NewFile();
  Container.Open();
  {
    TVdbClientStorage Contained(Manager, &Container, 2);
    Contained.SetName("\\d.vdbt");
    Contained.SetPageSize(kTile);
    Contained.NewStorage();
    for (std::int32_t Page = 0; Page < 40; ++Page)
      Contained.NewPage(Page)->CopyFrom(Expected.data(), Page * kTile, kTile, 0);
    Contained.Flush();
    Modify(Contained, {0, 1, 2, 39}, Expected);
    Contained.Flush();
    Contained.Close();
  }
  Container.Close();
  EXPECT_EQ(Container.PerformCheck(nullptr), 0);
  Container.Open();
  const std::string Stored = vdbtest::ReadContained(Container, "\\d.vdbt");
  EXPECT_EQ(std::vector<std::uint8_t>(Stored.begin(), Stored.end()), Expected);
}

}  // namespace
}  // namespace vdb::test
