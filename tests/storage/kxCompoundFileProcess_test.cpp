// The compound container between real processes (tests/helpers/container_helper): ten readers
// at a time and the eleventh's sharing violation, another process's write making this one drop
// its caches, and readers that never write to the container file.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "storage/kxCompoundFile.h"
#include "storage/kxCompoundFileTestSupport.h"

namespace {

using vdb::TkxCompoundFileIntf;
using vdbtest::HelperPath;
using vdbtest::TChild;

class CompoundFileProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Path = Dir.File("p.vdbd");
    TkxCompoundFileIntf C(Path);
    C.NewFile();
    C.Open();
    vdbtest::WriteContained(C, "\\f", "version 1");
    ASSERT_TRUE(C.CreateDir("\\d"));
    vdbtest::WriteContained(C, "\\d\\g", vdbtest::Pattern(20000, 9));
  }

  vdbtest::TTempDir Dir;
  std::string Path;
};

TEST_F(CompoundFileProcessTest, TenReadersAtATimeAndTheEleventhFails) {
  // The eleventh has the container open before the others lock, and asks once they all do.
  const std::string Go = Dir.File("go");
  const std::string Release = Dir.File("release");  // the ten readers hold until it exists
  TChild Eleventh(HelperPath(),
                  {Path, "open", "hold-read", "0", Dir.File("ready11"), "wait-file", Go,
                   "begin-read"},
                  Dir.File("out11"));
  ASSERT_TRUE(vdbtest::WaitForFile(Dir.File("ready11")));
  std::vector<std::unique_ptr<TChild>> Readers;
  for (int I = 0; I < 10; ++I) {
    const std::string Ready = Dir.File("ready" + std::to_string(I));
    Readers.push_back(std::make_unique<TChild>(
        HelperPath(),
        std::vector<std::string>{Path, "open", "hold-read-until", Release, Ready, "close"},
        Dir.File("out" + std::to_string(I))));
  }
  for (int I = 0; I < 10; ++I)
    ASSERT_TRUE(vdbtest::WaitForFile(Dir.File("ready" + std::to_string(I))));
  std::ofstream(Go) << "go";
  const int EleventhExit = Eleventh.Wait();
  std::ofstream(Release) << "release";
  ASSERT_EQ(EleventhExit, 0) << Eleventh.Output();
  // "begin-read <locked> <error> <ms>": 100 rounds of 10 to 19 ms in vain, then error 32.
  std::istringstream Line(Eleventh.Output().substr(Eleventh.Output().find("begin-read")));
  std::string Op;
  int Locked = -1, Error = -1;
  long Ms = -1;
  Line >> Op >> Locked >> Error >> Ms;
  EXPECT_EQ(Locked, 0);
  EXPECT_EQ(Error, 0) << "BeginRead itself answers false";
  EXPECT_GE(Ms, 1000);
  EXPECT_LT(Ms, 10000);
  for (auto& Reader : Readers) EXPECT_EQ(Reader->Wait(), 0) << Reader->Output();
  // Once they are gone, a reader gets in at once.
  TChild Late(HelperPath(), {Path, "open", "begin-read", "read", "\\f"}, Dir.File("late"));
  ASSERT_EQ(Late.Wait(), 0);
  EXPECT_NE(Late.Output().find("begin-read 1 0"), std::string::npos) << Late.Output();
  EXPECT_NE(Late.Output().find("read 9 version 1"), std::string::npos) << Late.Output();
}

TEST_F(CompoundFileProcessTest, AnotherProcessesWriteDropsTheCaches) {
  TkxCompoundFileIntf C(Path);
  C.Open();
  EXPECT_EQ(vdbtest::ReadContained(C, "\\f"), "version 1");  // now cached
  const std::int32_t H = C.OpenFile("\\f", 0);  // the file object stays, with its tiles
  char Buffer[32] = {};
  ASSERT_EQ(C.FileRead(H, Buffer, 32, 0), 9);

  // The helper needs the write lock: it waits until this process's read lock is given back.
  TChild Writer(HelperPath(),
                {Path, "open", "write", "\\f", "version two, longer", "write", "\\added", "new",
                 "close"},
                Dir.File("writer"));
  ASSERT_EQ(Writer.Wait(), 0) << Writer.Output();

  EXPECT_EQ(C.GetFileSize(H), 19);  // the size comes from the directory entry again
  ASSERT_EQ(C.FileRead(H, Buffer, 32, 0), 19);
  EXPECT_EQ(std::string(Buffer, 19), "version two, longer");
  C.CloseFile(H);
  EXPECT_EQ(vdbtest::ReadContained(C, "\\added"), "new");  // the root directory is read again
  EXPECT_EQ(vdbtest::ReadContained(C, "\\d\\g"), vdbtest::Pattern(20000, 9));
}

TEST_F(CompoundFileProcessTest, WritesOfThisProcessReachTheOther) {
  TkxCompoundFileIntf C(Path);
  C.Open();
  vdbtest::WriteContained(C, "\\new", "from the test");
  // No close: the background thread flushes and gives the write lock back.
  TChild Reader(HelperPath(), {Path, "open-ro", "read", "\\new"}, Dir.File("reader"));
  ASSERT_EQ(Reader.Wait(), 0) << Reader.Output();
  EXPECT_NE(Reader.Output().find("read 13 from the test"), std::string::npos) << Reader.Output();
}

TEST_F(CompoundFileProcessTest, ReaderProcessesNeverWriteToTheContainer) {
  const auto Before = vdbtest::ReadBytes(Path);
  TChild ReadWrite(HelperPath(), {Path, "open", "readall", "sleep", "120", "readall", "close"},
                   Dir.File("rw"));
  TChild ReadOnly(HelperPath(), {Path, "open-ro", "readall", "close"}, Dir.File("ro"));
  ASSERT_EQ(ReadWrite.Wait(), 0) << ReadWrite.Output();
  ASSERT_EQ(ReadOnly.Wait(), 0) << ReadOnly.Output();
  EXPECT_NE(ReadWrite.Output().find("readall 20009"), std::string::npos) << ReadWrite.Output();
  EXPECT_EQ(vdbtest::ReadBytes(Path), Before);
}

}  // namespace
