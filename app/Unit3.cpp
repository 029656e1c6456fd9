#include "Unit3.h"

#include <QLabel>
#include <QPushButton>

#include "Controls.h"

namespace {
constexpr int kImageWidth = 321;
constexpr int kImageHeight = 441;
constexpr int kMargin = 8;
}  // namespace

TForm3::TForm3(QWidget* parent) : QWidget(parent) {
  SetUpWindow(this, QStringLiteral("Form3"), QStringLiteral("Hirdetés:"),
              kImageWidth + 2 * kMargin, kImageHeight + 84);

  Image1 = PlaceChild<QLabel>(this, QStringLiteral("Image1"), kMargin, kMargin, kImageWidth,
                              kImageHeight);
  Image1->setScaledContents(true);
  Image1->setAlignment(Qt::AlignCenter);
  Image1->setCursor(Qt::PointingHandCursor);

  Label1 = PlaceChild<QLabel>(this, QStringLiteral("Label1"), kMargin, kImageHeight + 16,
                              kImageWidth, 18);
  Label1->setAlignment(Qt::AlignCenter);
  StyleAsLink(Label1);

  BitBtn1 = PlaceChild<QPushButton>(this, QStringLiteral("BitBtn1"), kMargin, kImageHeight + 44,
                                    kImageWidth, 28, QStringLiteral("Következő hirdetés"));
}
