// TForm2: the detail window. It shows the headword and the description of the main window's
// current entry and steps through the entries with a record navigator; it is shown modally
// from the lexicon grid.
#pragma once

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QToolButton;

class TForm2 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm2(QWidget* parent = nullptr);

  QLabel* DBText1;          // the headword (CIMSZO)
  QPlainTextEdit* DBMemo1;  // the description (LEIRAS), read-only
  QWidget* DBNavigator2;    // first, prior, next, last, refresh
  QToolButton* NavFirst;
  QToolButton* NavPrior;
  QToolButton* NavNext;
  QToolButton* NavLast;
  QToolButton* NavRefresh;

 private:
  QToolButton* AddNavigatorButton(const QString& name, const QString& glyph, const QString& hint,
                                  int index);
};
