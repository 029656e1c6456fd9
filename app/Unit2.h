// TForm2: the detail window. It shows the headword and the description of the main window's
// current entry and steps through the entries with a record navigator; it is shown modally
// from the lexicon grid.
#pragma once

#include <QWidget>

#include <memory>

class TDataSource;
class TVdbDataSet;
class TDBTextLink;

class QLabel;
class QPlainTextEdit;
class QToolButton;

class TForm2 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm2(QWidget* parent = nullptr);
  ~TForm2() override;

  // Shows and moves the current record of Source (the main window's data source).
  void Bind(TDataSource& source);
  // The text to mark in the description (the main window's last search).
  void SetHighlight(const QString& term);
  // Binds to Source and shows the window modally; returns when it is closed.
  void ShowModal(TDataSource& source);

  QLabel* DBText1;          // the headword (CIMSZO)
  QPlainTextEdit* DBMemo1;  // the description (LEIRAS), read-only
  QWidget* DBNavigator2;    // first, prior, next, last, refresh
  QToolButton* NavFirst;
  QToolButton* NavPrior;
  QToolButton* NavNext;
  QToolButton* NavLast;
  QToolButton* NavRefresh;

 signals:
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Escape closes the window.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void SetUpAccessibility();
  QToolButton* AddNavigatorButton(const QString& name, const QString& glyph, const QString& hint,
                                  int index);
  void Navigate(void (*step)(TVdbDataSet&));
  TVdbDataSet* BoundDataSet() const;

  QString highlight_;
  std::unique_ptr<TDBTextLink> headwordLink_;
  std::unique_ptr<TDBTextLink> memoLink_;
};
