// The layout of the three windows: captions, sizes, hints and settings.
#include <QAction>
#include <QApplication>
#include <QScreen>
#include <QStatusTipEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include "MainLoop.h"
#include "MessageDialogs.h"
#include "Resources.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unit3.h"

namespace {

struct PropertyCase {
  const char* control;  // object name
  const char* property;
  QVariant expected;
};

void ExpectProperties(const QWidget& window, const std::vector<PropertyCase>& cases) {
  for (const PropertyCase& c : cases) {
    SCOPED_TRACE(std::string(c.control) + "." + c.property);
    const QObject* control = window.objectName() == c.control
                                 ? &window
                                 : window.findChild<QObject*>(QString::fromUtf8(c.control));
    ASSERT_NE(control, nullptr);
    const QVariant actual = control->property(c.property);
    EXPECT_EQ(actual, c.expected) << actual.toString().toStdString();
  }
}

class LayoutTest : public ::testing::Test {
 protected:
  TScriptedMessageDialogs dialogs;
  TMainLoop mainLoop;
  TEmbeddedResources resources;
  TForm1 form1{dialogs, mainLoop, resources};  // not shown: the design-time state
  TForm2 form2;
  TForm3 form3;
};

TEST_F(LayoutTest, ControlsHaveTheirCaptionsSizesAndHints) {
  ExpectProperties(form1, {
      {"Form1", "windowTitle", QStringLiteral(" Lombkalauz:")},
      {"GroupBox1", "title", QStringLiteral(" Hirdetés ")},
      {"GroupBox1", "geometry", QRect(8, 8, 674, 97)},
      {"Label14", "wordWrap", true},
      {"PageControl1", "geometry", QRect(8, 120, 681, 514)},
      {"DBGrid1", "statusTip", QStringLiteral("Dupla klikk: aktuális tétel megtekintése.")},
      {"DBGrid1", "toolTip", QStringLiteral("Dupla klikk: megtekintés.")},
      {"DBMemo1", "readOnly", true},
      {"DBMemo1", "verticalScrollBarPolicy", QVariant::fromValue(Qt::ScrollBarAlwaysOn)},
      {"Label10", "text", QStringLiteral("Keresendő kifejezés:")},
      {"Edit1", "text", QStringLiteral("Edit1")},
      {"BitBtn1", "text", QStringLiteral("Keresés indítása")},
      {"Label11", "text", QStringLiteral("Keresés eredménye /találat/:")},
      {"Label12", "text", QStringLiteral("0")},
      {"BitBtn2", "text", QStringLiteral("Korábbi keresés törlése /alaphelyzet/")},
      {"Label1", "text", QStringLiteral("Lombkalauz")},
      {"Label9", "text", QStringLiteral("Android alkalmazások - Google Play ")},
      {"Lehetsgek1", "title", QStringLiteral("Lehetőségek")},
      {"Lexikon1", "text", QStringLiteral("Lexikon")},
      {"Lexikon1", "statusTip", QStringLiteral("Adatok megtekintése !")},
      {"Keress1", "text", QStringLiteral("Keresés")},
      {"Keress1", "statusTip", QStringLiteral("Adatok keresése !")},
      {"Bemutatkozs1", "text", QStringLiteral("Bemutatkozás")},
      {"Bemutatkozs1", "statusTip", QStringLiteral("Névjegy !")},
      {"Kilps1", "text", QStringLiteral("Kilépés")},
      {"Kilps1", "statusTip", QStringLiteral("Program hasznáéatának befejezése !")},
      {"StatusPanel0", "width", 500},
      {"StatusPanel1", "width", 200},
      {"StatusPanel1", "alignment", QVariant::fromValue(Qt::Alignment(Qt::AlignCenter))},
      {"Timer1", "interval", 1000},
      {"Timer1", "active", true},
      {"Timer2", "interval", 14000},
      {"Timer2", "active", true},
  });
  ExpectProperties(form2, {
      {"Form2", "windowTitle", QStringLiteral(" Találat:")},
      {"DBMemo1", "readOnly", true},
      {"DBMemo1", "verticalScrollBarPolicy", QVariant::fromValue(Qt::ScrollBarAlwaysOn)},
      {"nbFirst", "statusTip", QStringLiteral("Első rekord !")},
      {"nbFirst", "toolTip", QStringLiteral("Első rekord")},
      {"nbPrior", "statusTip", QStringLiteral("Előző rekord !")},
      {"nbNext", "statusTip", QStringLiteral("Következő rekord !")},
      {"nbLast", "statusTip", QStringLiteral("Utolsó rekord !")},
      {"nbRefresh", "statusTip", QStringLiteral("Frissítés !")},
  });
  ExpectProperties(form3, {
      {"Form3", "windowTitle", QStringLiteral("Hirdetés:")},
      {"Image1", "size", QSize(321, 441)},
      {"Image1", "scaledContents", true},
      {"BitBtn1", "text", QStringLiteral("Következő hirdetés")},
  });

  // The top menu's hint, its items in order with the separator before "Kilépés".
  EXPECT_EQ(form1.Lehetsgek1->menuAction()->statusTip(), QStringLiteral("Kérem válasszon !"));
  QStringList items;
  for (const QAction* action : form1.Lehetsgek1->actions())
    items << (action->isSeparator() ? QStringLiteral("-") : action->text());
  EXPECT_EQ(items, QStringList({"Lexikon", "Keresés", "Bemutatkozás", "-", "Kilépés"}));
  EXPECT_EQ(form1.menuBar()->actions(), QList<QAction*>({form1.Lehetsgek1->menuAction()}));

  // The pages in order, the grid's one column.
  ASSERT_EQ(form1.PageControl1->count(), 3);
  EXPECT_EQ(form1.PageControl1->tabText(0), QStringLiteral("Lexikon"));
  EXPECT_EQ(form1.PageControl1->tabText(1), QStringLiteral("Keresés"));
  EXPECT_EQ(form1.PageControl1->tabText(2), QStringLiteral("Bemutatkozás"));
  ASSERT_EQ(form1.DBGrid1->model()->columnCount(), 1);
  EXPECT_EQ(form1.DBGrid1->model()->headerData(0, Qt::Horizontal).toString(),
            QStringLiteral("Címszó"));
  EXPECT_TRUE(form1.DBGrid1->model()->headerData(0, Qt::Horizontal, Qt::FontRole)
                  .value<QFont>()
                  .bold());
  EXPECT_EQ(form1.DBGrid1->columnWidth(0), 320);
  EXPECT_EQ(form1.DBGrid1->editTriggers(), QAbstractItemView::NoEditTriggers);
}

TEST_F(LayoutTest, MainWindowIsFixedCentredAndUsesTheWindowFont) {
  // Client area 702 x 663 below the menu bar, status bar included; no resizing, no maximise box.
  form1.layout()->activate();
  EXPECT_EQ(form1.centralWidget()->width(), 702);
  EXPECT_EQ(form1.height() - form1.menuBar()->sizeHint().height(), 663);
  EXPECT_EQ(form1.minimumSize(), form1.maximumSize());
  const Qt::WindowFlags flags = form1.windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_FALSE(form1.statusBar()->isSizeGripEnabled());

  const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
  EXPECT_LE((form1.geometry().center() - screenCentre).manhattanLength(), 2);

  EXPECT_EQ(form1.font().families().value(0), QStringLiteral("Tahoma"));
  EXPECT_GE(form1.font().families().size(), 2);  // a fallback where Tahoma is missing
  EXPECT_EQ(form1.font().pixelSize(), 11);
  EXPECT_EQ(form1.GroupBox1->palette().color(QPalette::Window), QColor(255, 251, 240));
  EXPECT_EQ(form1.GroupBox1->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_TRUE(form1.Label17->font().underline());
}

TEST_F(LayoutTest, HintsShowInTheFirstStatusPanel) {
  form1.Kilps1->showStatusText(form1.menuBar());
  EXPECT_EQ(form1.StatusPanelText(0), QStringLiteral("Program hasznáéatának befejezése !"));
  form1.DBGrid1->setFocus();
  QStatusTipEvent tip(form1.DBGrid1->statusTip());
  QCoreApplication::sendEvent(form1.DBGrid1, &tip);
  EXPECT_EQ(form1.StatusPanelText(0), QStringLiteral("Dupla klikk: aktuális tétel megtekintése."));
  EXPECT_EQ(form1.StatusPanelText(1), QString());
}

}  // namespace
