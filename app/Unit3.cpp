#include "Unit3.h"

#include <QEventLoop>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "Accessibility.h"
#include "Controls.h"
#include "ShellOpen.h"

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
  connect(BitBtn1, &QPushButton::clicked, this, &TForm3::NextAdvertClicked);
  OnLabelClick(Image1, [this] { emit AdvertClicked(); });
  OnLabelClick(Label1, [this] { emit AdvertClicked(); });

  InstallAccessibleInterfaces();
  setAccessibleName(SpokenCaption(windowTitle()));
  HideEmptyLabelsOf(this);
  SetAccessibleText(Image1, QStringLiteral("A hirdetés képe"));
  MakeKeyboardLink(Label1);
}

void TForm3::keyPressEvent(QKeyEvent* event) {
  if (!CloseOnEscape(this, event)) QWidget::keyPressEvent(event);
}

void TForm3::ShowModal() {
  setWindowModality(Qt::ApplicationModal);
  QEventLoop loop;
  connect(this, &TForm3::Closed, &loop, &QEventLoop::quit);
  show();
  if (isVisible()) loop.exec();
}

bool TForm3::ShowAdvert(const QString& link, const QByteArray& jpeg) {
  Label1->setText(link);
  QImage picture;
  if (jpeg.isEmpty() || !picture.loadFromData(jpeg, "JPEG")) return false;
  Image1->setPixmap(QPixmap::fromImage(picture));
  return true;
}

void TForm3::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  emit Closed();
}
