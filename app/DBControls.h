// Qt's views bound to a dataset through a data source: the grid's table model (one column,
// rows fetched in blocks as the view asks for them, so drawing headwords never loads a
// description), and links that keep a memo, a label or the grid's current row on the
// dataset's current record.
#pragma once

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QTableView>
#include <QHash>
#include <QString>

#include <functional>

#include "VdbDataSet.h"

class QLabel;
class QPlainTextEdit;

// The rows of a dataset, one column: field FieldName.
class TDBGridModel final : public QAbstractTableModel, private TDataLink {
 public:
  TDBGridModel(TDataSource& source, QString fieldName, QString title, QObject* parent);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  // The view's row of the current record; -1 when there is none.
  int CurrentRow() const;

  // Keeps View's current row and the dataset's current record together, both ways.
  void Bind(QTableView* view);

 private:
  void ActiveChanged() override { Reset(); }
  void DataSetChanged() override { Reset(); }
  void DataSetScrolled() override { SyncView(); }
  void Reset();
  void SyncView();
  void LoadBlock(int block) const;

  TVdbDataSet* DataSet() const { return LinkedSource() ? LinkedSource()->DataSet() : nullptr; }

  QString fieldName_;
  QString title_;
  QTableView* view_ = nullptr;
  bool syncing_ = false;
  int rows_ = 0;
  mutable QHash<int, QString> cache_;  // row -> text
};

// Shows a field of the current record in a text control (memo or label).
class TDBTextLink final : private TDataLink {
 public:
  TDBTextLink(TDataSource& source, QString fieldName, std::function<void(const QString&)> show);
  // The data source shown; null once it is gone.
  TDataSource* Source() const { return LinkedSource(); }

 private:
  void ActiveChanged() override { Show(); }
  void DataSetChanged() override { Show(); }
  void DataSetScrolled() override { Show(); }
  void RecordChanged() override { Show(); }
  void Show();

  QString fieldName_;
  std::function<void(const QString&)> show_;
};

// The text of field FieldName of the current record ("" when closed, empty or unknown).
QString CurrentFieldText(TVdbDataSet* dataSet, const QString& fieldName);

// The grid: typing jumps to the first row that starts with the letters typed in quick
// succession, found by the dataset in the column's order instead of by reading every row; Enter
// does what a double click does.
class TDBGridView final : public QTableView {
 public:
  using QTableView::QTableView;
  std::function<void(const QString& typed)> OnTypeAhead;
  std::function<void()> OnEnter;
  void keyboardSearch(const QString& search) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QString typed_;
  QElapsedTimer sinceLastKey_;
};

// Marks in Memo every occurrence of Term (case ignored) and every cross-reference target
// written "lásd: X"; an empty term marks only the cross-references.
void DecorateMemo(QPlainTextEdit* memo, const QString& term);
// The target X of the cross-reference "lásd: X" under the viewport point Point; empty if none.
QString CrossReferenceAt(const QPlainTextEdit* memo, const QPoint& point);
// Moves DataSet to the first headword (CIMSZO) starting with Text; false when there is none.
bool JumpToHeadword(TVdbDataSet* dataSet, const QString& text);
// Clicking a cross-reference in Memo moves DataSet to its headword.
void FollowCrossReferences(QPlainTextEdit* memo, std::function<TVdbDataSet*()> dataSet);
