// Small helpers for building the windows' controls.
#pragma once

#include <QFont>
#include <QString>
#include <QWidget>

#include <memory>
#include <utility>

class QAction;
class QLabel;

// Creates a control named Name as a child of Parent; the parent owns it from then on and
// deletes it with itself, as every control of a window is owned by its window.
template <typename T, typename... Args>
T* MakeChild(QWidget* parent, const QString& name, Args&&... args) {
  auto control = std::make_unique<T>(std::forward<Args>(args)...);
  control->setObjectName(name);
  control->setParent(parent);
  return control.release();
}

// Like MakeChild, and places the control at (Left, Top) with the size Width x Height.
template <typename T, typename... Args>
T* PlaceChild(QWidget* parent, const QString& name, int left, int top, int width, int height,
              Args&&... args) {
  T* control = MakeChild<T>(parent, name, std::forward<Args>(args)...);
  control->setGeometry(left, top, width, height);
  return control;
}

// A hint is "short|long": the short part shows as the tool tip, the long part in the status
// bar; a hint without "|" is both.
QString ShortHint(const QString& hint);
QString LongHint(const QString& hint);
void SetHint(QWidget* control, const QString& hint);
void SetHint(QAction* action, const QString& hint);

// Shows a label as a link: underlined, in the link colour, with the hand cursor.
void StyleAsLink(QLabel* label);

// The font of every window: Tahoma, 11 pixels high, falling back to a similar sans-serif
// family where Tahoma is not installed.
QFont WindowFont();

// Fixes Window to a client area of Width x Height with a single border, the system menu, the
// minimise and close boxes and no maximise box.
void MakeFixedDialogFrame(QWidget* window, int width, int height);

// Names Window, gives it its caption and the window font, and fixes its client area.
void SetUpWindow(QWidget* window, const QString& name, const QString& caption, int width,
                 int height);
