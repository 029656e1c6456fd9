#include "Unit1.h"

#include <QCloseEvent>
#include <QDir>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTableView>
#include <QDateTime>
#include <QLocale>
#include <QTime>
#include <QTimer>

#include <exception>

#include "Accessibility.h"
#include "AdBanner.h"
#include "BuiltInTexts.h"
#include "DBControls.h"
#include "Unit2.h"
#include "Controls.h"
#include "MainLoop.h"
#include "MessageDialogs.h"
#include "Resources.h"
#include "TimeOfDayText.h"

namespace {

const QString kDatabaseFileName = QStringLiteral("L_Data.vdbd");
const QString kResourceName = QStringLiteral("Resource_1");
const QString kResourceError = QStringLiteral("Hiba történt - 1 !");
const QString kWriteError = QStringLiteral("Hiba történt - 2 !");
const QString kEndStatus = QStringLiteral("Program használatásan befejezése ?");
const QString kEndQuestion = QStringLiteral("Biztosan be kívánja fejezni a program használatát ?");
const QString kEndCaption = QStringLiteral("Figyelem:");
const QString kNoDatabaseFile = QStringLiteral("Nem található az adatállomány !");
const QString kCannotConnect = QStringLiteral("Adatállomány nem nyitható meg !");
const QString kQueryFailed = QStringLiteral("Lekérdezés nem hajtható végre !   ");
const char kResetSql[] = "Select * FROM Data ORDER By CIMSZO";

// The search text as an SQL string literal: in single quotes, each quote inside doubled.
QString QuotedSqlString(const QString& text) {
  QString quoted = text;
  quoted.replace(QChar('\''), QStringLiteral("''"));
  return QChar('\'') + quoted + QChar('\'');
}

// The SQL-wait cursor while a query runs; the normal one again however the work ends.
class TWaitCursor {
 public:
  TWaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TWaitCursor() { QGuiApplication::restoreOverrideCursor(); }
  TWaitCursor(const TWaitCursor&) = delete;
  TWaitCursor& operator=(const TWaitCursor&) = delete;
};

constexpr int kStatusBarHeight = 19;
constexpr int kStatusPanel0Width = 500;
constexpr int kStatusPanel1Width = 200;
constexpr int kTimer1Interval = 1000;
constexpr int kTimer2Interval = 14000;
constexpr int kGridColumnWidth = 320;
// The client area of a page of PageControl1.
constexpr int kPageWidth = 673;
constexpr int kPageHeight = 486;

const QColor kCream(255, 251, 240);
// The advert box keeps dark text on its cream ground whatever the desktop's colours are.
const QColor kAdvertText(0, 0, 0);
const QString kGridHint =
    QStringLiteral("Dupla klikk: megtekintés.|Dupla klikk: aktuális tétel megtekintése.");

QLabel* CentredLabel(QWidget* page, const QString& name, int top, int height,
                     const QString& text) {
  auto* label = PlaceChild<QLabel>(page, name, 0, top, kPageWidth, height, text);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  return label;
}

QLabel* CentredLink(QWidget* page, const QString& name, int top, const QString& text) {
  QLabel* label = CentredLabel(page, name, top, 18, text);
  StyleAsLink(label);
  return label;
}

QFrame* Separator(QWidget* page, const QString& name, int top) {
  auto* line = PlaceChild<QFrame>(page, name, 16, top, kPageWidth - 32, 2);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

}  // namespace

TForm1::TForm1(TMessageDialogs& dialogs, TMainLoop& mainLoop, const TResourceSource& resources,
               QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs), mainLoop_(mainLoop), resources_(resources) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral(" Lombkalauz:"));
  setFont(WindowFont());

  auto* client = MakeChild<QWidget>(this, QStringLiteral("ClientArea"));
  setCentralWidget(client);
  BuildMenu();
  BuildAdvertBox(client);
  BuildPages(client);
  BuildStatusBar();
  BuildTimers();
  SetUpAccessibility();
  MakeFixedDialogFrame(this, kClientWidth, kClientHeight + menuBar()->sizeHint().height());
  CentreOnScreen();
  SetUpDataComponents();
  FormCreate();
  adverts_ = std::make_unique<TAdvertBanner>(
      TAdvertControls{this, GroupBox1, Label13, Label14, Label17, Label3, Label4, Label5, v_conn,
                      v_hird, savedPopupTime_},
      dialogs_, LoadAdConfig());
}

TForm1::~TForm1() {
  gridModel_.reset();
  memoLink_.reset();
  DataSource1.SetDataSet(nullptr);
}

// The data components as the window is designed: the query names the database component,
// and the grid, the memo and the detail window all show the one data source.
void TForm1::SetUpDataComponents() {
  VdbDatabase1.SetName("VdbDatabase1");
  VdbQuery1.Name = "VdbQuery1";
  VdbQuery1.SetDatabaseName("VdbDatabase1");
  VdbQuery1.SetSQL({"select * from Data ", "order by CIMSZO"});
  VdbQuery1.RequestLive = true;
  VdbQuery1.RequestStable = false;
  DataSource1.SetDataSet(&VdbQuery1);
  gridModel_ = std::make_unique<TDBGridModel>(DataSource1, QStringLiteral("CIMSZO"),
                                              QStringLiteral("Címszó"), nullptr);
  gridModel_->Bind(DBGrid1);
  DBGrid1->setColumnWidth(0, kGridColumnWidth);
  memoLink_ = std::make_unique<TDBTextLink>(DataSource1, QStringLiteral("LEIRAS"),
                                            [this](const QString& text) {
                                              DBMemo1->setPlainText(text);
                                              DecorateMemo(DBMemo1, searchTerm_);
                                            });
  static_cast<TDBGridView*>(DBGrid1)->OnTypeAhead = [this](const QString& typed) {
    ReportingErrors([&] { JumpToHeadword(&VdbQuery1, typed); });
  };
  FollowCrossReferences(DBMemo1, [this] { return &VdbQuery1; });
  connect(DBGrid1, &QTableView::doubleClicked, this, [this] { ReportingErrors([this] { DBGrid1DblClick(); }); });
  connect(BitBtn1, &QPushButton::clicked, this, [this] { ReportingErrors([this] { BitBtn1Click(); }); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { ReportingErrors([this] { BitBtn2Click(); }); });
  connect(Edit1, &QLineEdit::returnPressed, this, [this] { ReportingErrors([this] { BitBtn1Click(); }); });
  OnLabelClick(Label5, [this] { Label5Click(); });
  OnLabelClick(Label6, [this] { Label6Click(); });
  OnLabelClick(Label7, [this] { Label7Click(); });
  OnLabelClick(Label8, [this] { Label8Click(); });
  OnLabelClick(Label9, [this] { Label9Click(); });
  static_cast<TDBGridView*>(DBGrid1)->OnEnter = [this] { ReportingErrors([this] { DBGrid1DblClick(); }); };
  connect(Lexikon1, &QAction::triggered, this, [this] { ShowPage(0); });
  connect(Keress1, &QAction::triggered, this, [this] { ShowPage(1); });
  connect(Bemutatkozs1, &QAction::triggered, this, [this] { ShowPage(2); });
}

void TForm1::AttachWindows(TForm2* detailWindow, TForm3* advertPopup) {
  detailWindow_ = detailWindow;
  advertPopup_ = advertPopup;
  adverts_->AttachPopup(advertPopup);
}

QString TForm1::DatabaseFileName() const { return v_prdir + "/" + kDatabaseFileName; }

QString TForm1::StatusPanelText(int panel) const {
  return (panel == 0 ? StatusPanel0 : StatusPanel1)->text();
}

// --- Layout --------------------------------------------------------------------------------------

void TForm1::BuildMenu() {
  Lehetsgek1 = menuBar()->addMenu(QStringLiteral("Lehetőségek"));
  Lehetsgek1->setObjectName(QStringLiteral("Lehetsgek1"));
  SetHint(Lehetsgek1->menuAction(), QStringLiteral("Kérem válasszon !"));
  auto addItem = [this](const QString& name, const QString& caption, const QString& hint) {
    QAction* item = Lehetsgek1->addAction(caption);
    item->setObjectName(name);
    SetHint(item, hint);
    return item;
  };
  Lexikon1 = addItem(QStringLiteral("Lexikon1"), QStringLiteral("Lexikon"),
                     QStringLiteral("Adatok megtekintése !"));
  Keress1 = addItem(QStringLiteral("Keress1"), QStringLiteral("Keresés"),
                    QStringLiteral("Adatok keresése !"));
  Bemutatkozs1 = addItem(QStringLiteral("Bemutatkozs1"), QStringLiteral("Bemutatkozás"),
                         QStringLiteral("Névjegy !"));
  Lehetsgek1->addSeparator();
  Kilps1 = addItem(QStringLiteral("Kilps1"), QStringLiteral("Kilépés"),
                   QStringLiteral("Program hasznáéatának befejezése !"));
  connect(Kilps1, &QAction::triggered, this, &TForm1::Kilps1Click);
}

void TForm1::BuildAdvertBox(QWidget* client) {
  GroupBox1 = PlaceChild<QGroupBox>(client, QStringLiteral("GroupBox1"), 8, 8, 674, 97,
                                    QStringLiteral(" Hirdetés "));
  GroupBox1->setAutoFillBackground(true);
  QPalette palette = GroupBox1->palette();
  palette.setColor(QPalette::Window, kCream);
  palette.setColor(QPalette::WindowText, kAdvertText);
  palette.setColor(QPalette::Text, kAdvertText);
  GroupBox1->setPalette(palette);
  GroupBox1->setCursor(Qt::PointingHandCursor);

  Label13 = PlaceChild<QLabel>(GroupBox1, QStringLiteral("Label13"), 12, 18, 650, 18);
  QFont title = Label13->font();
  title.setBold(true);
  Label13->setFont(title);
  Label14 = PlaceChild<QLabel>(GroupBox1, QStringLiteral("Label14"), 12, 38, 650, 32);
  Label14->setWordWrap(true);
  Label14->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label17 = PlaceChild<QLabel>(GroupBox1, QStringLiteral("Label17"), 12, 72, 650, 18);
  StyleAsLink(Label17);
}

void TForm1::BuildPages(QWidget* client) {
  PageControl1 = PlaceChild<QTabWidget>(client, QStringLiteral("PageControl1"), 8, 120, 681, 514);
  TabSheet1 = MakeChild<QWidget>(PageControl1, QStringLiteral("TabSheet1"));
  TabSheet2 = MakeChild<QWidget>(PageControl1, QStringLiteral("TabSheet2"));
  TabSheet3 = MakeChild<QWidget>(PageControl1, QStringLiteral("TabSheet3"));
  PageControl1->addTab(TabSheet1, QStringLiteral("Lexikon"));
  PageControl1->addTab(TabSheet2, QStringLiteral("Keresés"));
  PageControl1->addTab(TabSheet3, QStringLiteral("Bemutatkozás"));
  BuildLexiconPage();
  BuildSearchPage();
  BuildAboutPage();
}

void TForm1::BuildLexiconPage() {
  DBGrid1 = PlaceChild<TDBGridView>(TabSheet1, QStringLiteral("DBGrid1"), 4, 4, 345,
                                   kPageHeight - 8);
  DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
  DBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
  DBGrid1->verticalHeader()->hide();
  DBGrid1->verticalHeader()->setDefaultSectionSize(DBGrid1->fontMetrics().height() + 6);
  DBGrid1->horizontalHeader()->setHighlightSections(false);
  DBGrid1->setColumnWidth(0, kGridColumnWidth);
  SetHint(DBGrid1, kGridHint);

  DBMemo1 = PlaceChild<QPlainTextEdit>(TabSheet1, QStringLiteral("DBMemo1"), 353, 4,
                                       kPageWidth - 357, kPageHeight - 8);
  DBMemo1->setReadOnly(true);
  DBMemo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void TForm1::BuildSearchPage() {
  Label10 = PlaceChild<QLabel>(TabSheet2, QStringLiteral("Label10"), 16, 20, 300, 16,
                               QStringLiteral("Keresendő kifejezés:"));
  Edit1 = PlaceChild<QLineEdit>(TabSheet2, QStringLiteral("Edit1"), 16, 40, 420, 22,
                                QStringLiteral("Edit1"));
  BitBtn1 = PlaceChild<QPushButton>(TabSheet2, QStringLiteral("BitBtn1"), 448, 38, 209, 26,
                                    QStringLiteral("Keresés indítása"));
  Separator(TabSheet2, QStringLiteral("Panel1"), 84);
  Label11 = PlaceChild<QLabel>(TabSheet2, QStringLiteral("Label11"), 16, 100, 200, 16,
                               QStringLiteral("Keresés eredménye /találat/:"));
  Label12 = PlaceChild<QLabel>(TabSheet2, QStringLiteral("Label12"), 220, 100, 120, 16,
                               QStringLiteral("0"));
  QFont bold = Label12->font();
  bold.setBold(true);
  Label12->setFont(bold);
  Separator(TabSheet2, QStringLiteral("Panel2"), 128);
  BitBtn2 = PlaceChild<QPushButton>(TabSheet2, QStringLiteral("BitBtn2"), 16, 144, 280, 26,
                                    QStringLiteral("Korábbi keresés törlése /alaphelyzet/"));
}

void TForm1::BuildAboutPage() {
  Label1 = CentredLabel(TabSheet3, QStringLiteral("Label1"), 24, 44, QStringLiteral("Lombkalauz"));
  QFont product = Label1->font();
  product.setPixelSize(32);
  product.setBold(true);
  Label1->setFont(product);

  const TAboutTexts& about = kAboutTexts;
  Label2 = CentredLabel(TabSheet3, QStringLiteral("Label2"), 96, 18, about.maker);
  QFont maker = Label2->font();
  maker.setBold(true);
  Label2->setFont(maker);
  Label3 = CentredLabel(TabSheet3, QStringLiteral("Label3"), 118, 18, about.address);
  Label4 = CentredLabel(TabSheet3, QStringLiteral("Label4"), 140, 18, about.phone);
  Label5 = CentredLink(TabSheet3, QStringLiteral("Label5"), 162, about.email);
  Label6 = CentredLink(TabSheet3, QStringLiteral("Label6"), 204, about.web[0].caption);
  Label7 = CentredLink(TabSheet3, QStringLiteral("Label7"), 226, about.web[1].caption);
  Label8 = CentredLink(TabSheet3, QStringLiteral("Label8"), 248, about.web[2].caption);
  Label9 = CentredLink(TabSheet3, QStringLiteral("Label9"), 270, about.web[3].caption);
  Label15 = PlaceChild<QLabel>(TabSheet3, QStringLiteral("Label15"), 40, 320, kPageWidth - 80, 80,
                               about.sourceNote);
  Label15->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Label15->setWordWrap(true);
}

void TForm1::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("StatusBar1"));
  bar->setSizeGripEnabled(false);
  bar->setFixedHeight(kStatusBarHeight);
  StatusPanel0 = MakeChild<QLabel>(bar, QStringLiteral("StatusPanel0"));
  StatusPanel0->setFixedWidth(kStatusPanel0Width);
  StatusPanel1 = MakeChild<QLabel>(bar, QStringLiteral("StatusPanel1"));
  StatusPanel1->setFixedWidth(kStatusPanel1Width);
  StatusPanel1->setAlignment(Qt::AlignCenter);
  for (QLabel* panel : {StatusPanel0, StatusPanel1}) {
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    bar->addWidget(panel);
  }
}

void TForm1::BuildTimers() {
  Timer1 = MakeChild<QTimer>(this, QStringLiteral("Timer1"));
  Timer1->setInterval(kTimer1Interval);
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
  Timer1->start();
  Timer2 = MakeChild<QTimer>(this, QStringLiteral("Timer2"));
  Timer2->setInterval(kTimer2Interval);
  connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);
  Timer2->start();
}

// --- Readers and the keyboard --------------------------------------------------------------------

void TForm1::SetUpAccessibility() {
  InstallAccessibleInterfaces();
  setAccessibleName(SpokenCaption(windowTitle()));
  HideEmptyLabelsOf(GroupBox1);
  SetAccessibleText(GroupBox1, SpokenCaption(GroupBox1->title()));
  MakeKeyboardLink(Label17);
  SetAccessibleText(PageControl1, QStringLiteral("Oldalak"));
  for (int page = 0; page < PageControl1->count(); ++page)
    SetAccessibleText(PageControl1->widget(page), PageControl1->tabText(page));

  SetAccessibleText(DBGrid1, QStringLiteral("Címszó"), LongHint(kGridHint));
  SetAccessibleText(DBMemo1, QStringLiteral("Leírás"));

  for (QLabel* caption : {Label10, Label11}) SetAccessibleText(caption, SpokenCaption(caption->text()));
  Label10->setBuddy(Edit1);
  SetAccessibleText(Edit1, SpokenCaption(Label10->text()));
  Label11->setBuddy(Label12);
  MarkAsCaptionedValue(Label12, SpokenCaption(Label11->text()));
  for (QFrame* separator : TabSheet2->findChildren<QFrame*>(QString(), Qt::FindDirectChildrenOnly))
    if (separator->frameShape() == QFrame::HLine) MarkAsSeparator(separator);

  for (QLabel* link : {Label5, Label6, Label7, Label8, Label9}) MakeKeyboardLink(link);
  MarkAsCaptionedValue(StatusPanel0, QStringLiteral("Tájékoztatás"));
  MarkAsCaptionedValue(StatusPanel1, QStringLiteral("Dátum és idő"));
  SetUpKeyboard();
}

void TForm1::SetUpKeyboard() {
  setTabOrder(DBGrid1, DBMemo1);
  setTabOrder(Edit1, BitBtn1);
  setTabOrder(BitBtn1, BitBtn2);
  setTabOrder(Label5, Label6);
  setTabOrder(Label6, Label7);
  setTabOrder(Label7, Label8);
  setTabOrder(Label8, Label9);
  // The pages on Ctrl+1, 2 and 3, shown in the menu; a new search also on Ctrl+F.
  Lexikon1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
  Keress1->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_2), QKeySequence(QKeySequence::Find)});
  Bemutatkozs1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_3));
  connect(PageControl1, &QTabWidget::currentChanged, this, &TForm1::FocusPage);
}

void TForm1::ShowPage(int page) {
  PageControl1->setCurrentIndex(page);
  FocusPage(page);  // also when the page was open already
}

// The page's first control takes the focus: the grid to browse, the field to type a search in
// (its text selected, so that typing starts a new search).
void TForm1::FocusPage(int page) {
  if (page == 0) {
    DBGrid1->setFocus();
  } else if (page == 1) {
    Edit1->setFocus();
    Edit1->selectAll();
  }
}

// The hit count goes with the grid's description: a reader hears it with the grid, which takes
// the focus after a search.
void TForm1::AnnounceHitCount() {
  AnnouncePolitely(DBGrid1, Label11->text() + QChar(' ') + Label12->text() + QStringLiteral(". ") +
                                LongHint(kGridHint));
}

void TForm1::CentreOnScreen() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = geometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

// --- Events --------------------------------------------------------------------------------------

template <typename Handler>
bool TForm1::ReportingErrors(Handler&& handler) {
  try {
    handler();
    return true;
  } catch (const std::exception& error) {
    dialogs_.ShowMessage(this, QString::fromUtf8(error.what()));
  } catch (...) {
    dialogs_.ShowMessage(this, QStringLiteral("Unknown error"));
  }
  return false;
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // A spontaneous show is the window system restoring the window, not the window being shown.
  if (event->spontaneous()) return;
  ReportingErrors([this] { FormShow(); });
  emit Shown();
}

void TForm1::closeEvent(QCloseEvent* event) {
  bool closing = false;
  ReportingErrors([&] { closing = FormClose(); });
  if (!closing) {
    event->ignore();
    return;
  }
  event->accept();
  // The main window is closing: the application ends with it.
  mainLoop_.RequestEnd();
}

bool TForm1::event(QEvent* event) {
  // Hints of the controls and menu items go to the first status panel.
  if (event->type() == QEvent::StatusTip) {
    StatusPanel0->setText(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

void TForm1::FormCreate() { v_conn = false; }

void TForm1::FormShow() {
  v_prdir = QDir::currentPath();
  std::unique_ptr<QIODevice> stream;
  try {
    stream = resources_.Open(kResourceName);
  } catch (...) {
    ShowMessageAndEnd(kResourceError);
  }
  try {
    WriteDatabaseFile(stream.get());
  } catch (...) {
    ShowMessageAndEnd(kWriteError);
  }
  stream.reset();
  FillBuiltInAdverts();
  OpenLexicon();
  savedPopupTime_ = TimeOfDayToText(adverts_->Clock().Now().time());
  // The box shows a built-in advert at once; the link refresh and the first banner follow as
  // soon as the window is on the screen, so that a probe host that is slow to answer (or a
  // name lookup without a network) never holds the window's first paint back.
  adverts_->ShowBuiltInAdvert();
  QTimer::singleShot(0, this, &TForm1::StartAdverts);
  Edit1->clear();
  Label12->setText(QStringLiteral("0"));
  Label12->setText(QString::number(idleSqliteQuery_.RecordCount()));
  PageControl1->setCurrentIndex(0);
  AnnounceHitCount();
  DBGrid1->setFocus();
}

void TForm1::StartAdverts() {
  // Closed before the window's first turn of the event loop: the link stays closed.
  if (adServerLinkClosed_) return;
  ReportingErrors([this] {
    RefreshAdServerLink();
    ShowBannerAdvert();
  });
  emit AdvertsStarted();
}

bool TForm1::FormClose() {
  StatusPanel0->setText(kEndStatus);
  if (!ConfirmEnd()) return false;  // the window stays open; the question stays in the status bar
  StatusPanel0->clear();
  adServerLinkClosed_ = true;
  CloseAdServerLink();
  CloseLexicon();
  DeleteDatabaseFile();
  return true;
}

void TForm1::Kilps1Click() {
  ReportingErrors([this] {
    StatusPanel0->setText(kEndStatus);
    if (ConfirmEnd()) {
      adServerLinkClosed_ = true;
      CloseAdServerLink();
      idleSqliteQuery_.Close();
      idleSqliteConnection_.Close();
      CloseLexicon();
      DeleteDatabaseFile();
      // Ends the main loop without closing the window, so the question is not asked again.
      mainLoop_.RequestEnd();
    }
    StatusPanel0->clear();
  });
}

void TForm1::Timer1Timer() {
  StatusPanel1->setText(QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat));
}

// --- Browse and search ---------------------------------------------------------------------------

void TForm1::RunLexiconQuery(const std::string& sql) {
  VdbQuery1.Close();
  VdbQuery1.SQLClear();
  VdbQuery1.SQLAdd(sql);
  VdbQuery1.Open();
}

void TForm1::BitBtn1Click() {
  TWaitCursor wait;
  const QString pattern = "%" + Edit1->text() + "%";
  // Only a plain text can be shown where it matched; wildcards match too much to mark.
  const bool wildcards = Edit1->text().contains(QChar('%')) || Edit1->text().contains(QChar('_'));
  searchTerm_ = wildcards ? QString() : Edit1->text();
  const QString operand = QuotedSqlString(pattern);
  RunLexiconQuery(("Select * FROM Data WHERE CIMSZO like " + operand + " or LEIRAS like " + operand +
                   "ORDER By CIMSZO")
                      .toStdString());
  Label12->setText(QString::number(VdbQuery1.RecordCount()));
  PageControl1->setCurrentIndex(0);
  AnnounceHitCount();
  DBGrid1->setFocus();
}

void TForm1::BitBtn2Click() {
  TWaitCursor wait;
  searchTerm_.clear();
  RunLexiconQuery(kResetSql);
  Edit1->clear();
  Label12->setText(QString::number(VdbQuery1.RecordCount()));
  PageControl1->setCurrentIndex(0);
  AnnounceHitCount();
  DBGrid1->setFocus();
}

void TForm1::Label5Click() { ShellOpen(QStringLiteral("mailto:") + QString::fromUtf8(kAboutTexts.email)); }
void TForm1::Label6Click() { ShellOpen(QString::fromUtf8(kAboutTexts.web[0].target)); }
void TForm1::Label7Click() { ShellOpen(QString::fromUtf8(kAboutTexts.web[1].target)); }
void TForm1::Label8Click() { ShellOpen(QString::fromUtf8(kAboutTexts.web[2].target)); }
void TForm1::Label9Click() { ShellOpen(QString::fromUtf8(kAboutTexts.web[3].target)); }

void TForm1::DBGrid1DblClick() {
  if (!detailWindow_) return;
  detailWindow_->SetHighlight(searchTerm_);
  detailWindow_->ShowModal(DataSource1);
}

void TForm1::Timer2Timer() {
  ReportingErrors([this] { ShowBannerAdvert(); });
}

// --- Steps ---------------------------------------------------------------------------------------

void TForm1::WriteDatabaseFile(QIODevice* stream) {
  if (!stream) throw EResourceNotFound("No resource stream to write");
  SaveStreamToFile(*stream, fileSystem_, DatabaseFileName().toStdString());
}

void TForm1::FillBuiltInAdverts() {
  for (int entry = 0; entry < kBuiltInAdvertCount; ++entry) {
    const TBuiltInAdvert& advert = kBuiltInAdverts[entry];
    v_hird[entry][kHirdTitle] = QString::fromUtf8(advert.title);
    v_hird[entry][kHirdDescription] = QString::fromUtf8(advert.description);
    v_hird[entry][kHirdLink] = QString::fromUtf8(advert.link);
  }
}

bool TForm1::ConfirmEnd() { return dialogs_.AskYesNo(this, kEndQuestion, kEndCaption); }

void TForm1::DeleteDatabaseFile() {
  // Before the window was shown no file was written, and there is no directory to form its
  // name from.
  if (v_prdir.isEmpty()) return;
  const std::string fileName = DatabaseFileName().toStdString();
  if (fileSystem_.FileExists(fileName)) fileSystem_.DeleteFile(fileName);
}

void TForm1::ShowMessageAndEnd(const QString& message) {
  dialogs_.ShowMessage(this, message);
  mainLoop_.RequestEnd();
}

// --- Call points ---------------------------------------------------------------------------------

void TForm1::OpenLexicon() {
  // A table with a key asks the user for it until the key fits or the dialog is cancelled.
  VdbDatabase1.OnPassword = [this](TVdbDatabase*, const std::string& table, std::string& key, bool& retry) {
    key = QInputDialog::getText(this, QStringLiteral("Jelszó"), QString::fromStdString(table), QLineEdit::Password,
                                {}, &retry).toStdString();
  };
  if (fileSystem_.FileExists(DatabaseFileName().toStdString()))
    VdbDatabase1.SetLocation(DatabaseFileName().toStdString());
  else
    ShowMessageAndEnd(kNoDatabaseFile);
  try {
    VdbDatabase1.SetConnected(true);
  } catch (...) {
    ShowMessageAndEnd(kCannotConnect);
  }
  try {
    VdbQuery1.Open();
  } catch (const std::exception& error) {
    ShowMessageAndEnd(kQueryFailed + QString::fromUtf8(error.what()));
  }
}

void TForm1::CloseLexicon() {
  VdbQuery1.Close();
  VdbDatabase1.SetConnected(false);
}

void TForm1::RefreshAdServerLink() { adverts_->RefreshLink(); }

void TForm1::ShowBannerAdvert() { adverts_->Rotate(); }

void TForm1::CloseAdServerLink() { adverts_->CloseLink(); }
