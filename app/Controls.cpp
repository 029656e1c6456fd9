#include "Controls.h"

#include <QAction>
#include <QLabel>
#include <QPalette>

QString ShortHint(const QString& hint) { return hint.section('|', 0, 0); }

QString LongHint(const QString& hint) {
  const qsizetype bar = hint.indexOf('|');
  return bar < 0 ? hint : hint.mid(bar + 1);
}

void SetHint(QWidget* control, const QString& hint) {
  control->setToolTip(ShortHint(hint));
  control->setStatusTip(LongHint(hint));
}

void SetHint(QAction* action, const QString& hint) {
  action->setToolTip(ShortHint(hint));
  action->setStatusTip(LongHint(hint));
}

void StyleAsLink(QLabel* label) {
  QFont font = label->font();
  font.setUnderline(true);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
  label->setPalette(palette);
  label->setCursor(Qt::PointingHandCursor);
}

QFont WindowFont() {
  QFont font;
  font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"),
                    QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  return font;
}

void MakeFixedDialogFrame(QWidget* window, int width, int height) {
  window->setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  window->setFixedSize(width, height);
}

void SetUpWindow(QWidget* window, const QString& name, const QString& caption, int width,
                 int height) {
  window->setObjectName(name);
  window->setWindowTitle(caption);
  window->setFont(WindowFont());
  MakeFixedDialogFrame(window, width, height);
}
