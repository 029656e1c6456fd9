// The main window's start, provisioning of the database file and the two ways out.
#include <QDir>
#include <QGroupBox>
#include <QIODevice>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTime>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "AdBanner.h"
#include "AdTestServer.h"
#include "AppTestSupport.h"
#include "BuiltInTexts.h"
#include "MainLoop.h"
#include "MessageDialogs.h"
#include "Resources.h"
#include "TimeOfDayText.h"
#include "Unit1.h"

namespace fs = std::filesystem;
using apptest::EmbeddedResource1;
using apptest::ReadFileBytes;
using ::testing::ElementsAre;

namespace {

const QString kEndStatus = QStringLiteral("Program használatásan befejezése ?");
const QString kEndQuestion = QStringLiteral("Biztosan be kívánja fejezni a program használatát ?");
const QString kResourceError = QStringLiteral("Hiba történt - 1 !");
const QString kWriteError = QStringLiteral("Hiba történt - 2 !");
const QString kNoDatabaseFile = QStringLiteral("Nem található az adatállomány !");
// Without the file the lexicon's opening fails in a chain: no file, then the query over the
// current directory, which holds no table Data.
MATCHER(kQueryFailedForMissingDataMatcher, "the query failure of the opening sequence") {
  return arg.startsWith(QStringLiteral("Lekérdezés nem hajtható végre !   Preparing SQL statement: "));
}
const auto kQueryFailedForMissingData = kQueryFailedForMissingDataMatcher();

// The main window with its call points recorded; the ad server link can be made to fail.
class TRecordingForm1 : public TForm1 {
 public:
  using TForm1::TForm1;

  std::vector<std::string> calls;
  std::optional<std::string> closeLinkError;
  bool fileExistedWhenLexiconClosed = false;

 protected:
  void OpenLexicon() override {
    calls.push_back("OpenLexicon");
    TForm1::OpenLexicon();
  }
  void CloseLexicon() override {
    calls.push_back("CloseLexicon");
    fileExistedWhenLexiconClosed = fs::exists(DatabaseFileName().toStdString());
    TForm1::CloseLexicon();
  }
  void RefreshAdServerLink() override { calls.push_back("RefreshAdServerLink"); }
  void ShowBannerAdvert() override { calls.push_back("ShowBannerAdvert"); }
  void CloseAdServerLink() override {
    calls.push_back("CloseAdServerLink");
    if (closeLinkError) throw std::runtime_error(*closeLinkError);
  }
};

class TNoResources final : public TResourceSource {
 public:
  std::unique_ptr<QIODevice> Open(const QString& name) const override {
    throw EResourceNotFound("no " + name.toStdString());
  }
};

class Form1Test : public ::testing::Test {
 protected:
  void Create(const TResourceSource& resources) {
    form = std::make_unique<TRecordingForm1>(dialogs, mainLoop, resources);
  }
  void Start() { Start(embedded); }
  void Start(const TResourceSource& resources) {
    Create(resources);
    apptest::ShowWithTheFirstAdvert(*form);
  }
  fs::path DatabaseFile() const { return scratch.Path() / "L_Data.vdbd"; }
  bool DirectoryIsEmpty() const { return fs::is_empty(scratch.Path()); }

  // The show handler's steps after the write ran, whatever the write did.
  void ExpectLaterShowStepsRan() {
    EXPECT_THAT(form->calls, ElementsAre("OpenLexicon", "RefreshAdServerLink", "ShowBannerAdvert"));
    for (int entry = 0; entry < kBuiltInAdvertCount; ++entry) {
      SCOPED_TRACE(entry + 1);
      const auto& advert = form->v_hird[entry];
      EXPECT_EQ(advert[TForm1::kHirdTitle], QString::fromUtf8(kBuiltInAdverts[entry].title));
      EXPECT_EQ(advert[TForm1::kHirdDescription],
                QString::fromUtf8(kBuiltInAdverts[entry].description));
      EXPECT_EQ(advert[TForm1::kHirdLink], QString::fromUtf8(kBuiltInAdverts[entry].link));
      EXPECT_FALSE(advert[TForm1::kHirdTitle].isEmpty());
      EXPECT_TRUE(advert[TForm1::kHirdLink].startsWith("https://"));
    }
    EXPECT_TRUE(TimeOfDayFromText(form->SavedPopupTime()).isValid()) << form->SavedPopupTime().toStdString();
    EXPECT_EQ(form->Edit1->text(), QString());
    EXPECT_EQ(form->Label12->text(), QStringLiteral("0"));
    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
  }

  apptest::TScratchDirectory scratch;
  apptest::TCurrentDirectory cwd{scratch.Path()};
  TScriptedMessageDialogs dialogs;
  TMainLoop mainLoop;
  TEmbeddedResources embedded;
  std::unique_ptr<TRecordingForm1> form;
};

TEST_F(Form1Test, StartWritesTheResourceUnchangedIntoTheCurrentDirectory) {
  Create(embedded);
  form->PageControl1->setCurrentIndex(2);
  EXPECT_FALSE(form->v_conn);
  apptest::ShowWithTheFirstAdvert(*form);

  EXPECT_TRUE(dialogs.Messages().isEmpty()) << dialogs.Messages().join("; ").toStdString();
  EXPECT_FALSE(mainLoop.EndRequested());
  EXPECT_EQ(form->v_prdir, scratch.QPath());
  EXPECT_EQ(form->DatabaseFileName(), scratch.QPath() + "/L_Data.vdbd");
  const QByteArray resource = EmbeddedResource1();
  ASSERT_FALSE(resource.isEmpty());
  EXPECT_EQ(resource, apptest::ResourceFileOnDisk());
  EXPECT_EQ(ReadFileBytes(DatabaseFile()), resource);
  EXPECT_TRUE(form->LexiconOpen());
  EXPECT_FALSE(form->v_conn);
  ExpectLaterShowStepsRan();

  // The written file is a sound container for the engine.
  form.reset();
  QProcess check;
  check.start(QStringLiteral(VDB_TOOL_PATH),
              {QStringLiteral("container"), QStringLiteral("check"),
               QString::fromStdString(DatabaseFile().string())});
  ASSERT_TRUE(check.waitForFinished(60000));
  EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardError().toStdString()
                                 << check.readAllStandardOutput().toStdString();
}

TEST_F(Form1Test, StartOverwritesAnOlderDatabaseFile) {
  // Longer than the resource, so that a write without truncation would leave a tail behind.
  apptest::WriteFileBytes(DatabaseFile(), QByteArray(EmbeddedResource1().size() + 4096, 'x'));
  Start();
  EXPECT_TRUE(dialogs.Messages().isEmpty());
  EXPECT_EQ(ReadFileBytes(DatabaseFile()), EmbeddedResource1());
}

TEST_F(Form1Test, CloseAnsweredNoKeepsEverythingOpen) {
  Start();
  dialogs.AddAnswer(false);
  EXPECT_FALSE(form->close());

  EXPECT_THAT(dialogs.Questions(), ElementsAre(kEndQuestion));
  EXPECT_THAT(dialogs.QuestionCaptions(), ElementsAre(QStringLiteral("Figyelem:")));
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->StatusPanelText(0), kEndStatus);
  EXPECT_EQ(ReadFileBytes(DatabaseFile()), EmbeddedResource1());
  EXPECT_TRUE(form->LexiconOpen());
  EXPECT_FALSE(mainLoop.EndRequested());
  EXPECT_THAT(form->calls, ElementsAre("OpenLexicon", "RefreshAdServerLink", "ShowBannerAdvert"));
}

TEST_F(Form1Test, CloseAnsweredYesClosesDownAndLeavesNoFile) {
  Start();
  dialogs.AddAnswer(true);
  EXPECT_TRUE(form->close());

  EXPECT_THAT(dialogs.Questions(), ElementsAre(kEndQuestion));
  EXPECT_EQ(form->StatusPanelText(0), QString());
  EXPECT_THAT(form->calls, ElementsAre("OpenLexicon", "RefreshAdServerLink", "ShowBannerAdvert",
                                       "CloseAdServerLink", "CloseLexicon"));
  EXPECT_TRUE(form->fileExistedWhenLexiconClosed);
  EXPECT_FALSE(form->LexiconOpen());
  EXPECT_TRUE(DirectoryIsEmpty());
  EXPECT_TRUE(mainLoop.EndRequested());
  EXPECT_TRUE(dialogs.Messages().isEmpty());
}

TEST_F(Form1Test, MenuExitAnsweredYesEndsTheApplicationWithoutAskingAgain) {
  Start();
  dialogs.AddAnswer(true);
  form->Kilps1->trigger();

  EXPECT_THAT(dialogs.Questions(), ElementsAre(kEndQuestion));
  EXPECT_THAT(dialogs.QuestionCaptions(), ElementsAre(QStringLiteral("Figyelem:")));
  EXPECT_EQ(form->StatusPanelText(0), QString());
  EXPECT_THAT(form->calls, ElementsAre("OpenLexicon", "RefreshAdServerLink", "ShowBannerAdvert",
                                       "CloseAdServerLink", "CloseLexicon"));
  EXPECT_TRUE(form->fileExistedWhenLexiconClosed);
  EXPECT_TRUE(DirectoryIsEmpty());
  ASSERT_TRUE(mainLoop.EndRequested());
  EXPECT_EQ(mainLoop.Run(), 0);  // returns at once
  form.reset();                  // the window goes with the application, without its question
  EXPECT_EQ(dialogs.Questions().size(), 1);
}

TEST_F(Form1Test, MenuExitAnsweredNoKeepsTheProgramRunning) {
  Start();
  dialogs.AddAnswer(false);
  form->Kilps1->trigger();

  EXPECT_THAT(dialogs.Questions(), ElementsAre(kEndQuestion));
  EXPECT_EQ(form->StatusPanelText(0), QString());
  EXPECT_FALSE(mainLoop.EndRequested());
  EXPECT_TRUE(form->LexiconOpen());
  EXPECT_EQ(ReadFileBytes(DatabaseFile()), EmbeddedResource1());
  EXPECT_TRUE(form->isVisible());
}

TEST_F(Form1Test, UnwritableDatabaseFileShowsError2AndTheShowHandlerCarriesOn) {
  fs::create_directory(DatabaseFile());
  Create(embedded);
  form->PageControl1->setCurrentIndex(2);
  apptest::ShowWithTheFirstAdvert(*form);

  EXPECT_THAT(dialogs.Messages(), ElementsAre(kWriteError, kNoDatabaseFile, kQueryFailedForMissingData));
  EXPECT_TRUE(mainLoop.EndRequested());
  EXPECT_TRUE(fs::is_directory(DatabaseFile()));
  EXPECT_FALSE(form->VdbQuery1.Active());
  ExpectLaterShowStepsRan();
}

TEST_F(Form1Test, MissingResourceShowsError1ThenError2) {
  const TNoResources none;
  Start(none);

  EXPECT_THAT(dialogs.Messages(),
              ElementsAre(kResourceError, kWriteError, kNoDatabaseFile, kQueryFailedForMissingData));
  EXPECT_TRUE(mainLoop.EndRequested());
  EXPECT_TRUE(DirectoryIsEmpty());
  ExpectLaterShowStepsRan();
}

// Lets the process write files only up to Limit bytes ("disk full" for a write past it).
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t limit) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit reduced = previous_;
    reduced.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &reduced);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

TEST_F(Form1Test, DiskFullShowsError2AndLeavesNoTruncatedDatabase) {
  ASSERT_GT(EmbeddedResource1().size(), 1);
  {
    const TFileSizeLimit diskFull(static_cast<rlim_t>(EmbeddedResource1().size() / 2));
    Start();
  }
  EXPECT_THAT(dialogs.Messages(), ElementsAre(kWriteError, kNoDatabaseFile, kQueryFailedForMissingData));
  EXPECT_TRUE(mainLoop.EndRequested());
  EXPECT_FALSE(fs::exists(DatabaseFile()));
  ExpectLaterShowStepsRan();
}

TEST_F(Form1Test, ErrorWhileClosingDownIsReportedAndKeepsTheFile) {
  struct Way {
    const char* name;
    bool viaMenu;
  };
  for (const Way way : {Way{"close box", false}, Way{"menu exit", true}}) {
    SCOPED_TRACE(way.name);
    TScriptedMessageDialogs wayDialogs;
    TMainLoop wayLoop;
    TRecordingForm1 window(wayDialogs, wayLoop, embedded);
    window.show();
    window.closeLinkError = "Az adatkapcsolat nem zárható le";
    wayDialogs.AddAnswer(true);
    if (way.viaMenu)
      window.Kilps1->trigger();
    else
      EXPECT_FALSE(window.close());

    EXPECT_THAT(wayDialogs.Messages(), ElementsAre(QStringLiteral("Az adatkapcsolat nem zárható le")));
    EXPECT_EQ(window.calls.back(), "CloseAdServerLink");  // the lexicon stays open
    EXPECT_TRUE(window.LexiconOpen());
    EXPECT_EQ(ReadFileBytes(DatabaseFile()), EmbeddedResource1());
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(wayLoop.EndRequested());
  }
}

// A probe host that never answers: the show handler is done, with a built-in advert in the box,
// before the first probe has had an answer; the link refresh and the first banner follow once
// the window's event loop turns.
TEST_F(Form1Test, TheShowHandlerReturnsBeforeTheProbeHasAnswered) {
  const apptest::TSilentHost silent;
  TScriptedMessageDialogs showDialogs;
  TMainLoop showLoop;
  TForm1 window(showDialogs, showLoop, embedded);
  window.Adverts().Configure({silent.Target(), std::nullopt});
  int probesAtShown = -1;
  bool builtInAdvertAtShown = false;
  QObject::connect(&window, &TForm1::Shown, [&] {
    probesAtShown = window.Adverts().LastRefreshProbes();
    for (const auto& advert : window.v_hird)
      builtInAdvertAtShown |= window.Label13->text() == advert[TForm1::kHirdTitle] &&
                              !advert[TForm1::kHirdTitle].isEmpty();
  });
  bool startedDuringShow = false;
  QObject::connect(&window, &TForm1::AdvertsStarted, [&] { startedDuringShow = probesAtShown < 0; });

  apptest::ShowWithTheFirstAdvert(window);

  EXPECT_EQ(probesAtShown, 0);
  EXPECT_TRUE(builtInAdvertAtShown) << window.Label13->text().toStdString();
  EXPECT_FALSE(startedDuringShow);
  // Then the refresh ran as before: three probes without an answer, the link down, a built-in
  // advert, and no message.
  EXPECT_EQ(window.Adverts().LastRefreshProbes(), 3);
  EXPECT_FALSE(window.v_conn);
  EXPECT_FALSE(window.Label13->text().isEmpty());
  EXPECT_TRUE(showDialogs.Messages().isEmpty());
  showDialogs.AddAnswer(true);
  window.close();
}

}  // namespace
