// The change number of a cached file: every way a page can change makes it grow for every client
// of the file, reading never does, and two files count apart. Index trees trust a position kept
// inside their pages only while this number stands still.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "storage/VdbPageMan.h"
#include "VdbPageManTestSupport.h"

namespace vdb::test {
namespace {

class ChangeGenerationTest : public ::testing::Test {
 protected:
  std::unique_ptr<TVdbClientStorage> Open(const std::string& Name, std::int32_t ClientHdl) {
    auto Storage = std::make_unique<TVdbClientStorage>(Manager, &Fs, ClientHdl);
    Storage->SetName(Name);
    Storage->SetPageSize(1024);
    Storage->Open(false, false);
    return Storage;
  }

  TScratchDir Dir;
  TProbeFileSystem Fs{Dir.Path().string()};
  TVdbPageManager Manager;
};

TEST_F(ChangeGenerationTest, EveryPageChangeIsSeenByTheOtherClientAndReadingIsNot) {
  struct TCase {
    const char* What;
    bool Changes;
    std::function<void(TVdbClientStorage&)> Do;
  };
  const TCase Cases[] = {
      {"reading a page", false, [](TVdbClientStorage& S) { S.ReadPage(1)->ReadInt32(0); }},
      {"writing into a page", true, [](TVdbClientStorage& S) { S.ReadPage(1)->WriteInt32(8, 7); }},
      {"a new page", true, [](TVdbClientStorage& S) { S.NewPage(S.GetPageCount()); }},
      {"cutting the file", true, [](TVdbClientStorage& S) { S.SetPageCount(3); }},
      {"flushing", false, [](TVdbClientStorage& S) { S.Flush(); }},
      {"undoing", true, [](TVdbClientStorage& S) { S.Undo(); }},
      {"reading again after another process", true, [](TVdbClientStorage& S) { S.Invalidate(); }},
      {"writing directly", true,
       [](TVdbClientStorage& S) {
         const std::int32_t Value = 5;
         S.WriteDirect(&Value, sizeof Value, 16);
       }},
  };
  WriteFileBytes(Dir.File("f.dat"), Pattern(8 * 1024));
  WriteFileBytes(Dir.File("g.dat"), Pattern(4 * 1024));
  auto Writer = Open("f.dat", 1);
  auto Watcher = Open("f.dat", 2);
  auto Elsewhere = Open("g.dat", 3);
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const std::uint64_t Before = Watcher->ChangeGeneration();
    const std::uint64_t OtherBefore = Elsewhere->ChangeGeneration();
    Case.Do(*Writer);
    EXPECT_EQ(Watcher->ChangeGeneration() != Before, Case.Changes);
    EXPECT_EQ(Writer->ChangeGeneration(), Watcher->ChangeGeneration());
    EXPECT_EQ(Elsewhere->ChangeGeneration(), OtherBefore);
  }
  EXPECT_NE(Watcher->ChangeGeneration(), Elsewhere->ChangeGeneration());
  Watcher->Close();
  EXPECT_EQ(Watcher->ChangeGeneration(), 0u);
}

}  // namespace
}  // namespace vdb::test
