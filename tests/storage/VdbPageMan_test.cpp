// Page manager over the operating-system file system: page/tile mapping, sharing of units,
// the cache limit, flush, undo, invalidate, resizing, direct access, errors and the registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <type_traits>

#include "storage/VdbPageMan.h"
#include "storage/kxMemory.h"
#include "VdbPageManTestSupport.h"

namespace vdb::test {
namespace {

class PageManTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Manager.SetLog([this](int Severity, const std::string& Source, const std::string& Message) {
      LogLines.push_back(std::to_string(Severity) + "|" + Source + "|" + Message);
    });
  }

  std::unique_ptr<TVdbClientStorage> Client(const std::string& Name, std::int32_t ClientHdl = 1,
                                            std::int32_t PageSize = 0,
                                            std::shared_ptr<TVdbStorageCipher> Cipher = nullptr) {
    auto Storage = std::make_unique<TVdbClientStorage>(Manager, &Fs, ClientHdl, Cipher);
    Storage->SetName(Name);
    if (PageSize != 0) Storage->SetPageSize(PageSize);
    return Storage;
  }

  // A file of Size pattern bytes, opened shared for writing with the given page size.
  std::unique_ptr<TVdbClientStorage> OpenPattern(const std::string& Name, std::int64_t Size,
                                                 std::int32_t PageSize,
                                                 std::int32_t ClientHdl = 1) {
    WriteFileBytes(Dir.File(Name), Pattern(Size));
    auto Storage = Client(Name, ClientHdl, PageSize);
    Storage->Open(false, false);
    return Storage;
  }

  bool Logged(const std::string& Line) const {
    return std::find(LogLines.begin(), LogLines.end(), Line) != LogLines.end();
  }

  static std::int32_t FileInt(const std::vector<std::uint8_t>& Bytes, std::int64_t Pos) {
    return TkxMemory::ReadInt32(Bytes.data(), Pos);
  }

  TScratchDir Dir;
  TProbeFileSystem Fs{Dir.Path().string()};
  TVdbPageManager Manager;
  std::vector<std::string> LogLines;
};

// --- Page/tile mapping ---------------------------------------------------------------------------

struct TMappingCase {
  std::int32_t PageSize;
  std::int32_t PageNo;
  std::int64_t FirstTile;
  std::int32_t Tiles;
  std::int64_t Offset;
};

constexpr TMappingCase kMapping[] = {
    {1024, 0, 0, 1, 0},      {1024, 7, 0, 1, 7168},   {1024, 8, 1, 1, 0},
    {1024, 13, 1, 1, 5120},  {4096, 0, 0, 1, 0},      {4096, 1, 0, 1, 4096},
    {4096, 2, 1, 1, 0},      {4096, 5, 2, 1, 4096},   {8192, 0, 0, 1, 0},
    {8192, 3, 3, 1, 0},      {16384, 0, 0, 2, 0},     {16384, 1, 2, 2, 0},
    {16384, 3, 6, 2, 0},     {32768, 0, 0, 4, 0},     {32768, 2, 8, 4, 0},
    {32768, 5, 20, 4, 0},
};

TEST_F(PageManTest, PagesMapToTilesForPageSizesBelowAndAboveTheTileSize) {
  for (const auto& Case : kMapping) {
    SCOPED_TRACE("page size " + std::to_string(Case.PageSize) + ", page " +
                 std::to_string(Case.PageNo));
    const TVdbPageLocation Location = VdbLocatePage(Case.PageNo, Case.PageSize, kTile);
    EXPECT_EQ(Location.FirstTile, Case.FirstTile);
    EXPECT_EQ(Location.TileCount, Case.Tiles);
    EXPECT_EQ(Location.Offset, Case.Offset);

    // A site on a new storage binds the same unit, and the page reaches its place in the file.
    const std::string Name = "map" + std::to_string(Case.PageSize) + "_" +
                             std::to_string(Case.PageNo) + ".dat";
    auto Storage = Client(Name, 1, Case.PageSize);
    Storage->NewStorage();
    auto Site = Storage->NewPage(Case.PageNo);
    ASSERT_NE(Site->StorageTile(), nullptr);
    EXPECT_EQ(Site->StorageTile()->TileNo(), Case.FirstTile);
    EXPECT_EQ(Site->StorageTile()->MemorySize(), Case.Tiles * kTile);
    EXPECT_EQ(Site->TileOffset(), Case.Offset);
    Site->WriteInt32(0, 1000 + Case.PageNo);
    Site->WriteInt32(Case.PageSize - 4, 2000 + Case.PageNo);
    Storage->Flush();
    Storage->Close();
    const auto Bytes = ReadFileBytes(Dir.File(Name));
    const std::int64_t Pos = static_cast<std::int64_t>(Case.PageNo) * Case.PageSize;
    ASSERT_GE(Bytes.size(), static_cast<std::size_t>(Pos + Case.PageSize));
    EXPECT_EQ(FileInt(Bytes, Pos), 1000 + Case.PageNo);
    EXPECT_EQ(FileInt(Bytes, Pos + Case.PageSize - 4), 2000 + Case.PageNo);
  }
}

TEST_F(PageManTest, PageSizesThatDoNotDivideTheTileNeverStraddleAUnit) {
  // 3000-byte pages: page 2 covers bytes 6000 to 8999, across the first tile boundary.
  EXPECT_EQ(VdbTilesPerUnit(3000, kTile), 375);
  auto Storage = Client("odd.dat", 1, 3000);
  Storage->NewStorage();
  auto Site = Storage->NewPage(2);
  EXPECT_EQ(Site->TileOffset(), 6000);
  std::vector<std::uint8_t> Bytes = Pattern(3000, 3);
  Site->CopyFrom(Bytes.data(), 0, 3000, 0);
  Storage->Flush();
  const auto File = ReadFileBytes(Dir.File("odd.dat"));
  ASSERT_GE(File.size(), 9000u);
  EXPECT_TRUE(std::equal(Bytes.begin(), Bytes.end(), File.begin() + 6000));

  // Sizes that cannot be cut into units are refused with a clear error.
  for (std::int32_t Bad : {0, -4096, 65767}) {
    EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Storage->SetPageSize(Bad); }),
              "Setting page size of storage \"odd.dat\": Page size " + std::to_string(Bad) +
                  " is not supported");
  }
  EXPECT_EQ(Storage->GetPageSize(), 3000);
}

// --- Sharing -------------------------------------------------------------------------------------

TEST_F(PageManTest, PagesTwoNAndTwoNPlusOneShareOneUnitBetweenClients) {
  auto A = OpenPattern("idx.vdbi", 4 * kTile, 4096, 1);
  auto B = Client("idx.vdbi", 2);
  B->Open(false, false);
  EXPECT_EQ(B->GetPageSize(), 4096);  // joins the storage's page size
  EXPECT_EQ(A->StorageHdl(), B->StorageHdl());

  auto Even = A->ReadPage(2);
  auto Odd = B->ReadPage(3);
  EXPECT_EQ(Even->StorageTile(), Odd->StorageTile());
  EXPECT_EQ(Even->TileOffset(), 0);
  EXPECT_EQ(Odd->TileOffset(), 4096);

  Fs.ClearLog();
  Even->WriteInt32(0, 0x11111111);
  Odd->WriteInt32(8, 0x22222222);
  EXPECT_TRUE(Odd->StorageTile()->IsModified());
  // Each client sees the other's unflushed change, straight from the cache.
  EXPECT_EQ(A->ReadPage(3)->ReadInt32(8), 0x22222222);
  EXPECT_EQ(B->ReadPage(2)->ReadInt32(0), 0x11111111);
  EXPECT_TRUE(Fs.Reads.empty());

  // One flush, by either client, writes the one unit with both changes.
  B->Flush();
  EXPECT_EQ(Fs.Writes, (TAccesses{{kTile, kTile}}));
  auto Expected = Pattern(4 * kTile);
  TkxMemory::WriteInt32(Expected.data(), kTile, 0x11111111);
  TkxMemory::WriteInt32(Expected.data(), kTile + 4096 + 8, 0x22222222);
  EXPECT_EQ(ReadFileBytes(Dir.File("idx.vdbi")), Expected);
}

TEST_F(PageManTest, StorageStaysOpenUntilItsLastClientCloses) {
  auto A = OpenPattern("d.vdbt", 2 * kTile, 8192, 1);
  auto B = Client("D.VDBT", 2);  // names ignore case
  B->Open(true, false);
  EXPECT_EQ(Manager.OpenStorageCount(), 1u);
  EXPECT_TRUE(B->GetReadOnly());
  EXPECT_FALSE(A->GetReadOnly());
  auto Site = B->ReadPage(1);
  A->Close();
  EXPECT_TRUE(Site->IsBound());
  EXPECT_EQ(Site->ReadInt32(0), PatternInt(kTile));
  B->Close();
  EXPECT_FALSE(Site->IsBound());  // a closing client lets go of its sites
  EXPECT_EQ(Manager.OpenStorageCount(), 0u);
  EXPECT_EQ(Manager.CachedPageCount(), 0u);
  EXPECT_EQ(Manager.PooledPageCount(), 1u);
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Site->ReadInt32(0); }),
            "Accessing page of storage \"D.VDBT\": No page is loaded");
  EXPECT_TRUE(Logged("1|Page Manager|Storage \"d.vdbt\" opened."));
}

// --- Cache limit ---------------------------------------------------------------------------------

TEST_F(PageManTest, CacheLimitOfZeroKeepsOnlyHeldUnitsAndStillReads) {
  ASSERT_EQ(Manager.CacheLimit(), 0);
  auto Storage = OpenPattern("d.vdbt", 4 * kTile, 8192);
  auto First = Storage->ReadPage(0);
  auto Second = Storage->ReadPage(1);
  EXPECT_EQ(First->ReadInt32(0), PatternInt(0));
  EXPECT_EQ(Second->ReadInt32(0), PatternInt(kTile));
  EXPECT_TRUE(Logged("2|Page Manager|Cache size is over limit (0) but cannot be reduced"));

  First->UnloadPage();
  Second->UnloadPage();
  auto Third = Storage->ReadPage(2);  // a miss gives up every clean unit nobody holds
  EXPECT_EQ(Manager.CachedPageCount(), 1u);
  EXPECT_EQ(Manager.PooledPageCount(), 0u);
  EXPECT_EQ(Manager.CacheSize(), kTile);
  Fs.ClearLog();
  EXPECT_EQ(Storage->ReadPage(0)->ReadInt32(0), PatternInt(0));
  EXPECT_EQ(Fs.Reads, (TAccesses{{0, kTile}}));
}

TEST_F(PageManTest, FullCacheReleasesAllCleanUnitsAtOnceAndTrimsThePoolBelowSeventyPercent) {
  Manager.RegisterClient(1, 64);  // eight units
  EXPECT_EQ(Manager.CacheLimit(), 65536);
  auto Storage = OpenPattern("d.vdbt", 20 * kTile, 8192);
  auto Site = Storage->CreatePageSite();
  for (int Page = 0; Page < 8; ++Page) Site->LoadPage(Page);
  EXPECT_EQ(Manager.CachedPageCount(), 8u);
  EXPECT_EQ(Manager.ReleasablePageCount(), 7u);  // the site holds the last one
  EXPECT_EQ(Manager.CacheSize(), 8 * kTile);

  Site->LoadPage(8);
  // All eight clean units went to the pool at once; the pool lost its upper half (4 units),
  // which brought the cache below 70 % of the limit; tile 8 reused a pooled unit.
  EXPECT_EQ(Manager.CachedPageCount(), 1u);
  EXPECT_EQ(Manager.PooledPageCount(), 3u);
  EXPECT_EQ(Manager.CacheSize(), 4 * kTile);
  Fs.ClearLog();
  Site->LoadPage(7);
  EXPECT_EQ(Site->ReadInt32(0), PatternInt(7 * kTile));
  EXPECT_EQ(Fs.Reads, (TAccesses{{7 * kTile, kTile}}));
}

TEST_F(PageManTest, TrimmingHalvesTheFullestPoolUntilBelowSeventyPercent) {
  Manager.RegisterClient(1, 80);  // 81920 bytes; 70 % = 57344
  {
    auto Small = OpenPattern("small.dat", 8 * kTile, 8192);
    auto Large = OpenPattern("large.dat", 8 * kTile, 16384, 2);
    auto Site = Small->CreatePageSite();
    for (int Page = 0; Page < 6; ++Page) Site->LoadPage(Page);
    auto LargeSite = Large->ReadPage(0);
    LargeSite->LoadPage(1);
    EXPECT_EQ(Manager.CacheSize(), 81920);
  }
  // Closing pooled everything: six 8192-byte units and two 16384-byte units.
  EXPECT_EQ(Manager.PooledPageCount(), 8u);
  auto Again = Client("small.dat");
  Again->Open(false, false);
  auto Site = Again->ReadPage(0);
  // The 8192 pool (6) lost 3, then (3 against 2) lost 2 more: 40960 bytes; one unit reused.
  EXPECT_EQ(Manager.CacheSize(), 40960);
  EXPECT_EQ(Manager.PooledPageCount(), 2u);
  EXPECT_EQ(Site->ReadInt32(0), PatternInt(0));
}

TEST_F(PageManTest, EvictionNeverTakesHeldOrModifiedUnits) {
  Manager.RegisterClient(1, 64);
  auto Storage = OpenPattern("d.vdbt", 32 * kTile, 8192);
  std::vector<std::unique_ptr<TVdbStoragePageSite>> Held;
  std::vector<const TVdbStoragePage*> HeldUnits;
  for (int Page = 0; Page < 4; ++Page) {
    Held.push_back(Storage->ReadPage(Page));
    HeldUnits.push_back(Held.back()->StorageTile());
  }
  for (int Page = 4; Page < 8; ++Page) Storage->ReadPage(Page)->WriteInt32(0, 5000 + Page);

  auto Walker = Storage->CreatePageSite();
  for (int Page = 8; Page < 32; ++Page) {
    Walker->LoadPage(Page);
    ASSERT_EQ(Walker->ReadInt32(0), PatternInt(static_cast<std::int64_t>(Page) * kTile));
  }
  EXPECT_TRUE(Logged("2|Page Manager|Cache size is over limit (65536) but cannot be reduced"));
  EXPECT_EQ(Manager.CachedPageCount(), 9u);  // held, modified and the walker's unit
  EXPECT_EQ(Manager.ReleasablePageCount(), 0u);
  Walker->UnloadPage();
  EXPECT_EQ(Manager.ReleasablePageCount(), 1u);

  Fs.ClearLog();
  for (int Page = 0; Page < 4; ++Page) {
    EXPECT_EQ(Held[Page]->StorageTile(), HeldUnits[Page]);
    EXPECT_EQ(Held[Page]->ReadInt32(0), PatternInt(static_cast<std::int64_t>(Page) * kTile));
    EXPECT_EQ(Storage->ReadPage(Page)->StorageTile(), HeldUnits[Page]);
  }
  for (int Page = 4; Page < 8; ++Page) EXPECT_EQ(Storage->ReadPage(Page)->ReadInt32(0), 5000 + Page);
  EXPECT_TRUE(Fs.Reads.empty());

  Storage->Flush();
  EXPECT_EQ(Fs.Writes,
            (TAccesses{{4 * kTile, kTile}, {5 * kTile, kTile}, {6 * kTile, kTile}, {7 * kTile, kTile}}));
  EXPECT_EQ(Manager.ReleasablePageCount(), 5u);  // the flushed units are clean now
  const auto File = ReadFileBytes(Dir.File("d.vdbt"));
  for (int Page = 4; Page < 8; ++Page) EXPECT_EQ(FileInt(File, Page * kTile), 5000 + Page);
}

TEST_F(PageManTest, UnregisteringShrinksTheLimitNotBelowZero) {
  Manager.RegisterClient(1, 40960);
  Manager.RegisterClient(2, 16);
  EXPECT_EQ(Manager.CacheLimit(), (40960 + 16) * 1024LL);
  Manager.UnregisterClient(1, 40960);
  EXPECT_EQ(Manager.CacheLimit(), 16 * 1024);
  Manager.UnregisterClient(2, 100);
  EXPECT_EQ(Manager.CacheLimit(), 0);
}

// --- Flush, undo, invalidate ---------------------------------------------------------------------

TEST_F(PageManTest, FlushWritesExactlyTheModifiedUnitsOfAllClients) {
  auto A = OpenPattern("d.vdbt", 10 * kTile, 4096, 1);
  auto B = Client("d.vdbt", 2);
  B->Open(false, false);
  A->ReadPage(1)->WriteInt32(0, 101);
  B->ReadPage(7)->WriteInt32(4, 107);
  A->ReadPage(8)->WriteInt16(0, 108);
  B->ReadPage(9)->WriteInt8(0, 109);  // same unit as page 8
  EXPECT_EQ(A->ReadPage(12)->ReadInt32(0), PatternInt(12 * 4096));  // read only

  Fs.ClearLog();
  A->Flush();
  EXPECT_EQ(Fs.Writes, (TAccesses{{0, kTile}, {3 * kTile, kTile}, {4 * kTile, kTile}}));
  Fs.ClearLog();
  B->Flush();
  EXPECT_TRUE(Fs.Writes.empty());

  auto Expected = Pattern(10 * kTile);
  TkxMemory::WriteInt32(Expected.data(), 1 * 4096, 101);
  TkxMemory::WriteInt32(Expected.data(), 7 * 4096 + 4, 107);
  TkxMemory::WriteInt16(Expected.data(), 8 * 4096, 108);
  TkxMemory::WriteInt8(Expected.data(), 9 * 4096, 109);
  EXPECT_EQ(ReadFileBytes(Dir.File("d.vdbt")), Expected);
}

TEST_F(PageManTest, UndoRestoresTheLastFlushAndTheNextFlushWritesNothing) {
  auto Storage = OpenPattern("d.vdbt", 3 * kTile, 4096);
  const auto Before = ReadFileBytes(Dir.File("d.vdbt"));
  Storage->ReadPage(1)->WriteInt32(0, 77);        // modified, not held
  auto Held = Storage->ReadPage(4);
  Held->WriteInt32(0, 88);                        // modified and held
  auto Added = Storage->NewPage(6);               // beyond the end
  Added->WriteInt32(0, 99);
  EXPECT_EQ(Storage->GetPageCount(), 8);

  Storage->Undo();
  EXPECT_EQ(Storage->GetPageCount(), 6);
  EXPECT_EQ(Held->ReadInt32(0), PatternInt(4 * 4096));  // read again from the file
  EXPECT_EQ(Storage->ReadPage(1)->ReadInt32(0), PatternInt(4096));
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Added->ReadInt32(0); }),
            "Loading page 6 of storage \"d.vdbt\": Page no is invalid");

  Fs.ClearLog();
  Storage->Flush();
  EXPECT_TRUE(Fs.Writes.empty());
  EXPECT_EQ(ReadFileBytes(Dir.File("d.vdbt")), Before);
}

TEST_F(PageManTest, InvalidateMakesTheNextReadComeFromTheFile) {
  auto Storage = OpenPattern("d.vdbt", 2 * kTile, 8192);
  auto Held = Storage->ReadPage(0);
  Storage->ReadPage(1)->WriteInt32(16, 1);  // an unflushed change, given up by Invalidate

  // Another writer replaces the content behind the cache and makes the file longer.
  WriteFileBytes(Dir.File("d.vdbt"), Pattern(3 * kTile, 5));
  Fs.ClearLog();
  EXPECT_EQ(Storage->ReadPage(1)->ReadInt32(0), PatternInt(kTile));  // still the cached copy
  EXPECT_EQ(Storage->GetPageCount(), 2);
  EXPECT_TRUE(Fs.Reads.empty());

  Storage->Invalidate();
  EXPECT_EQ(Storage->GetPageCount(), 3);
  EXPECT_EQ(Held->ReadInt32(0), PatternInt(0, 5));
  EXPECT_EQ(Storage->ReadPage(1)->ReadInt32(16), PatternInt(kTile + 16, 5));
  EXPECT_EQ(Storage->ReadPage(2)->ReadInt32(0), PatternInt(2 * kTile, 5));
  EXPECT_EQ(Fs.Reads, (TAccesses{{0, kTile}, {kTile, kTile}, {2 * kTile, kTile}}));
  Storage->Flush();
  EXPECT_EQ(ReadFileBytes(Dir.File("d.vdbt")), Pattern(3 * kTile, 5));
}

// --- Pages beyond the end and resizing -----------------------------------------------------------

TEST_F(PageManTest, LoadPageRefusesPagesOutsideTheFileAndInitPageExtendsIt) {
  auto Storage = OpenPattern("d.vdbt", 2 * kTile, 4096);
  ASSERT_EQ(Storage->GetPageCount(), 4);
  auto Site = Storage->CreatePageSite();
  for (std::int32_t Page : {4, -1}) {
    EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Site->LoadPage(Page); }),
              "Loading page " + std::to_string(Page) + " of storage \"d.vdbt\": Page no is invalid");
  }
  EXPECT_TRUE(Logged("3|Page Manager|Loading page 4 of storage \"d.vdbt\": Page no is invalid"));
  Site->InitPage(4);
  EXPECT_EQ(Storage->GetPageCount(), 6);
  EXPECT_EQ(Storage->GetSize(), 3 * kTile);
  EXPECT_EQ(Site->ReadInt32(100), 0);  // a new unit starts zeroed
  Site->WriteInt32(0, 1234);
  Storage->Flush();
  const auto File = ReadFileBytes(Dir.File("d.vdbt"));
  ASSERT_EQ(File.size(), static_cast<std::size_t>(3 * kTile));
  EXPECT_EQ(FileInt(File, 2 * kTile), 1234);
}

TEST_F(PageManTest, SetPageCountCutsUnitsBeyondTheNewEnd) {
  auto Storage = OpenPattern("d.vdbt", 6 * kTile, 8192);
  auto Held = Storage->ReadPage(5);
  Held->WriteInt32(0, 1);
  Storage->ReadPage(4)->WriteInt32(0, 2);
  Storage->ReadPage(1)->WriteInt32(0, 3);

  Storage->SetPageCount(3);
  EXPECT_EQ(Storage->GetPageCount(), 3);
  EXPECT_EQ(Storage->GetSize(), 3 * kTile);
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Held->ReadInt32(0); }),
            "Loading page 5 of storage \"d.vdbt\": Page no is invalid");
  Fs.ClearLog();
  Storage->Flush();
  EXPECT_EQ(Fs.Writes, (TAccesses{{kTile, kTile}}));
  auto File = ReadFileBytes(Dir.File("d.vdbt"));
  ASSERT_EQ(File.size(), static_cast<std::size_t>(3 * kTile));
  EXPECT_EQ(FileInt(File, kTile), 3);

  Storage->SetPageCount(5);
  Storage->NewPage(4)->WriteInt32(0, 4);
  Storage->Flush();
  File = ReadFileBytes(Dir.File("d.vdbt"));
  ASSERT_EQ(File.size(), static_cast<std::size_t>(5 * kTile));
  EXPECT_EQ(FileInt(File, 4 * kTile), 4);
}

TEST_F(PageManTest, SetPageSizeKeepsChangesAndKeepsSitesOnTheirPages) {
  auto Storage = OpenPattern("d.vdbt", 8 * kTile, 8192);
  Storage->ReadPage(1)->WriteInt32(0, 111);
  auto Site = Storage->ReadPage(2);

  Storage->SetPageSize(16384);
  EXPECT_EQ(Site->GetPageNo(), 2);
  EXPECT_EQ(Site->StorageTile()->MemorySize(), 16384);
  EXPECT_EQ(Site->ReadInt32(0), PatternInt(4 * kTile));
  EXPECT_EQ(FileInt(ReadFileBytes(Dir.File("d.vdbt")), kTile), 111);  // written before re-cutting
  EXPECT_EQ(Storage->ReadPage(0)->ReadInt32(kTile), 111);
  EXPECT_EQ(Storage->GetPageCount(), 4);

  Storage->SetPageSize(4096);
  EXPECT_EQ(Site->ReadInt32(0), 111);  // page 2 of 4096 bytes starts at 8192
  auto Late = Client("d.vdbt", 2);
  Late->Open(false, false);
  EXPECT_EQ(Late->GetPageSize(), 4096);
}

// --- Direct access, directory update, page sites -------------------------------------------------

TEST_F(PageManTest, DirectAccessBypassesTheCacheAndKeepsCachedCopiesTrue) {
  auto Storage = OpenPattern("d.vdbt", 2 * kTile, 8192);
  auto Site = Storage->ReadPage(0);
  Site->WriteInt32(100, 42);  // not flushed
  std::int32_t Value = 0;
  EXPECT_EQ(Storage->ReadDirect(&Value, 4, 100), 4);
  EXPECT_EQ(Value, PatternInt(100));

  const std::int32_t Header = 7;
  EXPECT_EQ(Storage->WriteDirect(&Header, 4, 0), 4);
  EXPECT_EQ(Site->ReadInt32(0), 7);
  EXPECT_EQ(FileInt(ReadFileBytes(Dir.File("d.vdbt")), 0), 7);

  EXPECT_EQ(Storage->WriteDirect(&Header, 4, 2 * kTile + 10), 4);
  EXPECT_EQ(Storage->GetSize(), 3 * kTile);
  Storage->Flush();
  const auto File = ReadFileBytes(Dir.File("d.vdbt"));
  ASSERT_GE(File.size(), static_cast<std::size_t>(2 * kTile + 14));
  EXPECT_EQ(FileInt(File, 2 * kTile + 10), 7);
  EXPECT_EQ(FileInt(File, 100), 42);
  EXPECT_EQ(FileInt(File, 0), 7);
}

TEST_F(PageManTest, UpdateDirReopensTheFileAndTheStorageGoesOn) {
  auto Storage = OpenPattern("d.vdbt", 2 * kTile, 8192);
  Storage->ReadPage(0)->WriteInt32(0, 5);
  Storage->Flush();
  Storage->UpdateDir();
  Storage->ReadPage(1)->WriteInt32(0, 6);
  Storage->Flush();
  std::int32_t Value = 0;
  EXPECT_EQ(Storage->ReadDirect(&Value, 4, 0), 4);
  EXPECT_EQ(Value, 5);
  EXPECT_EQ(FileInt(ReadFileBytes(Dir.File("d.vdbt")), kTile), 6);
}

TEST_F(PageManTest, MovePageCopiesTheContentAndRebindsTheSite) {
  auto Storage = OpenPattern("d.vdbt", 2 * kTile, 4096);
  auto Site = Storage->ReadPage(1);
  Site->MovePage(5);
  EXPECT_EQ(Site->GetPageNo(), 5);
  EXPECT_EQ(Storage->GetPageCount(), 6);
  Storage->Flush();
  const auto File = ReadFileBytes(Dir.File("d.vdbt"));
  ASSERT_EQ(File.size(), static_cast<std::size_t>(3 * kTile));
  const auto Original = Pattern(2 * kTile);
  EXPECT_TRUE(std::equal(Original.begin() + 4096, Original.begin() + 8192, File.begin() + 5 * 4096));
  EXPECT_TRUE(std::equal(Original.begin(), Original.end(), File.begin()));
}

TEST_F(PageManTest, PageSiteAccessStaysInsideThePage) {
  auto Storage = OpenPattern("d.vdbt", kTile, 4096);
  auto Site = Storage->ReadPage(0);
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Site->ReadInt32(4094); }),
            "Accessing page 0 of storage \"d.vdbt\": Offset 4094 is out of range");
  EXPECT_THROW(Site->WriteWPAnsiString(4090, "too long"), EVdbPageManager);
  EXPECT_THROW(Site->CopyTo(4000, nullptr, 200, 0), EVdbPageManager);
  EXPECT_THROW(Site->Copy(-1, 0, 4), EVdbPageManager);
  EXPECT_FALSE(Site->StorageTile()->IsModified());  // nothing was written

  // A corrupt length prefix is refused instead of read past the page.
  Site->WriteInt16(4000, 0x7FFF);
  EXPECT_THROW(Site->ReadWPAnsiString(4000), EkxMemoryError);

  std::int32_t Offset = 10;
  Site->WriteWPAnsiString(std::string_view("abc"), Offset);
  EXPECT_EQ(Offset, 15);
  Site->WriteWPWideString(std::string_view("Ōz"), Offset);
  EXPECT_EQ(Offset, 21);
  EXPECT_EQ(Site->ReadWPAnsiString(10), "abc");
  EXPECT_EQ(Site->ReadWPWideString(15), "Ōz");
  Site->Copy(10, 30, 5);
  EXPECT_EQ(Site->ReadWPAnsiString(30), "abc");
  auto Other = Site->CreateSibling();
  Other->LoadPage(1);
  Other->CopyFrom(*Site, 10, 5, 0);
  char Out[3];
  Other->CopyTo(2, Out, 3, 0);
  EXPECT_EQ(std::string(Out, 3), "abc");
}

TEST_F(PageManTest, SitesOutlivingTheirClientStorageFailCleanly) {
  auto Storage = OpenPattern("d.vdbt", kTile, 8192);
  auto Site = Storage->ReadPage(0);
  Storage.reset();
  EXPECT_FALSE(Site->IsBound());
  EXPECT_THROW(Site->ReadInt32(0), EVdbPageManager);
  EXPECT_THROW(Site->LoadPage(0), EVdbPageManager);
  EXPECT_EQ(Manager.OpenStorageCount(), 0u);
}

// --- Errors --------------------------------------------------------------------------------------

TEST_F(PageManTest, OpeningAndCreatingStoragesFailWithTheirMessages) {
  static_assert(std::is_base_of_v<EVdbPageManager, EVdbPMStorageNotFound>);
  static_assert(std::is_base_of_v<EVdbPageManager, EVdbPMStorageAccessDenied>);
  EXPECT_EQ(MessageOf<EVdbPMStorageNotFound>([&] { Client("missing.vdbt")->Open(false, false); }),
            "Storage \"missing.vdbt\" not found");

  auto Shared = OpenPattern("d.vdbt", kTile, 8192);
  const std::string Twice =
      "Cannot open storage \"d.vdbt\": May not be opened twice if one is exclusive";
  EXPECT_EQ(MessageOf<EVdbPMStorageAccessDenied>([&] { Client("d.vdbt", 2)->Open(false, true); }),
            Twice);
  Shared->Close();
  Shared->Open(true, true);
  EXPECT_TRUE(Shared->GetExclusive());
  EXPECT_EQ(MessageOf<EVdbPMStorageAccessDenied>([&] { Client("d.vdbt", 2)->Open(true, false); }),
            Twice);
  Shared->Close();

  // Another handle holds the file exclusively.
  TkxOSFileSystem Other(Dir.Path().string());
  const std::int32_t Handle = Other.OpenFile("d.vdbt", fmOpenReadWrite | fmShareExclusive);
  ASSERT_GE(Handle, 0);
  EXPECT_EQ(MessageOf<EVdbPMStorageAccessDenied>([&] { Client("d.vdbt")->Open(false, false); }),
            "Cannot open storage \"d.vdbt\": " +
                TkxFileSystem::GetErrorMessage(kxErrorSharingViolation));
  Other.CloseFile(Handle);

  Shared->Open(false, false);
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Client("d.vdbt", 2)->NewStorage(); }),
            "Cannot create storage d.vdbt: Error 32");
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Client("nodir/x.vdbt")->NewStorage(); }),
            "Cannot create storage nodir/x.vdbt: Error 3");
  EXPECT_TRUE(Logged("3|Page Manager|Storage \"missing.vdbt\" not found"));
}

TEST_F(PageManTest, EncryptedStoragesStoreCipherTextAndRefuseOtherCiphers) {
  auto Key = std::make_shared<TXorCipher>(0x5A);
  auto Storage = Client("secret.vdbt", 1, 8192, Key);
  Storage->NewStorage();
  const auto Plain = Pattern(2 * kTile, 9);
  for (int Page = 0; Page < 2; ++Page) {
    Storage->NewPage(Page)->CopyFrom(Plain.data(), Page * kTile, kTile, 0);
  }
  Storage->Flush();
  auto File = ReadFileBytes(Dir.File("secret.vdbt"));
  ASSERT_EQ(File.size(), Plain.size());
  for (std::size_t I = 0; I < File.size(); ++I) ASSERT_EQ(File[I], Plain[I] ^ 0x5A);
  EXPECT_EQ(Storage->ReadPage(1)->ReadInt32(0), TkxMemory::ReadInt32(Plain.data(), kTile));

  const auto Open = [&](std::shared_ptr<TVdbStorageCipher> Cipher) {
    return MessageOf<EVdbPMStorageAccessDenied>(
        [&] { Client("secret.vdbt", 2, 0, Cipher)->Open(false, false); });
  };
  EXPECT_EQ(Open(nullptr), "Wrong encryption");
  EXPECT_EQ(Open(std::make_shared<TXorCipher>(0x11)), "Wrong encryption");
  EXPECT_EQ(Open(std::make_shared<TXorCipher>(0x5A)), "");

  Storage->Invalidate();
  EXPECT_EQ(Storage->ReadPage(0)->ReadInt32(8), TkxMemory::ReadInt32(Plain.data(), 8));
}

TEST_F(PageManTest, FailedTileReadsAndWritesRaiseAndLoseNothing) {
  auto Storage = OpenPattern("d.vdbt", 4 * kTile, 8192);
  auto Site = Storage->CreatePageSite();
  Fs.FailReads = true;
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Site->LoadPage(1); }),
            "Loading tile: Cannot read tile from storage");
  EXPECT_FALSE(Site->IsBound());
  Fs.FailReads = false;
  Site->LoadPage(1);
  EXPECT_EQ(Site->ReadInt32(0), PatternInt(kTile));

  for (int Page = 0; Page < 3; ++Page) Storage->ReadPage(Page)->WriteInt32(0, 900 + Page);
  Fs.ClearLog();
  Fs.WritesBeforeFailure = 1;
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Storage->Flush(); }),
            "Saving tile: Cannot write tile to storage");
  EXPECT_EQ(Fs.Writes, (TAccesses{{0, kTile}}));
  Fs.WritesBeforeFailure = -1;
  Fs.ClearLog();
  Storage->Flush();  // only what was not written yet
  EXPECT_EQ(Fs.Writes, (TAccesses{{kTile, kTile}, {2 * kTile, kTile}}));
  const auto File = ReadFileBytes(Dir.File("d.vdbt"));
  for (int Page = 0; Page < 3; ++Page) EXPECT_EQ(FileInt(File, Page * kTile), 900 + Page);
}

TEST_F(PageManTest, ReadOnlyStorageCannotWriteItsChanges) {
  auto Storage = OpenPattern("d.vdbt", kTile, 8192);
  Storage->Close();
  Storage->Open(true, false);
  Storage->ReadPage(0)->WriteInt32(0, 1);
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Storage->Flush(); }),
            "Saving tile: Cannot write tile to storage");
  EXPECT_EQ(ReadFileBytes(Dir.File("d.vdbt")), Pattern(kTile));
}

TEST_F(PageManTest, ClosedClientStorageRefusesItsOperations) {
  auto Storage = Client("d.vdbt");
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Storage->Flush(); }),
            "Flushing storage \"d.vdbt\": Storage is not open");
  EXPECT_THROW(Storage->Invalidate(), EVdbPageManager);
  EXPECT_THROW(Storage->ReadPage(0), EVdbPageManager);
  EXPECT_EQ(Storage->GetPageCount(), 0);
  EXPECT_THROW(TVdbClientStorage(Manager, &Fs, 0), EVdbPageManager);
}

// --- File-system registry ------------------------------------------------------------------------

struct TLifeFlags {
  int Closed = 0;
  bool Destroyed = false;
};

class TTrackedFileSystem : public TkxOSFileSystem {
 public:
  TTrackedFileSystem(const std::string& Base, TLifeFlags& Flags)
      : TkxOSFileSystem(Base), FFlags(Flags) {}
  ~TTrackedFileSystem() override { FFlags.Destroyed = true; }
  void Close() override { ++FFlags.Closed; }

 private:
  TLifeFlags& FFlags;
};

TEST_F(PageManTest, FileSystemRegistryCountsReferencesAndIgnoresCase) {
  TLifeFlags Flags;
  auto Owned = std::make_unique<TTrackedFileSystem>("/data/lex", Flags);
  TkxFileSystem* Registered = Owned.get();
  EXPECT_EQ(Manager.AddFileSystem("/data/Árpád.vdbd", std::move(Owned)), 1);
  EXPECT_EQ(Owned, nullptr);

  std::unique_ptr<TkxFileSystem> Second = std::make_unique<TkxOSFileSystem>("/other");
  EXPECT_EQ(Manager.AddFileSystem("/DATA/ÁRPÁD.VDBD", std::move(Second)), 0);
  EXPECT_NE(Second, nullptr);  // not taken

  EXPECT_EQ(Manager.GetFileSystem("/data/árpád.vdbd"), Registered);  // 2 references
  EXPECT_EQ(Manager.GetFileSystem("/data/other.vdbd"), nullptr);
  Manager.ReleaseFileSystem(Registered);
  EXPECT_EQ(Flags.Closed, 0);
  EXPECT_EQ(Manager.GetFileSystem("/data/Árpád.vdbd"), Registered);  // 2 again
  Manager.ReleaseFileSystem(Registered);
  Manager.ReleaseFileSystem(Registered);
  EXPECT_EQ(Flags.Closed, 1);
  EXPECT_TRUE(Flags.Destroyed);
  EXPECT_EQ(Manager.GetFileSystem("/data/Árpád.vdbd"), nullptr);

  TkxOSFileSystem Unknown("/some/dir");
  const std::string Message = "Releasing file system: File system \"/some/dir\" not fond";
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Manager.ReleaseFileSystem(&Unknown); }), Message);
  EXPECT_TRUE(Logged("3|Page Manager|" + Message));
}

// A container closing while a table file still holds a storage on it: the storage's changes
// reach the file first, later access is refused with a clear error instead of reaching the freed
// file system, and the storage still closes.
TEST_F(PageManTest, AFileSystemClosingUnderAnOpenStorageCutsItOff) {
  auto Owned = std::make_unique<TkxOSFileSystem>(Dir.Path().string());
  TkxFileSystem* Registered = Owned.get();
  ASSERT_EQ(Manager.AddFileSystem("c.vdbd", std::move(Owned)), 1);
  WriteFileBytes(Dir.File("t.vdbt"), Pattern(2 * kTile));
  auto Storage = std::make_unique<TVdbClientStorage>(Manager, Registered, 1, nullptr);
  Storage->SetName("t.vdbt");
  Storage->SetPageSize(8192);
  Storage->Open(false, false);
  Storage->ReadPage(1)->WriteInt32(0, 4711);
  Manager.ReleaseFileSystem(Registered);
  ASSERT_EQ(FileInt(ReadFileBytes(Dir.File("t.vdbt")), kTile), 4711);
  EXPECT_EQ(MessageOf<EVdbPageManager>([&] { Storage->ReadPage(0); }),
            "Accessing storage \"t.vdbt\": Its file system is closed");
  EXPECT_NO_THROW(Storage->Close());
  EXPECT_EQ(Manager.OpenStorageCount(), 0u);
}

TEST_F(PageManTest, RegistryFreesWhatIsLeftWhenThePageManagerEnds) {
  TLifeFlags Flags;
  {
    TVdbPageManager Local;
    Local.AddFileSystem("loc", std::make_unique<TTrackedFileSystem>("/x", Flags));
    Local.GetFileSystem("loc");
  }
  EXPECT_EQ(Flags.Closed, 1);
  EXPECT_TRUE(Flags.Destroyed);
}

TEST(PageManInstanceTest, OnePageManagerPerProcess) {
  EXPECT_EQ(&TVdbPageManager::Instance(), &TVdbPageManager::Instance());
}

// --- Flush modes ---------------------------------------------------------------------------------

TEST(PageManFlushModeTest, DeepFlushFollowsTheComponentModes) {
  EXPECT_TRUE(VdbDatabaseFlushesDeeply(tfmSecure));
  EXPECT_FALSE(VdbDatabaseFlushesDeeply(tfmDefault));
  EXPECT_FALSE(VdbDatabaseFlushesDeeply(tfmFast));
  struct {
    TVdbFlushMode Table, Database;
    bool Deep;
  } const Cases[] = {
      {tfmSecure, tfmFast, true},     {tfmSecure, tfmDefault, true},
      {tfmDefault, tfmSecure, true},  {tfmDefault, tfmDefault, false},
      {tfmDefault, tfmFast, false},   {tfmFast, tfmSecure, false},
  };
  for (const auto& Case : Cases) {
    EXPECT_EQ(VdbTableAsksDeepFlush(Case.Table, Case.Database), Case.Deep)
        << Case.Table << " on " << Case.Database;
  }
}

TEST(PageManFlushModeTest, DirectoryUpdateOnEveryDeepFlushElseAfterAThousandFlushes) {
  TVdbDirUpdateCounter Counter;
  int Updates = 0;
  int First = 0;
  for (int Flush = 1; Flush <= 2002; ++Flush) {
    if (Counter.CountFlush(false)) {
      ++Updates;
      if (First == 0) First = Flush;
    }
  }
  EXPECT_EQ(First, 1001);  // after 1000 counted flushes
  EXPECT_EQ(Updates, 2);
  EXPECT_TRUE(Counter.CountFlush(true));
  EXPECT_EQ(Counter.Count(), 0);
  EXPECT_TRUE(Counter.CountFlush(true));
}

TEST_F(PageManTest, FlushingATablesStoragesKeepsGoingAfterAPageManagerError) {
  auto Data = OpenPattern("t.vdbt", kTile, 8192);
  auto Memo = OpenPattern("t.vdbm", kTile, 8192);
  auto Closed = Client("t.vdbi");
  Data->ReadPage(0)->WriteInt32(0, 1);
  Memo->ReadPage(0)->WriteInt32(0, 2);
  Fs.FailNextWrites = 1;  // the data file's write fails, the memo file's goes through
  std::string Error;
  EXPECT_FALSE(VdbFlushStorages({Data.get(), Closed.get(), Memo.get()}, false, &Error));
  EXPECT_EQ(Error, "Saving tile: Cannot write tile to storage");
  EXPECT_EQ(FileInt(ReadFileBytes(Dir.File("t.vdbm")), 0), 2);
  EXPECT_EQ(ReadFileBytes(Dir.File("t.vdbt")), Pattern(kTile));

  Fs.ClearLog();
  EXPECT_TRUE(VdbFlushStorages({Data.get(), Closed.get(), Memo.get()}, true, &Error));
  EXPECT_EQ(Fs.Writes, (TAccesses{{0, kTile}}));  // only what was still modified
  EXPECT_EQ(FileInt(ReadFileBytes(Dir.File("t.vdbt")), 0), 1);
  EXPECT_TRUE(Data->ReadPage(0)->StorageTile() != nullptr);  // reopened by UpdateDir, still usable
}

// --- Threads -------------------------------------------------------------------------------------

TEST_F(PageManTest, ConcurrentReadersUnderASmallLimitSeeTheRightBytes) {
  Manager.RegisterClient(1, 32);  // four units for 64 tiles: constant trimming
  WriteFileBytes(Dir.File("d.vdbt"), Pattern(64 * kTile));
  TkxOSFileSystem Plain(Dir.Path().string());  // the probe's records are not for threads
  std::vector<std::thread> Threads;
  std::atomic<int> Wrong{0};
  for (int T = 0; T < 4; ++T) {
    Threads.emplace_back([&, T] {
      TVdbClientStorage Storage(Manager, &Plain, T + 1);
      Storage.SetName("d.vdbt");
      Storage.SetPageSize(T % 2 == 0 ? 8192 : 4096);
      Storage.Open(true, false);
      auto Site = Storage.CreatePageSite();
      std::mt19937 Random(T);
      for (int I = 0; I < 3000; ++I) {
        const std::int32_t Page =
            static_cast<std::int32_t>(Random() % static_cast<unsigned>(Storage.GetPageCount()));
        Site->LoadPage(Page);
        const std::int64_t Pos = static_cast<std::int64_t>(Page) * Storage.GetPageSize() + 12;
        if (Site->ReadInt32(12) != PatternInt(Pos)) ++Wrong;
      }
    });
  }
  for (auto& Thread : Threads) Thread.join();
  EXPECT_EQ(Wrong.load(), 0);
  EXPECT_EQ(Manager.OpenStorageCount(), 0u);
}

}  // namespace
}  // namespace vdb::test
