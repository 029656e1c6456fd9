#include "base/VdbErrors.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <vector>

#include "base/VdbLastError.h"
#include "support/RunProcess.h"

namespace vdb {
namespace {

TEST(VdbErrors, MessageFormatsAndResultTexts) {
  EXPECT_EQ(VdbErrorFormat(37), "File not found or access denied: \"%s\"");
  EXPECT_EQ(VdbErrorFormat(1), "Cannot open file \"%s\"");
  EXPECT_EQ(VdbErrorFormat(191),
            "Invalid database name \"%s\". Using a relative file path is not allowed");
  EXPECT_EQ(VdbErrorFormat(15), "");  // a number without a message
  EXPECT_EQ(VdbErrorFormat(0), "");
  EXPECT_EQ(VdbResultCodeText(0), "No error");
  EXPECT_EQ(VdbResultCodeText(-1), "Cannot open table");
  EXPECT_EQ(VdbResultCodeText(1), "Unknown error");
  EXPECT_EQ(VdbResultCodeText(-4), "Unknown error");  // not in the table
  EXPECT_EQ(VdbResultCodeText(12345), "Unknown error");
}

TEST(VdbErrors, GetErrorMsgCutsAndAlwaysAnswersZero) {
  char buf[64];
  EXPECT_EQ(VdbGetErrorMsg(-1, buf, 63), 0);
  EXPECT_STREQ(buf, "Cannot open table");
  EXPECT_EQ(VdbGetErrorMsg(-1, buf, 6), 0);
  EXPECT_STREQ(buf, "Cannot");
  EXPECT_EQ(VdbGetErrorMsg(-9876, buf, 63), 0);
  EXPECT_STREQ(buf, "Unknown error");
  EXPECT_EQ(VdbGetErrorMsg(0, buf, 0), 0);
  EXPECT_STREQ(buf, "");
}

TEST(VdbErrors, ExceptionsFillOrFallBackToTheBareFormat) {
  EVdbEngine filled(1, "Data.vdbt");
  EXPECT_EQ(filled.Code(), 1);
  EXPECT_STREQ(filled.what(), "Cannot open file \"Data.vdbt\"");

  EVdbEngine misfit(1, kxFormatArgs{42});
  EXPECT_STREQ(misfit.what(), "Cannot open file \"%s\"");

  EXPECT_STREQ(EVdbEngine::CreateMsg(5, "as given").what(), "as given");
  EXPECT_STRNE(EVdbEngine(kVdbErrInternalSignal, "").what(), "");

  EVdbCompilerError compiler(1, {"x"}, 4, 2, "select\t*", "SQL command");
  EXPECT_STREQ(compiler.what(), "Cannot open file \"x\"");
  EXPECT_EQ(compiler.ErrorCharNo(), 4);
  EXPECT_EQ(compiler.ErrorLineNo(), 2);
}

class LastErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    last.SetLogSink([this](int level, const std::string& subsystem, const std::string& msg) {
      log.push_back(std::to_string(level) + "|" + subsystem + "|" + msg);
    });
  }
  TVdbLastError last;
  std::vector<std::string> log;
};

TEST_F(LastErrorTest, RecordsFormatsLogsAndAnswersTheNegatedNumber) {
  EXPECT_EQ(last.SetLastError(1, "a.vdbt"), -1);
  EXPECT_EQ(last.LastErrorCode(), 1);
  EXPECT_EQ(last.LastErrorMsg(), "Cannot open file \"a.vdbt\"");
  EXPECT_EQ(log, std::vector<std::string>{"2|Error 1|Cannot open file \"a.vdbt\""});

  EXPECT_EQ(last.SetLastError(15, "ignored"), -15);
  EXPECT_EQ(last.LastErrorMsg(), "");  // no message for 15
}

TEST_F(LastErrorTest, MisfitArgumentsGiveInvalidErrorMessage) {
  last.SetLastError(1, kxFormatArgs{1, 2});
  EXPECT_EQ(last.LastErrorMsg(), "Invalid error message: Cannot open file \"%s\"");
  last.SetLastError(1, kxFormatArgs{});
  EXPECT_EQ(last.LastErrorMsg(), "Invalid error message: Cannot open file \"%s\"");
}

TEST_F(LastErrorTest, InternalSignalKeepsTheEarlierError) {
  EXPECT_EQ(last.SetLastError(kVdbErrInternalSignal, "x"), 0);  // nothing recorded before
  EXPECT_EQ(last.LastErrorCode(), 0);
  last.SetLastError(2, "f");
  log.clear();
  EXPECT_EQ(last.SetLastError(EVdbEngine(kVdbErrInternalSignal, "")), -2);
  EXPECT_EQ(last.SetLastErrorPos(kVdbErrInternalSignal, "", "line", 3), -2);
  EXPECT_EQ(last.LastErrorMsg(), "Error while reading from file \"f\"");
  EXPECT_EQ(last.LastErrorLine(), "");
  EXPECT_TRUE(log.empty());
}

TEST_F(LastErrorTest, RecordNotFoundIsRecordedButNotLogged) {
  EXPECT_EQ(last.SetLastError(kVdbErrRecordNotFound, kxFormatArgs{}), -19);
  EXPECT_EQ(last.LastErrorCode(), 19);
  EXPECT_TRUE(log.empty());
}

TEST_F(LastErrorTest, ExceptionsAndPositions) {
  last.SetLastError(EVdbCompilerError(1, {"t"}, 7, 3, "a\tb\tc", "SQL command"));
  EXPECT_EQ(last.LastErrorCode(), 1);
  EXPECT_EQ(last.LastErrorUnitName(), "SQL command");
  EXPECT_EQ(last.LastErrorLine(), "a b c");
  EXPECT_EQ(last.LastErrorLineNo(), 3);
  EXPECT_EQ(last.LastErrorPos(), 7);

  EXPECT_EQ(last.SetLastError(std::runtime_error("boom")), -123);
  EXPECT_EQ(last.LastErrorMsg(), "Exception: boom");

  EXPECT_EQ(last.SetLastErrorPos(2, "x", "where\tit", 9), -2);
  EXPECT_EQ(last.LastErrorLine(), "where it");
  EXPECT_EQ(last.LastErrorPos(), 9);

  EXPECT_EQ(last.SetLastErrorMsgPos(5, "own text", "e", 1), -5);
  EXPECT_EQ(last.LastErrorMsg(), "own text");
}

// The vocabulary and the message table agree: every named number is distinct and has its
// message (the internal signal has a fixed text of its own), and every message has its name.
TEST(VdbErrors, VocabularyMatchesTheMessageTable) {
  std::set<int> named;
  for (TVdbError Error : kVdbEngineErrors) {
    EXPECT_TRUE(named.insert(Error).second) << "number named twice: " << Error;
    if (Error == kVdbErrInternalSignal) continue;
    EXPECT_NE(VdbErrorFormat(Error), "") << "named number without a message: " << Error;
  }
  EXPECT_STRNE(EVdbEngine(kVdbErrInternalSignal, "").what(), "");
  for (std::size_t I = 0; I < kVdbMessageTableSize; ++I)
    EXPECT_EQ(named.count(kVdbMessageTable[I].code), 1u)
        << "message without a name: " << kVdbMessageTable[I].code;
}

// The one boundary from exceptions to result codes, for every kind of failure, with and without
// a last-error record, inside the engine and at the handle API.
TEST(VdbGuarded, AnswersTheBodysResultOrTheRecordedFailure) {
  struct Case {
    const char* name;
    std::function<std::int32_t()> body;
    TVdbBoundary boundary;
    std::int32_t result;
    std::int16_t recorded;  // 0: the last error stays as it was
    const char* message;
  };
  const Case cases[] = {
      {"result", [] { return 7; }, TVdbBoundary::Engine, 7, 0, ""},
      {"engine error", []() -> std::int32_t { throw EVdbEngine(kVdbErrTableLocked, kxFormatArgs{}); },
       TVdbBoundary::Engine, -104, 104, "Table is locked by another session"},
      {"engine error at the API",
       []() -> std::int32_t { throw EVdbEngine(kVdbErrFileRead, "t.vdbt"); }, TVdbBoundary::Api,
       -2, 2, "Error while reading from file \"t.vdbt\""},
      {"internal signal", []() -> std::int32_t { throw EVdbEngine(kVdbErrInternalSignal, ""); },
       TVdbBoundary::Engine, -9999, 0, ""},
      {"out of memory", []() -> std::int32_t { throw std::bad_alloc(); }, TVdbBoundary::Engine,
       -99, 99, "Not enough memory"},
      {"foreign", []() -> std::int32_t { throw std::runtime_error("boom"); },
       TVdbBoundary::Engine, -123, 123, "Exception: boom"},
      {"foreign at the API", []() -> std::int32_t { throw std::logic_error("bad"); },
       TVdbBoundary::Api, -102, 123, "Exception: bad"},
  };
  for (const Case& C : cases) {
    TVdbLastError Last;
    EXPECT_EQ(VdbGuarded(&Last, C.body, C.boundary), C.result) << C.name;
    EXPECT_EQ(Last.LastErrorCode(), C.recorded) << C.name;
    EXPECT_EQ(Last.LastErrorMsg(), C.message) << C.name;
    EXPECT_EQ(VdbGuarded(nullptr, C.body, C.boundary), C.result) << C.name << " without a record";
  }
}

TEST(VdbGuarded, CompilerErrorsKeepTheirPlaceAndOtherThrowsPassThrough) {
  TVdbLastError Last;
  EXPECT_EQ(VdbGuarded(&Last,
                       []() -> std::int16_t {
                         throw EVdbCompilerError(kVdbErrExpressionSyntax, {"x"}, 4, 2, "a b",
                                                 "SQL command");
                       }),
            -25);
  EXPECT_EQ(Last.LastErrorLineNo(), 2);
  EXPECT_EQ(Last.LastErrorPos(), 4);
  EXPECT_EQ(Last.LastErrorUnitName(), "SQL command");
  EXPECT_THROW(VdbGuarded(&Last, []() -> int { throw 5; }), int);
  EXPECT_EQ(Last.LastErrorCode(), 25);
}

TEST(VdbErrorsTool, PrintsFormatsAndResultTexts) {
  struct ToolCase {
    std::vector<std::string> args;
    int exitCode;
    std::string out;
  };
  const ToolCase cases[] = {
      {{"errors", "37"}, 0, "File not found or access denied: \"%s\"\n"},
      {{"errors", "1"}, 0, "Cannot open file \"%s\"\nresult code -1: Cannot open table\n"},
      {{"errors", "15"}, 0, "result code -15: Invalid access\n"},  // code text only
      {{"errors", "24"}, 1, ""},                                   // neither
      {{"errors", "x"}, 2, ""},
      {{"errors"}, 2, ""},
      {{"errors", "-3"}, 2, ""},
  };
  for (const auto& c : cases) {
    auto r = vdbtest::RunProcess(VDB_TOOL_PATH, c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args.back();
    EXPECT_EQ(r.out, c.out) << c.args.back();
    if (c.exitCode != 0) {
      EXPECT_FALSE(r.err.empty());
    }
  }
}

}  // namespace
}  // namespace vdb
