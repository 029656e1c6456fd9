// vdb container ...: the tool run as a process on containers in a scratch directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "storage/kxCompoundFile.h"
#include "support/RunProcess.h"

namespace {

using vdbtest::ProcessResult;
using vdbtest::RunProcess;

std::vector<std::uint8_t> Bytes(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(In), {});
}

class VdbContainerTest : public ::testing::Test {
 protected:
  VdbContainerTest()
      : FDir(std::filesystem::path(::testing::TempDir()) /
             ("vdb_container_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
  }
  ~VdbContainerTest() override { std::filesystem::remove_all(FDir); }

  std::string File(const std::string& Name) const { return (FDir / Name).string(); }

  ProcessResult Vdb(const std::vector<std::string>& Args) {
    std::vector<std::string> All{"container"};
    All.insert(All.end(), Args.begin(), Args.end());
    return RunProcess(VDB_TOOL_PATH, All);
  }

  // A container with a file in the root and one in a subdirectory.
  std::string Filled() {
    const std::string C = File("x.vdbd");
    EXPECT_EQ(Vdb({"new", C}).exitCode, 0);
    std::ofstream(File("src.txt")) << std::string(10000, 'q') << "end";
    EXPECT_EQ(Vdb({"put", C, "Data.vdbt", File("src.txt")}).exitCode, 0);
    EXPECT_EQ(Vdb({"mkdir", C, "sub"}).exitCode, 0);
    EXPECT_EQ(Vdb({"put", C, "sub\\inner.vdbi", File("src.txt")}).exitCode, 0);
    return C;
  }

 private:
  std::filesystem::path FDir;
};

TEST_F(VdbContainerTest, NewLsCheck) {
  const std::string C = File("x.vdbd");
  const ProcessResult New = Vdb({"new", C});
  ASSERT_EQ(New.exitCode, 0) << New.err;
  EXPECT_EQ(std::filesystem::file_size(C), 8301u);
  const ProcessResult Ls = Vdb({"ls", C});
  ASSERT_EQ(Ls.exitCode, 0) << Ls.err;
  EXPECT_NE(Ls.out.find("0 entries; free list 0 tiles; 2 tiles in the container"),
            std::string::npos)
      << Ls.out;
  const ProcessResult Check = Vdb({"check", C});
  EXPECT_EQ(Check.exitCode, 0) << Check.err;
  EXPECT_EQ(Check.out, "no defects\n");
  EXPECT_NE(Vdb({"new", C}).exitCode, 0);  // never overwrites a file
}

TEST_F(VdbContainerTest, PutCatLsAndChanges) {
  const std::string C = Filled();
  const ProcessResult Cat = Vdb({"cat", C, "Data.vdbt"});
  ASSERT_EQ(Cat.exitCode, 0) << Cat.err;
  EXPECT_EQ(Cat.out, std::string(10000, 'q') + "end");
  EXPECT_EQ(Vdb({"cat", C, "/sub/inner.vdbi"}).out, Cat.out);

  const ProcessResult Ls = Vdb({"ls", C});
  ASSERT_EQ(Ls.exitCode, 0) << Ls.err;
  EXPECT_NE(Ls.out.find("Data.vdbt"), std::string::npos) << Ls.out;
  EXPECT_NE(Ls.out.find("10003"), std::string::npos) << Ls.out;
  EXPECT_NE(Ls.out.find("dir"), std::string::npos) << Ls.out;
  EXPECT_NE(Ls.out.find("2 entries;"), std::string::npos) << Ls.out;
  const ProcessResult LsSub = Vdb({"ls", C, "sub"});
  EXPECT_NE(LsSub.out.find("inner.vdbi"), std::string::npos) << LsSub.out;

  ASSERT_EQ(Vdb({"mv", C, "Data.vdbt", "Renamed.vdbt"}).exitCode, 0);
  EXPECT_EQ(Vdb({"cat", C, "Renamed.vdbt"}).out, Cat.out);
  ASSERT_EQ(Vdb({"rm", C, "sub\\inner.vdbi"}).exitCode, 0);
  ASSERT_EQ(Vdb({"rmdir", C, "sub"}).exitCode, 0);
  const ProcessResult After = Vdb({"ls", C});
  EXPECT_NE(After.out.find("1 entries; free list"), std::string::npos) << After.out;
  EXPECT_EQ(Vdb({"check", C}).exitCode, 0);
}

TEST_F(VdbContainerTest, ExportAndCompress) {
  const std::string C = Filled();
  ASSERT_EQ(Vdb({"put", C, "junk", File("src.txt")}).exitCode, 0);
  ASSERT_EQ(Vdb({"rm", C, "junk"}).exitCode, 0);
  std::filesystem::create_directory(File("out"));
  const ProcessResult Export = Vdb({"export", C, "*", File("out")});
  ASSERT_EQ(Export.exitCode, 0) << Export.err;
  EXPECT_EQ(Bytes(File("out/Data.vdbt")), Bytes(File("src.txt")));
  EXPECT_FALSE(std::filesystem::exists(File("out/sub")));

  const ProcessResult Compress = Vdb({"compress", C});
  ASSERT_EQ(Compress.exitCode, 0) << Compress.err;
  EXPECT_TRUE(std::filesystem::exists(File("x.bak.vdbd")));
  EXPECT_EQ(Vdb({"cat", C, "sub\\inner.vdbi"}).out, std::string(10000, 'q') + "end");
  EXPECT_NE(Vdb({"ls", C}).out.find("free list 0 tiles"), std::string::npos);
  EXPECT_EQ(Vdb({"check", C}).exitCode, 0);
}

TEST_F(VdbContainerTest, ReadingCommandsNeverWrite) {
  const std::string C = Filled();
  std::filesystem::create_directory(File("out"));
  const auto Before = Bytes(C);
  const auto Time = std::filesystem::last_write_time(C);
  EXPECT_EQ(Vdb({"ls", C}).exitCode, 0);
  EXPECT_EQ(Vdb({"ls", C, "sub"}).exitCode, 0);
  EXPECT_EQ(Vdb({"cat", C, "Data.vdbt"}).exitCode, 0);
  EXPECT_EQ(Vdb({"check", C}).exitCode, 0);
  EXPECT_EQ(Vdb({"export", C, "\\sub\\*", File("out")}).exitCode, 0);
  EXPECT_EQ(Bytes(C), Before);
  EXPECT_EQ(std::filesystem::last_write_time(C), Time);
}

TEST_F(VdbContainerTest, CheckReportsDefectsWithExitStatusOne) {
  const std::string C = Filled();
  // The size of Data.vdbt in its root entry (entry 0 at byte 8192, size at offset 81).
  std::fstream Patch(C, std::ios::binary | std::ios::in | std::ios::out);
  Patch.seekp(8192 + 81);
  const char Size[8] = {0x40, 0x42, 0x0F, 0, 0, 0, 0, 0};  // 1000000
  Patch.write(Size, 8);
  Patch.close();
  const ProcessResult Check = Vdb({"check", C});
  EXPECT_EQ(Check.exitCode, 1);
  EXPECT_EQ(Check.out,
            "\\Data.vdbt: File size is different for directory (1000000) and FAT (16384).\n"
            "1 defect\n");
}

TEST_F(VdbContainerTest, BadInputGetsClearErrors) {
  const std::string C = Filled();
  struct TCase {
    std::vector<std::string> Args;
    int Exit;
    std::string Err;
  };
  const std::vector<TCase> Cases = {
      {{}, 2, "usage: vdb container"},
      {{"frobnicate", C}, 2, "unknown subcommand \"frobnicate\""},
      {{"ls"}, 2, "usage: vdb container"},
      {{"cat", C}, 2, "usage: vdb container"},
      {{"ls", File("missing.vdbd")}, 3, "does not exist"},
      {{"ls", File("src.txt")}, 3, "is not a container"},
      {{"cat", C, "nothing"}, 3, "cannot open \\nothing"},
      {{"ls", C, "nodir"}, 3, "no directory \\nodir\\"},
      {{"rm", C, "nothing"}, 3, "cannot remove \\nothing"},
      {{"rmdir", C, "sub"}, 3, "cannot remove directory \\sub"},
      {{"mkdir", C, "sub"}, 3, "cannot create directory \\sub"},
      {{"mv", C, "Data.vdbt", "sub\\x"}, 3, "must lie in the same directory"},
      {{"put", C, "a", File("missing.txt")}, 3, "cannot open"},
      {{"export", C, "*", File("missing")}, 3, "is not a directory"},
      {{"export", C, "nodir\\*", File("")}, 3, "Directory \"\\nodir\\\" not found."},
      {{"check", File("missing.vdbd")}, 3, "does not exist"},
  };
  for (const TCase& Case : Cases) {
    const ProcessResult R = Vdb(Case.Args);
    EXPECT_EQ(R.exitCode, Case.Exit) << ::testing::PrintToString(Case.Args) << R.err;
    EXPECT_NE(R.err.find(Case.Err), std::string::npos)
        << ::testing::PrintToString(Case.Args) << " said: " << R.err;
  }
  EXPECT_EQ(Vdb({"check", C}).exitCode, 0);  // none of them changed the container
}

}  // namespace
