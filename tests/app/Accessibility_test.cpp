// The windows as a screen reader and a reader without a mouse meet them, on the real lexicon:
// names, roles, descriptions and label relations through Qt's accessibility interface, empty
// advert labels left out, the announcements of the hit count and of the advert, the keyboard's
// paths (shortcuts, tab order, Enter in the grid, the arrows and Escape in the detail window,
// links opened by Enter), and the advert box's contrast on a dark desktop.
#include <QAbstractItemModel>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "Accessibility.h"
#include "AdBanner.h"
#include "AdTestServer.h"
#include "AppTestSupport.h"
#include "BuiltInTexts.h"
#include "MainLoop.h"
#include "MessageDialogs.h"
#include "Resources.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unit3.h"

using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

QAccessibleInterface* Reader(QObject* object) { return QAccessible::queryAccessibleInterface(object); }
QString NameOf(QObject* object) { return Reader(object)->text(QAccessible::Name); }
QString DescriptionOf(QObject* object) { return Reader(object)->text(QAccessible::Description); }

// The announcements the windows make while it lives.
class TAnnouncementLog {
 public:
  TAnnouncementLog() {
    connection_ = QObject::connect(&TAnnouncements::Instance(), &TAnnouncements::Announced,
                                   [this](QWidget* region, const QString& text) { heard_.emplace_back(region, text); });
  }
  ~TAnnouncementLog() { QObject::disconnect(connection_); }
  TAnnouncementLog(const TAnnouncementLog&) = delete;
  TAnnouncementLog& operator=(const TAnnouncementLog&) = delete;

  QStringList Heard(const QWidget* region) const {
    QStringList texts;
    for (const auto& [source, text] : heard_)
      if (source == region) texts.push_back(text);
    return texts;
  }

 private:
  QMetaObject::Connection connection_;
  std::vector<std::pair<const QWidget*, QString>> heard_;
};

// Every interface under Root, the cells of tables left out (a reader meets them as the table's
// content, row by row).
void Walk(QAccessibleInterface* root, const std::function<void(QAccessibleInterface*)>& visit) {
  visit(root);
  if (root->role() == QAccessible::Table) return;
  for (int index = 0; index < root->childCount(); ++index)
    if (QAccessibleInterface* child = root->child(index)) Walk(child, visit);
}

class AccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form->Timer2->stop();  // the test makes the ticks
    form->AttachWindows(&detail, &popup);
    form->ShellOpen = [this](const QString& target) { opened.push_back(target); };
    apptest::ShowWithTheFirstAdvert(*form);
    Activate(form.get());
  }
  void TearDown() override {
    dialogs.AddAnswer(true);
    form->close();
  }

  static void Activate(QWidget* window) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  }
  // The key as the desktop delivers it: to the control that has the focus.
  static void Press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = QApplication::focusWidget();
    if (!target) target = QApplication::activeWindow();
    ASSERT_NE(target, nullptr) << "no window has the focus";
    QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
  }
  QString Headword(int row) const {
    const QAbstractItemModel* model = form->DBGrid1->model();
    return model->data(model->index(row, 0)).toString();
  }
  int GridRows() const { return form->DBGrid1->model()->rowCount(); }

  apptest::TScratchDirectory scratch;
  apptest::TCurrentDirectory cwd{scratch.Path()};
  TScriptedMessageDialogs dialogs;
  TMainLoop mainLoop;
  TEmbeddedResources resources;
  TForm2 detail;
  TForm3 popup;
  std::unique_ptr<TForm1> form = std::make_unique<TForm1>(dialogs, mainLoop, resources);
  QStringList opened;
};

TEST_F(AccessibilityTest, EveryControlIsReadWithItsNameAndRole) {
  struct Case {
    QObject* control;
    QAccessible::Role role;
    QString name;
    bool nameIsPrefix = false;
  };
  const Case cases[] = {
      {form.get(), QAccessible::Window, QStringLiteral("Lombkalauz")},
      {form->GroupBox1, QAccessible::Grouping, QStringLiteral("Hirdetés")},
      {form->Label17, QAccessible::Link, form->Label17->text()},
      {form->DBGrid1, QAccessible::Table, QStringLiteral("Címszó")},
      {form->DBMemo1, QAccessible::EditableText, QStringLiteral("Leírás")},
      {form->Edit1, QAccessible::EditableText, QStringLiteral("Keresendő kifejezés")},
      {form->BitBtn1, QAccessible::Button, QStringLiteral("Keresés indítása")},
      {form->BitBtn2, QAccessible::Button, QStringLiteral("Korábbi keresés törlése /alaphelyzet/")},
      {form->Label12, QAccessible::StaticText, QStringLiteral("Keresés eredménye /találat/: 0")},
      {form->TabSheet2->findChild<QWidget*>(QStringLiteral("Panel1")), QAccessible::Separator, QString()},
      {form->TabSheet2->findChild<QWidget*>(QStringLiteral("Panel2")), QAccessible::Separator, QString()},
      {form->TabSheet3, QAccessible::Client, QStringLiteral("Bemutatkozás")},
      {form->Label5, QAccessible::Link, QString::fromUtf8(kAboutTexts.email).trimmed()},
      {form->Label9, QAccessible::Link, QString::fromUtf8(kAboutTexts.web[3].caption).trimmed()},
      {form->Label10, QAccessible::StaticText, QStringLiteral("Keresendő kifejezés")},
      {form->PageControl1, QAccessible::Client, QStringLiteral("Oldalak")},
      {form->StatusPanel0, QAccessible::StaticText, QStringLiteral("Tájékoztatás")},
      {form->StatusPanel1, QAccessible::StaticText, QStringLiteral("Dátum és idő"), true},
      {&detail, QAccessible::Window, QStringLiteral("Találat")},
      {detail.DBText1, QAccessible::StaticText, QStringLiteral("Címszó")},
      {detail.DBMemo1, QAccessible::EditableText, QStringLiteral("Leírás")},
      {detail.NavFirst, QAccessible::Button, QStringLiteral("Első rekord")},
      {detail.NavPrior, QAccessible::Button, QStringLiteral("Előző rekord")},
      {detail.NavNext, QAccessible::Button, QStringLiteral("Következő rekord")},
      {detail.NavLast, QAccessible::Button, QStringLiteral("Utolsó rekord")},
      {detail.NavRefresh, QAccessible::Button, QStringLiteral("Frissítés")},
      {&popup, QAccessible::Window, QStringLiteral("Hirdetés")},
      {popup.BitBtn1, QAccessible::Button, QStringLiteral("Következő hirdetés")},
  };
  for (const Case& c : cases) {
    ASSERT_NE(c.control, nullptr);
    SCOPED_TRACE(c.control->objectName().toStdString());
    QAccessibleInterface* control = Reader(c.control);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->role(), c.role);
    const QString name = control->text(QAccessible::Name);
    if (c.nameIsPrefix)
      EXPECT_TRUE(name.startsWith(c.name)) << name.toStdString();
    else
      EXPECT_EQ(name, c.name);
  }
  // The hints are the descriptions; the visible captions stay as they were.
  EXPECT_THAT(DescriptionOf(form->DBGrid1).toStdString(), HasSubstr("Dupla klikk: aktuális tétel megtekintése."));
  EXPECT_EQ(DescriptionOf(detail.NavNext), QStringLiteral("Következő rekord !"));
  EXPECT_EQ(form->windowTitle(), QStringLiteral(" Lombkalauz:"));
  EXPECT_EQ(form->GroupBox1->title(), QStringLiteral(" Hirdetés "));
  EXPECT_EQ(form->Label10->text(), QStringLiteral("Keresendő kifejezés:"));
  EXPECT_EQ(detail.NavFirst->text(), QStringLiteral("|◀"));
}

TEST_F(AccessibilityTest, EveryControlAndLabelAReaderMeetsHasANameWithoutStrayBlanks) {
  const QSet<QAccessible::Role> named = {QAccessible::StaticText, QAccessible::Link,
                                        QAccessible::Button,     QAccessible::EditableText,
                                        QAccessible::Graphic,    QAccessible::Grouping,
                                        QAccessible::PageTab,    QAccessible::Window,
                                        QAccessible::Table,      QAccessible::MenuItem};
  popup.ShowAdvert(QStringLiteral("https://hirdeto.example.org/"), apptest::JpegPicture(321, 441, Qt::red));
  int met = 0;
  for (QWidget* window : std::initializer_list<QWidget*>{form.get(), &detail, &popup}) {
    Walk(Reader(window), [&](QAccessibleInterface* seen) {
      const QString what = seen->object() ? seen->object()->objectName() : QString();
      SCOPED_TRACE(what.toStdString() + " role " + std::to_string(seen->role()));
      const QString name = seen->text(QAccessible::Name);
      if (seen->state().focusable || named.contains(seen->role())) {
        ++met;
        EXPECT_FALSE(name.isEmpty());
        EXPECT_EQ(name, name.trimmed());
        EXPECT_FALSE(name.endsWith(QChar(':')));
      }
      // A label is never read with its box's title in place of its own text.
      if (seen->role() == QAccessible::StaticText) {
        EXPECT_NE(name, QStringLiteral("Hirdetés"));
      }
      if (const auto* frame = qobject_cast<const QFrame*>(seen->object());
          frame && frame->frameShape() == QFrame::HLine) {
        EXPECT_EQ(seen->role(), QAccessible::Separator);
      }
    });
  }
  EXPECT_GT(met, 30);
}

TEST_F(AccessibilityTest, TheSearchFieldAndTheHitCountAreTiedToTheirCaptions) {
  const auto labelsOf = [](QObject* control) {
    QList<QObject*> labels;
    for (const auto& [label, relation] : Reader(control)->relations(QAccessible::Label))
      labels.push_back(label->object());
    return labels;
  };
  EXPECT_THAT(labelsOf(form->Edit1), Contains(form->Label10));
  EXPECT_THAT(labelsOf(form->Label12), Contains(form->Label11));
  QList<QObject*> labelled;
  for (const auto& [control, relation] : Reader(form->Label10)->relations(QAccessible::Labelled))
    labelled.push_back(control->object());
  EXPECT_THAT(labelled, Contains(form->Edit1));
}

TEST_F(AccessibilityTest, EmptyAdvertLabelsAreLeftOutOfTheTree) {
  const auto childNames = [](QWidget* container) {
    QStringList names;
    QAccessibleInterface* box = Reader(container);
    for (int index = 0; index < box->childCount(); ++index) {
      QAccessibleInterface* child = box->child(index);
      EXPECT_EQ(box->indexOfChild(child), index);
      EXPECT_EQ(child->parent()->object(), container);
      names.push_back(child->text(QAccessible::Name));
    }
    return names;
  };
  form->Label13->setText(QStringLiteral("Őszi vadásznapok"));
  form->Label14->clear();
  form->Label17->clear();
  EXPECT_EQ(childNames(form->GroupBox1), QStringList{QStringLiteral("Őszi vadásznapok")});
  form->Label13->clear();
  EXPECT_TRUE(childNames(form->GroupBox1).isEmpty());
  form->Label17->setText(QStringLiteral("https://hirdeto.example.org/"));
  EXPECT_EQ(childNames(form->GroupBox1), QStringList{QStringLiteral("https://hirdeto.example.org/")});

  // The popup before its first advert: only the button; with the advert: its picture and link.
  EXPECT_EQ(childNames(&popup), QStringList{QStringLiteral("Következő hirdetés")});
  ASSERT_TRUE(popup.ShowAdvert(QStringLiteral("https://hirdeto.example.org/"),
                               apptest::JpegPicture(321, 441, Qt::blue)));
  EXPECT_EQ(childNames(&popup), (QStringList{QStringLiteral("A hirdetés képe"), QStringLiteral("https://hirdeto.example.org/"),
                                             QStringLiteral("Következő hirdetés")}));
}

TEST_F(AccessibilityTest, ASearchByKeyboardAnnouncesTheHitCountAndPutsTheFocusOnTheGrid) {
  TAnnouncementLog log;
  Press(Qt::Key_F, Qt::ControlModifier);
  ASSERT_EQ(form->PageControl1->currentIndex(), 1);
  ASSERT_EQ(QApplication::focusWidget(), form->Edit1);
  QTest::keyClicks(form->Edit1, QStringLiteral("vad"));
  Press(Qt::Key_Return);

  EXPECT_EQ(form->PageControl1->currentIndex(), 0);
  EXPECT_EQ(QApplication::focusWidget(), form->DBGrid1);
  const QString hits = form->Label12->text();
  ASSERT_GT(hits.toInt(), 0);
  EXPECT_EQ(GridRows(), hits.toInt());
  EXPECT_EQ(NameOf(form->Label12), QStringLiteral("Keresés eredménye /találat/: ") + hits);
  EXPECT_TRUE(DescriptionOf(form->DBGrid1).startsWith(QStringLiteral("Keresés eredménye /találat/: ") + hits + "."))
      << DescriptionOf(form->DBGrid1).toStdString();
  ASSERT_EQ(log.Heard(form->DBGrid1).size(), 1);
  EXPECT_EQ(log.Heard(form->DBGrid1).back(), DescriptionOf(form->DBGrid1));

  // A new search: Ctrl+F selects the old text, so that typing replaces it.
  Press(Qt::Key_F, Qt::ControlModifier);
  EXPECT_EQ(form->Edit1->selectedText(), QStringLiteral("vad"));
  QTest::keyClicks(form->Edit1, QStringLiteral("qqqzzzx"));
  Press(Qt::Key_Return);
  EXPECT_EQ(form->Label12->text(), QStringLiteral("0"));
  EXPECT_TRUE(DescriptionOf(form->DBGrid1).startsWith(QStringLiteral("Keresés eredménye /találat/: 0.")));
  EXPECT_EQ(log.Heard(form->DBGrid1).size(), 2);
  // The same search again finds the same: the focus on the grid reads its description anew,
  // and nothing else is said.
  Press(Qt::Key_F, Qt::ControlModifier);
  QTest::keyClicks(form->Edit1, QStringLiteral("qqqzzzx"));
  Press(Qt::Key_Return);
  EXPECT_EQ(QApplication::focusWidget(), form->DBGrid1);
  EXPECT_EQ(log.Heard(form->DBGrid1).size(), 2);
}

TEST_F(AccessibilityTest, ShortcutsShownInTheMenuSwitchThePagesAndMoveTheFocus) {
  struct Case {
    int key;
    int page;
    QWidget* focus;  // null: not checked
  };
  const Case cases[] = {{Qt::Key_3, 2, nullptr},
                        {Qt::Key_2, 1, form->Edit1},
                        {Qt::Key_1, 0, form->DBGrid1},
                        {Qt::Key_F, 1, form->Edit1},
                        {Qt::Key_2, 1, form->Edit1}};  // again: the page stays, the focus too
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    Press(c.key, Qt::ControlModifier);
    EXPECT_EQ(form->PageControl1->currentIndex(), c.page);
    if (c.focus) {
      EXPECT_EQ(QApplication::focusWidget(), c.focus);
    }
  }
  EXPECT_EQ(form->Lexikon1->shortcut().toString(), QStringLiteral("Ctrl+1"));
  EXPECT_EQ(form->Keress1->shortcut().toString(), QStringLiteral("Ctrl+2"));
  EXPECT_EQ(form->Bemutatkozs1->shortcut().toString(), QStringLiteral("Ctrl+3"));
  // Tab goes through the search page in reading order.
  ASSERT_EQ(QApplication::focusWidget(), form->Edit1);
  Press(Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form->BitBtn1);
  Press(Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form->BitBtn2);
}

TEST_F(AccessibilityTest, TheAboutPagesLinksAreReachedAndOpenedByTheKeyboard) {
  Press(Qt::Key_3, Qt::ControlModifier);
  form->Label5->setFocus();
  Press(Qt::Key_Return);
  Press(Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form->Label6);
  Press(Qt::Key_Space);
  // A reader's "press" opens a link too.
  QAccessibleInterface* link = Reader(form->Label7);
  ASSERT_NE(link->actionInterface(), nullptr);
  link->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_EQ(opened, (QStringList{QStringLiteral("mailto:") + QString::fromUtf8(kAboutTexts.email),
                                 QString::fromUtf8(kAboutTexts.web[0].target),
                                 QString::fromUtf8(kAboutTexts.web[1].target)}));
}

TEST_F(AccessibilityTest, AFocusedLinkShowsItsFocus) {
  Press(Qt::Key_3, Qt::ControlModifier);
  form->Label6->setFocus();
  ASSERT_FALSE(form->Label5->hasFocus());
  const QImage unfocused = form->Label5->grab().toImage();
  form->Label5->setFocus();
  ASSERT_TRUE(form->Label5->hasFocus());
  EXPECT_NE(form->Label5->grab().toImage(), unfocused);
}

TEST_F(AccessibilityTest, EnterInTheGridOpensTheDetailWindowArrowsStepAndEscapeClosesIt) {
  ASSERT_GT(GridRows(), 3);
  form->DBGrid1->setFocus();
  QStringList seen;
  bool inside = false;
  QTimer watcher;
  watcher.setInterval(20);
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (!detail.isVisible() || inside) return;
    inside = true;
    Activate(&detail);
    EXPECT_EQ(QApplication::focusWidget(), detail.DBMemo1);
    seen << detail.DBText1->text();
    Press(Qt::Key_Right);
    seen << detail.DBText1->text();
    Press(Qt::Key_Right);
    seen << detail.DBText1->text();
    Press(Qt::Key_Left);
    seen << detail.DBText1->text();
    Press(Qt::Key_End, Qt::ControlModifier);
    seen << detail.DBText1->text();
    Press(Qt::Key_Home, Qt::ControlModifier);
    seen << detail.DBText1->text();
    Press(Qt::Key_Escape);
  });
  watcher.start();
  Press(Qt::Key_Return);  // returns when the detail window is closed
  watcher.stop();

  ASSERT_TRUE(inside) << "Enter did not open the detail window";
  EXPECT_FALSE(detail.isVisible());
  EXPECT_EQ(seen, (QStringList{Headword(0), Headword(1), Headword(2), Headword(1),
                               Headword(GridRows() - 1), Headword(0)}));
  EXPECT_TRUE(dialogs.Messages().isEmpty()) << dialogs.Messages().join("|").toStdString();
}

TEST_F(AccessibilityTest, TheAdvertIsAnnouncedOnlyWhenItChanges) {
  TAnnouncementLog log;
  QString previous = DescriptionOf(form->GroupBox1);
  ASSERT_THAT(previous.toStdString(), HasSubstr(form->Label13->text().toStdString()));
  int changes = 0;
  for (int tick = 0; tick < 30; ++tick) {
    form->Timer2Timer();
    const QString now = DescriptionOf(form->GroupBox1);
    EXPECT_TRUE(now.startsWith(form->Label13->text() + QStringLiteral(" – ") + form->Label14->text()))
        << now.toStdString();
    changes += now != previous;
    previous = now;
  }
  EXPECT_GT(changes, 0);
  EXPECT_EQ(log.Heard(form->GroupBox1).size(), changes);
  EXPECT_TRUE(log.Heard(form->GroupBox1).isEmpty() || log.Heard(form->GroupBox1).back() == previous);

  // The same text again says nothing.
  AnnouncePolitely(form->GroupBox1, previous);
  EXPECT_EQ(log.Heard(form->GroupBox1).size(), changes);
}

TEST_F(AccessibilityTest, TheAdvertBoxKeepsItsContrastOnADarkDesktop) {
  // A dark desktop's colours, for the window and for its labels (desktops give labels their own).
  const QPalette light = QApplication::palette();
  const QPalette lightLabels = QApplication::palette("QLabel");
  QPalette dark = light;
  dark.setColor(QPalette::Window, QColor(32, 32, 32));
  dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
  dark.setColor(QPalette::Base, QColor(20, 20, 20));
  dark.setColor(QPalette::Text, QColor(230, 230, 230));
  QApplication::setPalette(dark);
  QApplication::setPalette(dark, "QLabel");
  // The rest of the window follows the desktop's colours...
  EXPECT_EQ(form->Label10->palette().color(QPalette::WindowText), QColor(230, 230, 230));
  // ...and the advert box keeps its cream ground with text that stays readable on it.
  const QColor ground = form->GroupBox1->palette().color(QPalette::Window);
  EXPECT_EQ(ground, QColor(255, 251, 240));
  for (QLabel* label : {form->Label13, form->Label14, form->Label17}) {
    SCOPED_TRACE(label->objectName().toStdString());
    EXPECT_GE(ContrastRatio(label->palette().color(QPalette::WindowText), ground), 4.5);
  }
  EXPECT_GE(ContrastRatio(form->GroupBox1->palette().color(QPalette::WindowText), ground), 4.5);
  QApplication::setPalette(lightLabels, "QLabel");
  QApplication::setPalette(light);
}

// A reader that asked for a control before it was marked (a reader running while the window is
// built) gets the marked control's interface from then on.
TEST(AccessibleInterfaces, MarkingAControlReplacesTheInterfaceAReaderAlreadyHas) {
  InstallAccessibleInterfaces();
  QWidget page;
  auto* count = new QLabel(QStringLiteral("12"), &page);
  auto* line = new QFrame(&page);
  line->setFrameShape(QFrame::HLine);
  EXPECT_EQ(NameOf(count), QStringLiteral("12"));
  EXPECT_NE(Reader(line)->role(), QAccessible::Separator);
  MarkAsCaptionedValue(count, QStringLiteral("Találatok"));
  MarkAsSeparator(line);
  EXPECT_EQ(NameOf(count), QStringLiteral("Találatok: 12"));
  EXPECT_EQ(Reader(line)->role(), QAccessible::Separator);
  count->clear();
  EXPECT_EQ(NameOf(count), QStringLiteral("Találatok"));
}

TEST(ContrastRatio, MeasuresAsTheReadabilityRulesDo) {
  struct Case {
    QColor first, second;
    double ratio;
  };
  const Case cases[] = {{Qt::black, Qt::white, 21.0},
                        {Qt::white, Qt::black, 21.0},
                        {Qt::white, Qt::white, 1.0},
                        {QColor(0, 0, 255), Qt::white, 8.59},
                        {QColor(119, 119, 119), Qt::white, 4.48}};
  for (const Case& c : cases) EXPECT_NEAR(ContrastRatio(c.first, c.second), c.ratio, 0.01);
}

TEST(SpokenCaption, DropsTheBlanksAndTheClosingColonOfACaption) {
  const std::pair<QString, QString> cases[] = {
      {QStringLiteral(" Lombkalauz:"), QStringLiteral("Lombkalauz")},
      {QStringLiteral(" Hirdetés "), QStringLiteral("Hirdetés")},
      {QStringLiteral("Keresés eredménye /találat/:"), QStringLiteral("Keresés eredménye /találat/")},
      {QStringLiteral("Kilépés"), QStringLiteral("Kilépés")},
      {QStringLiteral(" : "), QString()},
      {QString(), QString()}};
  for (const auto& [caption, spoken] : cases) EXPECT_EQ(SpokenCaption(caption), spoken) << caption.toStdString();
}

}  // namespace
