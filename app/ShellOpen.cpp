#include "ShellOpen.h"

#include <QDesktopServices>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QUrl>

namespace {

// Turns a left-button release on its label into the label's click; it goes with the label.
class TClickFilter final : public QObject {
 public:
  TClickFilter(QLabel* label, std::function<void()> action) : QObject(label), action_(std::move(action)) {
    label->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
      action_();
      return true;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> action_;
};

}  // namespace

TShellOpen DesktopShellOpen() {
  return [](const QString& target) { QDesktopServices::openUrl(QUrl(target)); };
}

void OnLabelClick(QLabel* label, std::function<void()> action) {
  new TClickFilter(label, std::move(action));  // owned by the label (its parent)
}
