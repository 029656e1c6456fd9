// What a screen reader and a reader without a mouse need beyond what Qt's widgets give by
// themselves: names without the blanks and colons of the visible captions, separators read as
// separators, values read with their captions, empty labels left out of the tree, labels that
// work as links reachable by the keyboard, and polite announcements of what changed.
//
// The visible captions stay as they are; only what the accessibility interface reports changes.
#pragma once

#include <QObject>
#include <QString>

class QColor;
class QKeyEvent;
class QLabel;
class QWidget;

// A caption as a reader should say it: without the blanks around it and without a closing
// colon (" Lombkalauz:" -> "Lombkalauz").
QString SpokenCaption(const QString& caption);

// Registers the program's accessible interfaces with Qt; once per process, later calls do nothing.
void InstallAccessibleInterfaces();

// Names Control for a reader, with a description when one is given.
void SetAccessibleText(QWidget* control, const QString& name, const QString& description = {});

// Frame is read as a separator.
void MarkAsSeparator(QWidget* frame);

// Label shows a value (a counter, the clock) that means something only with its caption: it is
// read "Caption: value", or the caption alone while the label is empty.
void MarkAsCaptionedValue(QLabel* label, const QString& caption);

// A reader does not meet the labels of Container that show neither text nor picture.
void HideEmptyLabelsOf(QWidget* container);

// Label opens something when clicked: it is read as a link, Tab reaches it, Enter or Space opens
// it (as a click does) and its focus shows.
void MakeKeyboardLink(QLabel* label);

// Escape closes Window (a detail or popup window, as a dialog closes); true when Event was it.
bool CloseOnEscape(QWidget* window, const QKeyEvent* event);

// Tells a reader, without interrupting, that Region now shows Text (as the region's
// description); nothing when it says that already, so that an unchanged region stays quiet.
void AnnouncePolitely(QWidget* region, const QString& text);

// The announcements of the program's windows, for listeners besides the readers (the readers
// hear them only while the desktop's accessibility bridge is active).
class TAnnouncements final : public QObject {
  Q_OBJECT

 public:
  static TAnnouncements& Instance();

 signals:
  void Announced(QWidget* region, const QString& text);
};

// The contrast ratio of two colours (1 to 21), as the readability rules for text measure it.
double ContrastRatio(const QColor& first, const QColor& second);
