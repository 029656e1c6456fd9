// Shared pieces of the API tests: UTF-16 text for the API, a fresh directory per test, and
// sessions opened through the API.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "api/VdbApi.h"
#include "storage/kxMemory.h"

namespace vdb::apitest {

// Zero-terminated UTF-16 text made from UTF-8.
class W {
 public:
  W(std::string_view Utf8) {  // NOLINT: converting on purpose
    for (char16_t Unit : TkxMemory::Utf8ToUtf16(Utf8)) FText.push_back(Unit);
    FText.push_back(0);
  }
  operator const VdbChar*() const { return FText.data(); }  // NOLINT

 private:
  std::vector<VdbChar> FText;
};

inline std::string Utf8(const VdbChar* Text) {
  std::u16string Wide;
  for (; *Text != 0; ++Text) Wide.push_back(static_cast<char16_t>(*Text));
  return TkxMemory::Utf16ToUtf8(Wide);
}

// The last error of a session: its negated number and its message.
struct LastError {
  int16_t Code = 0;
  std::string Message;
};
inline LastError LastErrorOf(VdbHandle Sess) {
  VdbChar Buffer[1024];
  LastError Error;
  EXPECT_EQ(VdbSessGetLastError(Sess, &Error.Code, Buffer, 1023), 0);
  Error.Message = Utf8(Buffer);
  return Error;
}

// The text of a column of the current record of a table handle ("<NULL>" for NULL).
inline std::string FieldText(VdbHandle Table, int16_t FieldNo) {
  int16_t IsNull = 0;
  const int32_t Length = VdbTableGetFieldText(Table, FieldNo, nullptr, 0, &IsNull);
  if (Length < 0) return "<error " + std::to_string(Length) + ">";
  std::vector<VdbChar> Buffer(static_cast<std::size_t>(Length) + 1);
  VdbTableGetFieldText(Table, FieldNo, Buffer.data(), Length, &IsNull);
  return IsNull != 0 ? "<NULL>" : Utf8(Buffer.data());
}

class ApiFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() /
           ("vdb_api_" + std::to_string(::getpid()) + "_" + std::to_string(Next++));
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
  }
  void TearDown() override {
    for (VdbHandle Sess : FSessions) {
      VdbSessCloseDb(Sess);
      VdbSessDelete(Sess);
    }
    std::error_code Ignored;
    std::filesystem::remove_all(FDir, Ignored);
  }
  std::string Path(const std::string& Name) const { return (FDir / Name).string(); }

  // A session (deleted at the end of the test).
  VdbHandle NewSession() {
    const VdbHandle Sess = VdbCreateSession(W(FDir.string()));
    EXPECT_GT(Sess, 0);
    FSessions.push_back(Sess);
    return Sess;
  }
  // A session with the database at Location open (a new single-file one when CreateFirst).
  VdbHandle OpenDatabase(const std::string& Location, bool CreateFirst = false) {
    const VdbHandle Sess = NewSession();
    if (CreateFirst) {
      EXPECT_EQ(VdbSessCreateDatabase(Sess, VDB_DB_SINGLE_FILE, W(Location), nullptr), 0);
    }
    EXPECT_EQ(VdbSessOpenDb(Sess, W(Location), nullptr, nullptr, 0, 0), 0) << LastErrorOf(Sess).Message;
    return Sess;
  }
  void Forget(VdbHandle Sess) { std::erase(FSessions, Sess); }

  std::filesystem::path FDir;
  std::vector<VdbHandle> FSessions;
  static inline std::atomic<int> Next{0};
};

}  // namespace vdb::apitest
