// Shared pieces of the session and catalog tests: a fresh directory holding the lexicon's
// single-file database "L_Data.vdbd", and sessions opened on it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "LexiconCsv.h"
#include "LexiconDatabase.h"
#include "session/VdbCatalog.h"
#include "session/VdbLocSess.h"
#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"

namespace vdb::test {

inline std::vector<lexicon::LexiconEntry> SampleEntries(int Count) {
  std::vector<lexicon::LexiconEntry> Entries;
  for (int I = 1; I <= Count; ++I) {
    const std::string Number = (I < 10 ? "0" : "") + std::to_string(I);
    Entries.push_back({"szo" + Number, "leiras " + Number, I + 1});
  }
  return Entries;
}

inline std::string ReadWholeFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

class SessionFixture : public ::testing::Test {
 protected:
  static constexpr int kEntries = 7;

  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() /
           ("vdb_session_" + std::to_string(::getpid()) + "_" + std::to_string(Next++));
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
    FPath = (FDir / "L_Data.vdbd").string();
    lexicon::WriteLexiconDatabase(SampleEntries(kEntries), FPath);
  }
  void TearDown() override {
    FSessions.clear();
    std::error_code Ignored;
    std::filesystem::remove_all(FDir, Ignored);
  }

  // A new initialised session (handles 1, 2, ... in order of creation) with Location set.
  TVdbLocalSession& NewSession(const std::string& Location) {
    auto Session = std::make_unique<TVdbLocalSession>();
    EXPECT_EQ(Session->Initialize(static_cast<std::int16_t>(FSessions.size() + 1)), 0);
    Session->Catalog()->SetLocation(Location);
    FSessions.push_back(std::move(Session));
    return *FSessions.back();
  }
  // A session with the lexicon's database open.
  TVdbLocalSession& OpenSession() {
    TVdbLocalSession& Session = NewSession(FPath);
    EXPECT_EQ(Session.OpenDb(), 0) << Session.Services()->LastErrorMsg();
    return Session;
  }
  static std::int16_t OpenData(TVdbLocalSession& Session, std::uint16_t Rights = kVdbWriteRights) {
    return Session.Catalog()->TryOpenTable("Data", "", false, false, Rights);
  }
  // Copies table Data inside the (closed) container as tables Prefix1 .. Prefix<Count>.
  void CopyDataTable(const std::string& Prefix, int Count) {
    TkxCompoundFileIntf Container(FPath);
    Container.Open();
    for (int I = 1; I <= Count; ++I) {
      const std::string Name = "\\" + Prefix + std::to_string(I);
      ASSERT_TRUE(Container.CopyFile("\\Data.vdbt", Name + ".vdbt"));
      ASSERT_TRUE(Container.CopyFile("\\Data.vdbm", Name + ".vdbm"));
      ASSERT_TRUE(Container.CopyFile("\\Data!CIMSZO.vdbi", Name + "!CIMSZO.vdbi"));
    }
    Container.Close();
  }
  std::string Beside(const std::string& Name) const { return (FDir / Name).string(); }
  bool Exists(const std::string& Name) const { return std::filesystem::exists(FDir / Name); }
  // Whether the page manager's registry still holds a file system under Name.
  static bool Registered(const std::string& Name) {
    TkxFileSystem* Found = TVdbPageManager::Instance().GetFileSystem(Name);
    if (Found != nullptr) TVdbPageManager::Instance().ReleaseFileSystem(Found);
    return Found != nullptr;
  }

  std::filesystem::path FDir;
  std::string FPath;
  std::vector<std::unique_ptr<TVdbLocalSession>> FSessions;
  static inline std::atomic<int> Next{0};
};

}  // namespace vdb::test
