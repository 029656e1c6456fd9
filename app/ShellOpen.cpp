#include "ShellOpen.h"

#include <QDesktopServices>
#include <QUrl>

void TDesktopShellOpener::Open(const QString& target) {
  QDesktopServices::openUrl(QUrl::fromUserInput(target));
}
