// TForm1: the main window. It writes the lexicon database out of the program's resource when it
// is shown, and on the way out (its close box or the menu's "Kilépés") asks for confirmation,
// closes the ad server link and the lexicon and deletes the written file.
//
// The lexicon's opening and closing, the ad server link and the adverts plug into the window
// through the protected call points OpenLexicon, CloseLexicon, RefreshAdServerLink,
// ShowBannerAdvert, CloseAdServerLink and the timer handlers.
#pragma once

#include <QMainWindow>
#include <QString>

#include <array>
#include <memory>

#include "DatabaseFile.h"
#include "IdleSqlite.h"
#include "ShellOpen.h"
#include "VdbDatabase.h"
#include "VdbDataSet.h"
#include "VdbQuery.h"
#include "storage/kxFileSystem.h"

class QAction;
class QEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTableView;
class QTimer;
class TDBGridModel;
class TDBTextLink;
class TForm2;
class TForm3;
class TMainLoop;
class TMessageDialogs;
class TResourceSource;
class TAdvertBanner;  // the adverts (AdBanner.h)

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 702;
  static constexpr int kClientHeight = 663;  // below the menu bar, status bar included

  // Dialogs, MainLoop and Resources must outlive the window.
  TForm1(TMessageDialogs& dialogs, TMainLoop& mainLoop, const TResourceSource& resources,
         QWidget* parent = nullptr);
  ~TForm1() override;

  // The detail window and the advert popup, created after this window (not owned).
  void AttachWindows(TForm2* detailWindow, TForm3* advertPopup);
  // The adverts: the ad server link, the rotation and the popup.
  TAdvertBanner& Adverts() { return *adverts_; }

  // The database file: v_prdir followed by "/L_Data.vdbd".
  QString DatabaseFileName() const;
  // The time of day of the window's show (later: of the last popup), as text.
  const QString& SavedPopupTime() const { return savedPopupTime_; }
  QString StatusPanelText(int panel) const;
  // True while the lexicon holds the database file open.
  bool LexiconOpen() const { return VdbDatabase1.Connected(); }

  // --- Data components ----------------------------------------------------------------------
  TVdbDatabase VdbDatabase1;
  TVdbQuery VdbQuery1;
  TDataSource DataSource1;

  // The text the descriptions mark as the last search's hits (empty after a reset).
  const QString& SearchTerm() const { return searchTerm_; }

  // The desktop's "open" action for the about page's links (tests put their own here).
  TShellOpen ShellOpen = DesktopShellOpen();

  // --- Window state -------------------------------------------------------------------------
  QString v_prdir;  // the process's current directory when the window was shown
  bool v_conn;      // whether the ad server link is up
  // The built-in adverts: entry 1..8 at index 0..7, each title, description and link.
  static constexpr int kHirdTitle = 0;
  static constexpr int kHirdDescription = 1;
  static constexpr int kHirdLink = 2;
  std::array<std::array<QString, 3>, 8> v_hird;

  // --- Controls (owned by the window) -------------------------------------------------------
  QGroupBox* GroupBox1;
  QLabel* Label13;  // advert title
  QLabel* Label14;  // advert description
  QLabel* Label17;  // advert link
  QTabWidget* PageControl1;
  QWidget* TabSheet1;
  QTableView* DBGrid1;
  QPlainTextEdit* DBMemo1;
  QWidget* TabSheet2;
  QLabel* Label10;  // "Keresendő kifejezés:"
  QLineEdit* Edit1;
  QPushButton* BitBtn1;
  QLabel* Label11;  // "Keresés eredménye /találat/:"
  QLabel* Label12;  // hit counter
  QPushButton* BitBtn2;
  QWidget* TabSheet3;
  QLabel* Label1;  // product name
  QLabel* Label2;  // maker
  QLabel* Label3;  // postal address
  QLabel* Label4;  // telephone
  QLabel* Label5;  // e-mail link
  QLabel* Label6;  // web links
  QLabel* Label7;
  QLabel* Label8;
  QLabel* Label9;
  QLabel* Label15;  // source of the lexicon
  QMenu* Lehetsgek1;
  QAction* Lexikon1;
  QAction* Keress1;
  QAction* Bemutatkozs1;
  QAction* Kilps1;
  QLabel* StatusPanel0;
  QLabel* StatusPanel1;
  QTimer* Timer1;
  QTimer* Timer2;

 signals:
  // The show handler has run.
  void Shown();
  // The first link refresh and banner after the show have run (or were left out because the
  // window closed first).
  void AdvertsStarted();

 public slots:
  void Kilps1Click();
  void BitBtn1Click();  // search
  void BitBtn2Click();  // reset to the full list
  void DBGrid1DblClick();
  void Label5Click();  // e-mail
  void Label6Click();  // web links
  void Label7Click();
  void Label8Click();
  void Label9Click();
  void Timer1Timer();  // the status-bar clock plugs in here
  void Timer2Timer();  // the advert rotation plugs in here

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;

  // --- Call points --------------------------------------------------------------------------
  // Opens the lexicon on the database file. Until the engine's data components are on the
  // window, it holds the file open read-write and shared, as the engine will, so that no other
  // instance can write over it; silent when the file cannot be opened.
  virtual void OpenLexicon();
  // Closes the lexicon: afterwards nothing holds the database file or its side files open.
  virtual void CloseLexicon();
  // Brings the ad server link up when it can and sets v_conn; never shows a message.
  virtual void RefreshAdServerLink();
  // Shows an advert in the advert box; never shows a message.
  virtual void ShowBannerAdvert();
  // Closes the ad tables and the ad server connection.
  virtual void CloseAdServerLink();

  TMessageDialogs& Dialogs() { return dialogs_; }

 private:
  void BuildMenu();
  void BuildAdvertBox(QWidget* client);
  void BuildPages(QWidget* client);
  void BuildLexiconPage();
  void BuildSearchPage();
  void BuildAboutPage();
  void BuildStatusBar();
  void BuildTimers();
  void CentreOnScreen();
  void SetUpAccessibility();
  void SetUpKeyboard();
  void ShowPage(int page);
  void FocusPage(int page);
  void AnnounceHitCount();

  void FormCreate();
  void FormShow();
  bool FormClose();  // false: the close is cancelled
  // The link refresh and the first banner of the show, run once the window is on the screen.
  void StartAdverts();
  void WriteDatabaseFile(QIODevice* stream);
  void FillBuiltInAdverts();
  bool ConfirmEnd();
  void DeleteDatabaseFile();
  void ShowMessageAndEnd(const QString& message);
  // Runs a handler; an exception it raises is shown in a message box with its text (the
  // application's default error report) and ends the handler. False when it raised.
  template <typename Handler>
  bool ReportingErrors(Handler&& handler);

  TMessageDialogs& dialogs_;
  TMainLoop& mainLoop_;
  const TResourceSource& resources_;
  TForm2* detailWindow_ = nullptr;
  TForm3* advertPopup_ = nullptr;
  vdb::TkxOSFileSystem fileSystem_;
  std::unique_ptr<TDBGridModel> gridModel_;
  std::unique_ptr<TDBTextLink> memoLink_;
  QString searchTerm_;  // the text of the last search, marked in the descriptions
  void SetUpDataComponents();
  void RunLexiconQuery(const std::string& sql);
  TIdleSqliteConnection idleSqliteConnection_;
  TIdleSqliteQuery idleSqliteQuery_;
  QString savedPopupTime_;
  bool adServerLinkClosed_ = false;
  std::unique_ptr<TAdvertBanner> adverts_;
};
