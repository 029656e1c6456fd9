// The lexicon in the window, on the real database: browse, search, reset, the detail window
// and the close-down.
#include <QCoreApplication>
#include <QDateTime>
#include <QLabel>
#include <QLocale>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextCursor>
#include <QTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "AppTestSupport.h"
#include "BuiltInTexts.h"
#include "DBControls.h"
#include "LexiconCsv.h"
#include "MainLoop.h"
#include "MessageDialogs.h"
#include "Resources.h"
#include "Unit1.h"
#include "Unit2.h"
#include "table/kxStrUtils.h"

namespace fs = std::filesystem;

namespace {

// Hits of "%Text%" on headword or description, compared as the column's collation compares.
int BruteForceHits(const QString& text) {
  static const auto entries =
      lexicon::ReadLexiconCsv(std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv");
  std::uint32_t locale = 0;
  vdb::TStrCmpOptions options = 0;
  vdb::ParseCollationName("Hungarian_ci_as", locale, options);
  const std::u16string pattern = (QStringLiteral("%") + text + QStringLiteral("%")).toStdU16String();
  auto matches = [&](const std::string& value) {
    const std::u16string wide = QString::fromStdString(value).toStdU16String();
    return vdb::MatchesPattern(wide.data(), static_cast<int32_t>(wide.size()), pattern.data(),
                               static_cast<int32_t>(pattern.size()), -1, u'%', u'_', options, locale);
  };
  // No entry is that long, so a pattern of that many letters matches none (and comparing it
  // with every entry here would only repeat the engine's slow work).
  qsizetype longest = 0;
  for (const auto& entry : entries)
    longest = std::max({longest, QString::fromStdString(entry.description).size(),
                        QString::fromStdString(entry.headword).size()});
  if (!text.contains(QChar('%')) && !text.contains(QChar('_')) && text.size() > longest) return 0;
  int hits = 0;
  for (const auto& entry : entries) hits += matches(entry.headword) || matches(entry.description) ? 1 : 0;
  return hits;
}

class LexiconWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<TForm1>(dialogs, mainLoop, resources);
    form->AttachWindows(&detail, nullptr);
    apptest::ShowWithTheFirstAdvert(*form);
  }
  void TearDown() override { form.reset(); }

  apptest::TScratchDirectory scratch;
  apptest::TCurrentDirectory current{scratch.Path()};
  TScriptedMessageDialogs dialogs;
  TMainLoop mainLoop;
  TEmbeddedResources resources;
  TForm2 detail;
  std::unique_ptr<TForm1> form;
};

TEST_F(LexiconWindowTest, StartShowsEveryEntryWithTheFirstDescriptionAndZeroHits) {
  EXPECT_TRUE(dialogs.Messages().isEmpty()) << dialogs.Messages().join("|").toStdString();
  EXPECT_EQ(form->DBGrid1->model()->rowCount(), BruteForceHits(QString()));
  EXPECT_EQ(form->Label12->text(), QStringLiteral("0"));
  EXPECT_EQ(form->DBGrid1->currentIndex().row(), 0);
  EXPECT_FALSE(form->DBMemo1->toPlainText().isEmpty());
  EXPECT_EQ(form->DBGrid1->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Címszó"));
}

TEST_F(LexiconWindowTest, SearchCountsEqualTheCollationsOwnCount) {
  const QString searches[] = {QStringLiteral("róka"), QStringLiteral("RÓKA"), QStringLiteral("roka"),
                              QStringLiteral("tölés"), QStringLiteral("O'x"), QStringLiteral("%"),
                              QStringLiteral("_"), QStringLiteral("qqqzzzx"), QString(10000, QChar('a')),
                              QStringLiteral("\\"), QStringLiteral("中文")};
  for (const QString& text : searches) {
    form->PageControl1->setCurrentIndex(1);
    form->Edit1->setText(text);
    form->BitBtn1->click();
    const int expected = BruteForceHits(text);
    EXPECT_EQ(form->Label12->text(), QString::number(expected)) << text.left(20).toStdString();
    EXPECT_EQ(form->DBGrid1->model()->rowCount(), expected);
    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
  }
  EXPECT_TRUE(dialogs.Messages().isEmpty()) << dialogs.Messages().join("|").toStdString();
  EXPECT_EQ(BruteForceHits(QStringLiteral("róka")), BruteForceHits(QStringLiteral("RÓKA")));
  form->BitBtn2->click();
  EXPECT_EQ(form->Edit1->text(), QString());
  EXPECT_EQ(form->Label12->text(), QString::number(BruteForceHits(QString())));
}

TEST_F(LexiconWindowTest, DetailNavigatorMovesTheGridAndCloseLeavesAnEmptyDirectory) {
  detail.Bind(form->DataSource1);
  EXPECT_EQ(detail.DBText1->text(), form->DBGrid1->model()->index(0, 0).data().toString());
  detail.NavNext->click();
  detail.NavNext->click();
  EXPECT_EQ(form->DBGrid1->currentIndex().row(), 2);
  EXPECT_EQ(detail.DBText1->text(), form->DBGrid1->model()->index(2, 0).data().toString());
  EXPECT_EQ(detail.DBMemo1->toPlainText(), form->DBMemo1->toPlainText());
  detail.NavLast->click();
  EXPECT_EQ(form->DBGrid1->currentIndex().row(), form->DBGrid1->model()->rowCount() - 1);
  detail.NavFirst->click();
  EXPECT_EQ(form->DBGrid1->currentIndex().row(), 0);
  form->DBGrid1->setCurrentIndex(form->DBGrid1->model()->index(5, 0));
  EXPECT_EQ(detail.DBText1->text(), form->DBGrid1->model()->index(5, 0).data().toString());

  dialogs.AddAnswer(true);
  form->close();
  EXPECT_TRUE(fs::is_empty(scratch.Path()));
}

}  // namespace

namespace {

TEST_F(LexiconWindowTest, MenuPagesClockAndAboutLinks) {
  const std::pair<QAction*, int> pages[] = {{form->Keress1, 1}, {form->Bemutatkozs1, 2}, {form->Lexikon1, 0}};
  for (const auto& [item, page] : pages) {
    item->trigger();
    EXPECT_EQ(form->PageControl1->currentIndex(), page);
  }
  form->Timer1Timer();
  const QDateTime shown = QLocale().toDateTime(form->StatusPanelText(1), QLocale::ShortFormat);
  ASSERT_TRUE(shown.isValid()) << form->StatusPanelText(1).toStdString();
  EXPECT_LE(std::abs(shown.secsTo(QDateTime::currentDateTime())), 120);

  QStringList opened;
  form->ShellOpen = [&](const QString& target) { opened << target; };
  for (QLabel* label : {form->Label5, form->Label6, form->Label7, form->Label8, form->Label9}) {
    QMouseEvent press(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(label, &press);
  }
  ASSERT_EQ(opened.size(), 5);
  EXPECT_EQ(opened[0], QStringLiteral("mailto:") + QString::fromUtf8(kAboutTexts.email));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(opened[i + 1], QString::fromUtf8(kAboutTexts.web[i].target));
}

}  // namespace

namespace {

QString CurrentHeadword(TForm1& form) {
  return form.DBGrid1->model()->index(form.DBGrid1->currentIndex().row(), 0).data().toString();
}

TEST_F(LexiconWindowTest, EnterSearchesAndTheHitsAreMarkedInTheDescription) {
  form->Edit1->setText(QStringLiteral("róka"));
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QCoreApplication::sendEvent(form->Edit1, &enter);
  EXPECT_EQ(form->Label12->text(), QString::number(BruteForceHits(QStringLiteral("róka"))));
  const QString memo = form->DBMemo1->toPlainText();
  int marked = 0;
  for (const auto& selection : form->DBMemo1->extraSelections())
    if (selection.cursor.selectedText().compare(QStringLiteral("róka"), Qt::CaseInsensitive) == 0) ++marked;
  EXPECT_EQ(marked, memo.count(QStringLiteral("róka"), Qt::CaseInsensitive));
  form->BitBtn2->click();
  EXPECT_TRUE(form->SearchTerm().isEmpty());
}

TEST_F(LexiconWindowTest, TypingInTheGridJumpsToTheFirstHeadwordWithThosePrefixLetters) {
  const std::pair<QString, QString> cases[] = {{QStringLiteral("ró"), QStringLiteral("ró")},
                                               {QStringLiteral("Cs"), QStringLiteral("cs")},
                                               {QStringLiteral("ö"), QStringLiteral("ö")}};
  for (const auto& [typed, prefix] : cases) {
    form->DBGrid1->keyboardSearch(QString());  // nothing typed: nothing happens
    static_cast<TDBGridView*>(form->DBGrid1)->OnTypeAhead(typed);
    const QString headword = CurrentHeadword(*form);
    EXPECT_TRUE(headword.startsWith(prefix, Qt::CaseInsensitive)) << headword.toStdString();
    const int row = form->DBGrid1->currentIndex().row();
    if (row > 0) {
      const QString before = form->DBGrid1->model()->index(row - 1, 0).data().toString();
      EXPECT_FALSE(before.startsWith(prefix, Qt::CaseInsensitive)) << before.toStdString();
    }
  }
}

TEST_F(LexiconWindowTest, ClickingACrossReferenceMovesToItsHeadword) {
  // The first entry whose description refers to another one.
  form->VdbQuery1.First();
  QString target;
  while (!form->VdbQuery1.Eof() && (target = CrossReferenceAt(form->DBMemo1, QPoint(-1, -1))).isEmpty()) {
    const QString text = form->DBMemo1->toPlainText();
    const qsizetype at = text.indexOf(QStringLiteral("lásd: "));
    if (at >= 0) {
      QTextCursor cursor(form->DBMemo1->document());
      cursor.setPosition(static_cast<int>(at + 7));
      const QPoint point = form->DBMemo1->cursorRect(cursor).center();
      target = CrossReferenceAt(form->DBMemo1, point);
      if (!target.isEmpty()) {
        QMouseEvent click(QEvent::MouseButtonRelease, point, form->DBMemo1->viewport()->mapToGlobal(point),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(form->DBMemo1->viewport(), &click);
        break;
      }
    }
    form->VdbQuery1.Next();
  }
  ASSERT_FALSE(target.isEmpty()) << "the lexicon has cross-references";
  EXPECT_TRUE(CurrentHeadword(*form).startsWith(target, Qt::CaseInsensitive))
      << target.toStdString() << " -> " << CurrentHeadword(*form).toStdString();
}

}  // namespace

namespace {

TEST_F(LexiconWindowTest, DamagedDatabaseGivesTheEnginesMessageAndTheWindowStaysUsable) {
  const fs::path file = scratch.Path() / "L_Data.vdbd";
  // Another program writes nonsense over the database while the window shows it.
  {
    std::FILE* damaged = std::fopen(file.c_str(), "r+b");
    ASSERT_NE(damaged, nullptr);
    const std::string junk(1 << 20, '\x5a');
    std::fwrite(junk.data(), 1, junk.size(), damaged);
    std::fclose(damaged);
  }
  form->Edit1->setText(QStringLiteral("róka"));
  form->BitBtn1->click();
  form->BitBtn2->click();
  // Every failure went to a message box with the engine's message, not to a crash.
  ASSERT_FALSE(dialogs.Messages().isEmpty());
  for (const QString& message : dialogs.Messages())
    EXPECT_TRUE(message.startsWith(QStringLiteral("Opening VeskorDB query: "))) << message.toStdString();
  form->Keress1->trigger();
  EXPECT_EQ(form->PageControl1->currentIndex(), 1);
  form->Edit1->setText(QStringLiteral("x"));
  form->BitBtn1->click();
  EXPECT_FALSE(form->VdbQuery1.Active()) << "a failed open leaves the query closed";
  form->Lexikon1->trigger();
  EXPECT_EQ(form->PageControl1->currentIndex(), 0);
}

}  // namespace

namespace {

TEST_F(LexiconWindowTest, SecondInstanceInTheSameDirectoryOpensTheFirstOnesFileSilently) {
  QProcess second;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  environment.insert(QStringLiteral("LOMBKALAUZ_DIALOG_ANSWERS"), QString());
  second.setProcessEnvironment(environment);
  second.setWorkingDirectory(scratch.QPath());
  second.start(QStringLiteral(LOMBKALAUZ_PATH), {});
  ASSERT_TRUE(second.waitForFinished(60000));
  const QString output = QString::fromUtf8(second.readAllStandardError());
  // It cannot write over the file the first one holds open, says so, opens the lexicon on the
  // first one's file without a word and ends when its show handler returns.
  QStringList messages;
  for (const QString& line : output.split('\n'))
    if (line.startsWith(QStringLiteral("lombkalauz: message: "))) messages << line.mid(21);
  EXPECT_EQ(messages, QStringList{QStringLiteral("Hiba történt - 2 !")}) << output.toStdString();
  EXPECT_TRUE(output.contains(QStringLiteral("lombkalauz: shown")));
  EXPECT_FALSE(output.contains(QStringLiteral("question")));
  EXPECT_EQ(second.exitCode(), 0);
  // The first window goes on over its file.
  form->Edit1->setText(QStringLiteral("róka"));
  form->BitBtn1->click();
  EXPECT_EQ(form->Label12->text(), QString::number(BruteForceHits(QStringLiteral("róka"))));
}

}  // namespace

namespace {

TEST_F(LexiconWindowTest, DoubleClickShowsTheDetailWindowModallyAndClosingKeepsTheLastRecordShown) {
  form->Edit1->setText(QStringLiteral("róka"));
  form->BitBtn1->click();
  QString shownHeadword;
  QString shownCaption;
  bool wasModal = false;
  // While the detail window waits modally: step twice, remember what it shows, close it.
  QTimer::singleShot(0, &detail, [&] {
    wasModal = detail.isVisible() && detail.isModal();
    shownCaption = detail.windowTitle();
    detail.NavNext->click();
    detail.NavNext->click();
    shownHeadword = detail.DBText1->text();
    detail.close();
  });
  const QModelIndex first = form->DBGrid1->model()->index(0, 0);
  emit form->DBGrid1->doubleClicked(first);
  EXPECT_TRUE(wasModal);
  EXPECT_EQ(shownCaption, QStringLiteral(" Találat:"));
  EXPECT_FALSE(detail.isVisible());
  EXPECT_EQ(form->DBGrid1->currentIndex().row(), 2);
  EXPECT_EQ(CurrentHeadword(*form), shownHeadword);
  EXPECT_EQ(detail.DBMemo1->toPlainText(), form->DBMemo1->toPlainText());
  int marked = 0;
  for (const auto& selection : detail.DBMemo1->extraSelections())
    marked += selection.cursor.selectedText().compare(QStringLiteral("róka"), Qt::CaseInsensitive) == 0;
  EXPECT_EQ(marked, detail.DBMemo1->toPlainText().count(QStringLiteral("róka"), Qt::CaseInsensitive));
}

TEST_F(LexiconWindowTest, DetailNavigatorDoesNothingOnAnEmptyResult) {
  form->Edit1->setText(QStringLiteral("qqqzzzx"));
  form->BitBtn1->click();
  EXPECT_EQ(form->Label12->text(), QStringLiteral("0"));
  EXPECT_TRUE(form->DBMemo1->toPlainText().isEmpty());
  detail.Bind(form->DataSource1);
  for (QToolButton* button : {detail.NavFirst, detail.NavPrior, detail.NavNext, detail.NavLast, detail.NavRefresh})
    button->click();
  EXPECT_TRUE(detail.DBText1->text().isEmpty());
  EXPECT_TRUE(detail.DBMemo1->toPlainText().isEmpty());
  EXPECT_TRUE(dialogs.Messages().isEmpty());
}

}  // namespace
