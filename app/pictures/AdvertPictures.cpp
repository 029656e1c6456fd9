// Paints the pictures of the sample popup adverts and saves them as JPEG files, 321 x 441 each:
//   advert_pictures DIRECTORY
// The local ad server (scripts/adserver.sh) stores them in its popup adverts.
#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <array>
#include <iostream>

namespace {

struct TPicture {
  const char* file;
  const char* title;
  const char* line;
  QColor top;
  QColor bottom;
};

void Paint(const TPicture& picture, QImage& image) {
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, image.height());
  sky.setColorAt(0, picture.top);
  sky.setColorAt(1, picture.bottom);
  painter.fillRect(image.rect(), sky);
  // A row of fir trees along the bottom.
  painter.setBrush(QColor(24, 64, 32));
  painter.setPen(Qt::NoPen);
  for (int x = -20; x < image.width(); x += 46) {
    const QPolygon tree({QPoint(x, image.height()), QPoint(x + 30, image.height() - 120),
                         QPoint(x + 60, image.height())});
    painter.drawPolygon(tree);
  }
  painter.setPen(Qt::white);
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(30);
  font.setBold(true);
  painter.setFont(font);
  painter.drawText(QRect(10, 40, image.width() - 20, 160), Qt::AlignCenter | Qt::TextWordWrap,
                   QString::fromUtf8(picture.title));
  font.setPixelSize(18);
  font.setBold(false);
  painter.setFont(font);
  painter.drawText(QRect(10, 200, image.width() - 20, 100), Qt::AlignCenter | Qt::TextWordWrap,
                   QString::fromUtf8(picture.line));
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  if (argc != 2) {
    std::cerr << "usage: advert_pictures DIRECTORY\n";
    return 2;
  }
  const QDir directory(QString::fromLocal8Bit(argv[1]));
  if (!directory.mkpath(QStringLiteral("."))) {
    std::cerr << "advert_pictures: cannot create " << argv[1] << "\n";
    return 1;
  }
  const std::array<TPicture, 3> pictures = {{
      {"popup1.jpg", "Vadászbolt", "Minden, ami a vadászathoz kell", QColor(230, 140, 40),
       QColor(120, 40, 20)},
      {"popup2.jpg", "Trófeabírálat", "Hiteles bírálat, gyors ügyintézés", QColor(70, 120, 200),
       QColor(20, 40, 90)},
      {"popup3.jpg", "Vadászutak", "Bérvadászat itthon és külföldön", QColor(120, 170, 80),
       QColor(40, 80, 30)},
  }};
  for (const TPicture& picture : pictures) {
    QImage image(321, 441, QImage::Format_RGB32);
    Paint(picture, image);
    const QString file = directory.filePath(QString::fromLatin1(picture.file));
    if (!image.save(file, "JPEG", 85)) {
      std::cerr << "advert_pictures: cannot write " << file.toStdString() << "\n";
      return 1;
    }
  }
  return 0;
}
