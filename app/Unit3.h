// TForm3: the popup advert window: a picture, the advert's link and a button for the next
// advert. It is shown modally by the banner rotation.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

class TForm3 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm3(QWidget* parent = nullptr);

  QLabel* Image1;       // the advert's picture, stretched into 321 x 441, centred
  QLabel* Label1;       // the advert's link
  QPushButton* BitBtn1;  // "Következő hirdetés"
};
