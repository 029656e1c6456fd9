#include "ShellOpen.h"

#include <QDesktopServices>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QUrl>

namespace {

// Turns a left-button release on its label, and Enter or Space while the label has the focus,
// into the label's click; it goes with the label.
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
    if (event->type() == QEvent::KeyPress && IsActivationKey(static_cast<QKeyEvent*>(event)->key())) {
      action_();
      return true;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  static bool IsActivationKey(int key) {
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space;
  }

  std::function<void()> action_;
};

}  // namespace

TShellOpen DesktopShellOpen() {
  return [](const QString& target) { QDesktopServices::openUrl(QUrl(target)); };
}

void OnLabelClick(QLabel* label, std::function<void()> action) {
  new TClickFilter(label, std::move(action));  // owned by the label (its parent)
}
