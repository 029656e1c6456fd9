// The real lombkalauz executable, started as separate processes with its message-box answer
// hook (LOMBKALAUZ_DIALOG_ANSWERS, see app/main.cpp).
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "AppTestSupport.h"

namespace fs = std::filesystem;
using apptest::EmbeddedResource1;
using apptest::ReadFileBytes;

namespace {

// Generous: the sanitizer build starts slowly.
constexpr int kStartTimeoutMs = 60000;

class TLombkalauzProcess {
 public:
  TLombkalauzProcess(const QString& directory, const QString& answers) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("LOMBKALAUZ_DIALOG_ANSWERS"), answers);
    process_.setProcessEnvironment(environment);
    process_.setWorkingDirectory(directory);
    process_.setProgram(QStringLiteral(LOMBKALAUZ_PATH));
    process_.setReadChannel(QProcess::StandardError);
    process_.start();
  }
  TLombkalauzProcess(const TLombkalauzProcess&) = delete;
  TLombkalauzProcess& operator=(const TLombkalauzProcess&) = delete;
  ~TLombkalauzProcess() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(kStartTimeoutMs);
    }
  }

  // Waits until the window's show handler has run; false on time-out or an early end.
  bool WaitUntilShown() {
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!Stderr().contains("lombkalauz: shown\n")) {
      if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) return false;
      process_.waitForReadyRead(100);
    }
    return true;
  }

  // Waits for the process's own end; false on time-out.
  bool WaitForEnd() { return process_.waitForFinished(kStartTimeoutMs); }

  const QByteArray& Stderr() {
    stderr_ += process_.readAllStandardError();
    return stderr_;
  }
  QProcess& Process() { return process_; }

 private:
  QProcess process_;
  QByteArray stderr_;
};

class ProcessTest : public ::testing::Test {
 protected:
  apptest::TScratchDirectory scratch;
  fs::path databaseFile = scratch.Path() / "L_Data.vdbd";
};

TEST_F(ProcessTest, SecondInstanceCannotWriteOverTheFileTheFirstHolds) {
  TLombkalauzProcess first(scratch.QPath(), QString());
  ASSERT_TRUE(first.WaitUntilShown()) << first.Stderr().toStdString();
  EXPECT_FALSE(first.Stderr().contains("lombkalauz: message:")) << first.Stderr().toStdString();
  // The engine keeps its container header up to date while the lexicon is open; the rest of the
  // file is the resource's.
  ASSERT_EQ(ReadFileBytes(databaseFile).size(), EmbeddedResource1().size());

  // Mark the first instance's file, so that a rewrite with the same bytes would show too.
  const QByteArray marker("changed by the first instance");
  {
    std::fstream out(databaseFile, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(0, std::ios::end);
    out.write(marker.constData(), marker.size());
  }
  const QByteArray marked = ReadFileBytes(databaseFile);
  ASSERT_TRUE(marked.endsWith(marker));

  TLombkalauzProcess second(scratch.QPath(), QStringLiteral("yes"));
  ASSERT_TRUE(second.WaitForEnd()) << second.Stderr().toStdString();
  const QByteArray secondErr = second.Stderr();
  EXPECT_EQ(second.Process().exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.Process().exitCode(), 0);
  EXPECT_TRUE(secondErr.contains("lombkalauz: message: Hiba történt - 2 !\n"))
      << secondErr.toStdString();
  EXPECT_EQ(secondErr.count("lombkalauz: message:"), 1) << secondErr.toStdString();
  EXPECT_FALSE(secondErr.contains("lombkalauz: question:")) << secondErr.toStdString();

  // Not written over: the first instance's marker is still there, and the second instance's
  // opening of the lexicon changed no byte behind the container's header.
  const QByteArray after = ReadFileBytes(databaseFile);
  EXPECT_EQ(after.size(), marked.size());
  EXPECT_TRUE(after.endsWith(marker));
  EXPECT_EQ(after.mid(512), marked.mid(512));
  EXPECT_EQ(first.Process().state(), QProcess::Running);
}

TEST_F(ProcessTest, UnwritableDirectoryShowsError2AndTheProgramEndsByItself) {
  fs::create_directory(databaseFile);
  TLombkalauzProcess program(scratch.QPath(), QStringLiteral("yes"));
  ASSERT_TRUE(program.WaitForEnd()) << program.Stderr().toStdString();
  const QByteArray err = program.Stderr();
  EXPECT_EQ(program.Process().exitCode(), 0);
  EXPECT_TRUE(err.contains("lombkalauz: message: Hiba történt - 2 !\n")) << err.toStdString();
  EXPECT_TRUE(err.contains("lombkalauz: shown\n")) << err.toStdString();
  EXPECT_FALSE(err.contains("lombkalauz: question:")) << err.toStdString();
  EXPECT_TRUE(fs::is_directory(databaseFile));
}

}  // namespace
