// Page manager over the compound container: shared units inside a contained file, files that
// grow without holes, directory updates, and another process's write reaching this one.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxMemory.h"
#include "VdbPageManTestSupport.h"
#include "kxCompoundFileTestSupport.h"

namespace vdb::test {
namespace {

using TProbeContainer = TProbe<TkxCompoundFileIntf>;

class PageManContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ContainerPath = Dir.File("lex.vdbd");
    Container = std::make_unique<TProbeContainer>(ContainerPath);
    Container->NewFile();
    Container->Open();
  }

  void TearDown() override {
    Container->Close();
  }

  std::unique_ptr<TVdbClientStorage> Client(const std::string& Name, std::int32_t ClientHdl,
                                            std::int32_t PageSize) {
    auto Storage = std::make_unique<TVdbClientStorage>(Manager, Container.get(), ClientHdl);
    Storage->SetName(Name);
    Storage->SetPageSize(PageSize);
    return Storage;
  }

  // A contained file of Tiles pattern tiles, written through the page manager and closed.
  void MakePatternFile(const std::string& Name, std::int32_t Tiles) {
    auto Storage = Client(Name, 1, kTile);
    Storage->NewStorage();
    const auto Bytes = Pattern(static_cast<std::int64_t>(Tiles) * kTile);
    for (std::int32_t Page = 0; Page < Tiles; ++Page) {
      Storage->NewPage(Page)->CopyFrom(Bytes.data(), Page * kTile, kTile, 0);
    }
    Storage->Flush();
  }

  std::string Contained(const std::string& Name) { return vdbtest::ReadContained(*Container, Name); }

  static std::int32_t IntAt(const std::string& Bytes, std::int64_t Pos) {
    return TkxMemory::ReadInt32(Bytes.data(), Pos);
  }

  TScratchDir Dir;
  std::string ContainerPath;
  std::unique_ptr<TProbeContainer> Container;
  TVdbPageManager Manager;
};

TEST_F(PageManContainerTest, PagesTwoNAndTwoNPlusOneShareOneTileInsideTheContainer) {
  MakePatternFile("\\Data!CIMSZO.vdbi", 3);
  auto A = Client("\\Data!CIMSZO.vdbi", 1, 4096);
  auto B = Client("\\data!cimszo.VDBI", 2, 4096);
  A->Open(false, false);
  B->Open(false, false);
  ASSERT_EQ(A->StorageHdl(), B->StorageHdl());
  ASSERT_EQ(A->GetPageCount(), 6);

  auto Even = A->ReadPage(4);
  auto Odd = B->ReadPage(5);
  EXPECT_EQ(Even->StorageTile(), Odd->StorageTile());
  Even->WriteInt32(0, 444);
  Odd->WriteInt32(0, 555);
  EXPECT_EQ(B->ReadPage(4)->ReadInt32(0), 444);
  EXPECT_EQ(A->ReadPage(5)->ReadInt32(0), 555);

  Container->ClearLog();
  A->Flush();
  EXPECT_EQ(Container->Writes, (TAccesses{{2 * kTile, kTile}}));
  A->Close();
  B->Close();
  const std::string Bytes = Contained("\\Data!CIMSZO.vdbi");
  ASSERT_EQ(Bytes.size(), static_cast<std::size_t>(3 * kTile));
  EXPECT_EQ(IntAt(Bytes, 4 * 4096), 444);
  EXPECT_EQ(IntAt(Bytes, 5 * 4096), 555);
  EXPECT_EQ(static_cast<std::uint8_t>(Bytes[4 * 4096 + 4]), PatternByte(4 * 4096 + 4));
}

TEST_F(PageManContainerTest, FlushGrowsAContainedFileWithoutHoles) {
  auto Storage = Client("\\Data.vdbt", 1, kTile);
  Storage->NewStorage();
  Storage->NewPage(3)->WriteInt32(0, 33);  // pages 0 to 2 never written
  Storage->NewPage(1)->WriteInt32(0, 11);
  Storage->Flush();
  const std::string Bytes = Contained("\\Data.vdbt");
  ASSERT_EQ(Bytes.size(), static_cast<std::size_t>(4 * kTile));
  EXPECT_EQ(IntAt(Bytes, 3 * kTile), 33);
  EXPECT_EQ(IntAt(Bytes, 1 * kTile), 11);

  Storage->SetPageCount(2);
  Storage->Flush();
  EXPECT_EQ(Contained("\\Data.vdbt").size(), static_cast<std::size_t>(2 * kTile));
}

TEST_F(PageManContainerTest, UpdateDirBringsTheDirectoryEntryOnDiskUpToDate) {
  auto Storage = Client("\\Data.vdbt", 1, kTile);
  Storage->NewStorage();
  for (std::int32_t Page = 0; Page < 5; ++Page) Storage->NewPage(Page)->WriteInt32(0, Page);
  Storage->Flush();
  Storage->UpdateDir();
  // The first entry of the root directory (tile 1) holds the size at byte 81.
  const auto Raw = ReadFileBytes(ContainerPath);
  ASSERT_GE(Raw.size(), static_cast<std::size_t>(2 * kTile));
  EXPECT_EQ(TkxMemory::ReadInt64(Raw.data(), kTile + 81), 5 * kTile);
  EXPECT_EQ(Storage->ReadPage(4)->ReadInt32(0), 4);  // the reopened handle works
}

TEST_F(PageManContainerTest, AnotherProcessWriteReachesThisOneAfterTheNextLockAndInvalidate) {
  MakePatternFile("\\Data.vdbt", 4);
  auto Storage = Client("\\Data.vdbt", 1, kTile);
  Storage->Open(false, false);
  EXPECT_EQ(Storage->ReadPage(1)->ReadInt32(0), PatternInt(kTile));

  // The other process changes page 1 and appends page 4 through its own page manager. It gets
  // the container's write lock once this process has given back its idle locks.
  vdbtest::TChild Helper(std::string(VDB_TEST_HELPER_DIR) + "/pageman_helper",
                         {ContainerPath, "\\Data.vdbt", "8192", "1:0:7777", "4:8:8888"},
                         Dir.File("helper.out"));
  ASSERT_EQ(Helper.Wait(), 0) << Helper.Output();

  // This process still has its cached copy, and the page count it knew.
  Container->ClearLog();
  EXPECT_EQ(Storage->ReadPage(1)->ReadInt32(0), PatternInt(kTile));
  EXPECT_EQ(Storage->GetPageCount(), 4);
  EXPECT_TRUE(Container->Reads.empty());

  // The next lock sees the changed counter and drops the container's caches; the storage is
  // invalidated as a table does when its lock file reports a change.
  ASSERT_TRUE(Container->BeginRead());
  Container->EndRead();
  Storage->Invalidate();
  EXPECT_EQ(Storage->GetPageCount(), 5);
  EXPECT_EQ(Storage->ReadPage(1)->ReadInt32(0), 7777);
  EXPECT_EQ(Storage->ReadPage(4)->ReadInt32(8), 8888);
  EXPECT_EQ(Storage->ReadPage(2)->ReadInt32(0), PatternInt(2 * kTile));
}

}  // namespace
}  // namespace vdb::test
