// TForm3: the popup advert window: a picture, the advert's link and a button for the next
// advert. It is shown modally by the banner rotation.
#pragma once

#include <QByteArray>
#include <QWidget>

class QLabel;
class QPushButton;

class TForm3 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm3(QWidget* parent = nullptr);

  // Shows the window modally: returns when it is closed.
  void ShowModal();

  // Label1 := Link; Image1 := the JPEG picture Jpeg. A picture that is not a JPEG image leaves
  // the previous one in place and gives false.
  bool ShowAdvert(const QString& link, const QByteArray& jpeg);

  QLabel* Image1;       // the advert's picture, stretched into 321 x 441, centred
  QLabel* Label1;       // the advert's link
  QPushButton* BitBtn1;  // "Következő hirdetés"

 signals:
  void NextAdvertClicked();  // BitBtn1
  void AdvertClicked();      // Image1 or Label1
  void Closed();

 protected:
  void hideEvent(QHideEvent* event) override;
  // Escape closes the window.
  void keyPressEvent(QKeyEvent* event) override;
};
