#include "AdBanner.h"

#include <QGroupBox>
#include <QLabel>
#include <QRandomGenerator>

#include <cstdlib>

#include "Accessibility.h"
#include "AdSelection.h"
#include "MessageDialogs.h"
#include "TimeOfDayText.h"
#include "Unit1.h"
#include "Unit3.h"

namespace {

// A popup comes when more than this many whole minutes have passed since the last one.
constexpr int kPopupPauseMinutes = 2;
const QString kPictureError = QStringLiteral("A hirdetés képe nem olvasható JPEG kép.");

}  // namespace

TAdvertBanner::TAdvertBanner(const TAdvertControls& controls, TMessageDialogs& dialogs,
                             TAdConfig config)
    : controls_(controls), dialogs_(dialogs), link_(std::move(config)) {
  for (QLabel* label : {controls_.title, controls_.text, controls_.link})
    OnLabelClick(label, [this] { BannerClick(); });
}

TAdvertBanner::~TAdvertBanner() = default;

void TAdvertBanner::Configure(TAdConfig config) { link_.Reconfigure(std::move(config)); }

void TAdvertBanner::AttachPopup(TForm3* popup) {
  popup_ = popup;
  if (!popup_) return;
  connect(popup_, &TForm3::NextAdvertClicked, this, &TAdvertBanner::NextAdvert);
  connect(popup_, &TForm3::AdvertClicked, this, &TAdvertBanner::PopupClick);
}

bool TAdvertBanner::Busy() const { return closed_ || link_.Waiting(); }

QStringList TAdvertBanner::Journal() {
  return link_.Run([](TAdServerLink& link) { return link.Journal(); });
}

void TAdvertBanner::RefreshLink(bool boxForm) {
  if (closed_) return;
  // Down until the refresh finds it up.
  controls_.conn = false;
  const TLinkRefresh refresh = link_.Run([](TAdServerLink& link) { return link.Refresh(); });
  lastRefreshProbes_ = refresh.probes;
  controls_.conn = refresh.conn;
  if (boxForm) controls_.box->setVisible(controls_.conn);
}

bool TAdvertBanner::Failed(const TAdOutcome& outcome) {
  if (!outcome.failed) return false;
  if (!outcome.connectionLost) dialogs_.ShowMessage(controls_.window, outcome.error);
  return true;
}

bool TAdvertBanner::PopupDue() {
  const QTime saved = TimeOfDayFromText(controls_.savedPopupTime);
  // An unreadable saved time is as good as a long time ago.
  if (!saved.isValid()) return true;
  const int seconds = std::abs(saved.secsTo(clock_->Now().time()));
  return seconds / 60 > kPopupPauseMinutes;
}

void TAdvertBanner::Rotate() {
  ShowNextBanner();
  AnnounceAdvert();
}

// A reader hears the advert when it changes, not at every tick that shows the same one again.
void TAdvertBanner::AnnounceAdvert() {
  QStringList parts;
  for (const QLabel* label : {controls_.title, controls_.text, controls_.link})
    if (!label->text().trimmed().isEmpty()) parts.append(label->text().trimmed());
  AnnouncePolitely(controls_.box, parts.join(QStringLiteral(" – ")));
}

void TAdvertBanner::ShowNextBanner() {
  if (Busy()) return;
  RefreshLink();
  if (closed_) return;
  if (PopupDue()) {
    controls_.savedPopupTime = TimeOfDayToText(clock_->Now().time());
    if (controls_.conn && popup_ && !popup_->isVisible()) ShowPopup();
  }
  controls_.title->clear();
  controls_.text->clear();
  controls_.link->clear();
  RefreshLink();
  if (closed_) return;
  if (!controls_.conn) {
    ShowBuiltInAdvert();
    return;
  }
  controls_.box->setVisible(true);
  const TAdSelection selection = Select(kBannerAdvert);
  if (closed_) return;
  if (selection.connectionLost) {
    ShowBuiltInAdvert();
    return;
  }
  if (Failed(selection) || !selection.selected) return;
  const TAdvertRow& row = selection.row;
  controls_.address->setVisible(row.amegjelen);
  controls_.phone->setVisible(row.bmegjelen);
  controls_.email->setVisible(row.cmegjelen);
  controls_.title->setText(row.cim);
  controls_.text->setText(row.sora + " " + row.sorb + " " + row.sorc);
  controls_.link->setText(row.link);
  CountDisplay(selection);
}

TAdSelection TAdvertBanner::Select(int kind) {
  // The clock and the user's settings are read here, on the window's thread.
  const QDateTime now = clock_->Now();
  const QChar separator = UserTimeSeparator();
  const TAdSelection selection =
      link_.Run([=](TAdServerLink& link) { return link.Select(kind, now, separator); });
  // The server went away since the refresh: the link is down, as the next refresh will find.
  if (selection.connectionLost) controls_.conn = false;
  return selection;
}

bool TAdvertBanner::CountDisplay(const TAdSelection& selection) {
  const QVariant azon = selection.azon;
  return !Failed(link_.Run([azon](TAdServerLink& link) { return link.CountDisplay(azon); }));
}

void TAdvertBanner::ShowBuiltInAdvert() {
  const auto& advert =
      controls_.builtIn[static_cast<std::size_t>(QRandomGenerator::global()->bounded(8))];
  controls_.title->setText(advert[TForm1::kHirdTitle]);
  controls_.text->setText(advert[TForm1::kHirdDescription]);
  controls_.link->setText(advert[TForm1::kHirdLink]);
  AnnounceAdvert();
}

void TAdvertBanner::ShowPopup() {
  RefreshLink();
  if (SelectPopupAdvert()) popup_->ShowModal();
}

bool TAdvertBanner::SelectPopupAdvert() {
  if (closed_ || !controls_.conn) return false;
  const TAdSelection selection = Select(kPopupAdvert);
  if (closed_ || Failed(selection) || !selection.selected) return false;
  if (!CountDisplay(selection)) return false;
  popupAdvert_ = selection.azon;
  ShowInPopup(selection);
  return true;
}

void TAdvertBanner::ShowInPopup(const TAdSelection& selection) {
  if (!popup_->ShowAdvert(selection.row.link, selection.row.kep))
    dialogs_.ShowMessage(popup_, kPictureError);
}

void TAdvertBanner::NextAdvert() {
  if (Busy() || !popup_) return;
  RefreshLink(true);
  // Without a new advert the window keeps showing the previous picture and link.
  SelectPopupAdvert();
  // A server found gone only by the selection hides the box as the refresh would have.
  controls_.box->setVisible(controls_.conn);
}

void TAdvertBanner::PopupClick() {
  if (Busy() || !popup_) return;
  // The click counts for the advert the popup shows, even when a rotation under the popup has
  // moved the ad tables to a banner since.
  const QVariant azon = popupAdvert_;
  const TAdOutcome counted =
      link_.Run([azon](TAdServerLink& link) { return link.CountClick(azon); });
  // A statement the server refused ends the click; a lost connection does not keep the reader
  // from the advertiser's page.
  if (counted.failed && !counted.connectionLost) {
    Failed(counted);
    return;
  }
  shellOpen_(popup_->Label1->text());
}

void TAdvertBanner::BannerClick() {
  const QString target = controls_.link->text();
  if (!target.isEmpty()) shellOpen_(target);
}

void TAdvertBanner::CloseLink() {
  if (closed_) return;
  // Also while a request is under way: the link's jobs run in order, the close after it.
  closed_ = true;
  link_.Run([](TAdServerLink& link) { link.Close(); });
}
