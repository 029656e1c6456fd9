// The adverts of the main window: the link refresh, the banner rotation in the advert box, the
// popup window with its next advert and its click, the banner click, and the built-in adverts
// shown while there is no link to the ad server.
//
// The ad server is reached through TAdLinkThread: while the link waits for a probe or the server
// the window keeps answering. A rotation that comes due while another request is under way is
// left out, so that two sequences never interleave on the ad tables.
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

#include <array>
#include <memory>
#include <utility>

#include "AdClock.h"
#include "AdConfig.h"
#include "AdLinkThread.h"
#include "ShellOpen.h"

class QGroupBox;
class QLabel;
class QWidget;
class TForm3;
class TMessageDialogs;

// The controls and fields of the main window the adverts work on.
struct TAdvertControls {
  QWidget* window;     // parent of the message boxes
  QGroupBox* box;      // GroupBox1
  QLabel* title;       // Label13
  QLabel* text;        // Label14
  QLabel* link;        // Label17
  QLabel* address;     // Label3 of the about page
  QLabel* phone;       // Label4
  QLabel* email;       // Label5
  bool& conn;                                       // v_conn
  const std::array<std::array<QString, 3>, 8>& builtIn;  // v_hird
  QString& savedPopupTime;
};

class TAdvertBanner : public QObject {
  Q_OBJECT

 public:
  TAdvertBanner(const TAdvertControls& controls, TMessageDialogs& dialogs, TAdConfig config);
  ~TAdvertBanner() override;

  // Seams: the clock (it must outlive the banner) and the shell's "open" verb.
  void SetClock(const TAdClock& clock) { clock_ = &clock; }
  const TAdClock& Clock() const { return *clock_; }
  void SetShellOpen(TShellOpen open) { shellOpen_ = std::move(open); }
  // Points the link at another probe host and ad server.
  void Configure(TAdConfig config);
  void AttachPopup(TForm3* popup);

  // The link refresh; the box form also shows or hides the advert box by the outcome.
  void RefreshLink(bool boxForm = false);
  // The banner rotation (at show and every 14 s).
  void Rotate();
  // Closes tbl_Hdetes, tbl_Hdetes_sum and the connection; the adverts stop for good.
  void CloseLink();
  // One of the built-in adverts, drawn anew, in the advert box.
  void ShowBuiltInAdvert();

  // The link's journal of opens and closes, for diagnosis.
  QStringList Journal();
  // Probes made by the last link refresh.
  int LastRefreshProbes() const { return lastRefreshProbes_; }

 public slots:
  void NextAdvert();   // TForm3 "Következő hirdetés"
  void PopupClick();   // TForm3 picture or link
  void BannerClick();  // Label13, Label14, Label17

 private:
  bool Busy() const;
  void ShowNextBanner();
  void AnnounceAdvert();
  bool PopupDue();
  void ShowPopup();
  // Selects a popup advert, counts its display and puts it into the popup window; false when
  // the link is down or no advert was selected.
  bool SelectPopupAdvert();
  // The selection for advert kind Kind at the clock's time.
  TAdSelection Select(int kind);
  // Counts the display of the selected advert; false when that failed.
  bool CountDisplay(const TAdSelection& selection);
  void ShowInPopup(const TAdSelection& selection);
  // A failure the ad server reported: a lost connection is dropped silently (the next refresh
  // connects again); anything else goes to the message box. True when the outcome failed.
  bool Failed(const TAdOutcome& outcome);

  TAdvertControls controls_;
  TMessageDialogs& dialogs_;
  TSystemClock systemClock_;
  const TAdClock* clock_ = &systemClock_;
  TShellOpen shellOpen_ = DesktopShellOpen();
  TForm3* popup_ = nullptr;
  TAdLinkThread link_;
  QVariant popupAdvert_;  // AZON of the advert the popup window shows
  bool closed_ = false;
  int lastRefreshProbes_ = 0;
};
