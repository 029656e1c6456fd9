#include "DBControls.h"

#include <QFont>
#include <QItemSelectionModel>
#include <QTableView>

namespace {
constexpr int kBlockRows = 64;  // rows fetched together while the grid scrolls
}

QString CurrentFieldText(TVdbDataSet* dataSet, const QString& fieldName) {
  if (!dataSet || !dataSet->Active() || dataSet->IsEmpty()) return {};
  TVdbField* field = dataSet->FindField(fieldName.toStdString());
  if (!field) return {};
  QString text = QString::fromStdU16String(field->AsText());
  text.remove(QChar('\r'));
  return text;
}

TDBGridModel::TDBGridModel(TDataSource& source, QString fieldName, QString title, QObject* parent)
    : QAbstractTableModel(parent), source_(source), fieldName_(std::move(fieldName)), title_(std::move(title)) {
  source_.AddLink(this);
  Reset();
}

TDBGridModel::~TDBGridModel() { source_.RemoveLink(this); }

int TDBGridModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }
int TDBGridModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 1; }

QVariant TDBGridModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows_) return {};
  if (!cache_.contains(index.row())) LoadBlock(index.row() / kBlockRows);
  return cache_.value(index.row());
}

QVariant TDBGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section != 0) return {};
  if (role == Qt::DisplayRole) return title_;
  if (role == Qt::FontRole) {
    QFont bold;
    bold.setBold(true);
    return bold;
  }
  return {};
}

void TDBGridModel::LoadBlock(int block) const {
  TVdbDataSet* dataSet = source_.DataSet();
  if (!dataSet || !dataSet->Active()) return;
  TVdbField* field = dataSet->FindField(fieldName_.toStdString());
  if (!field) return;
  const int first = block * kBlockRows;
  const int last = std::min(rows_, first + kBlockRows);
  for (int row = first; row < last; ++row) {
    TRecordBuffer buffer;
    const bool read = dataSet->ReadRecordAt(row + 1, buffer);
    cache_.insert(row, read ? QString::fromStdU16String(TVdbDataSet::BufferText(buffer, *field)) : QString());
  }
}

int TDBGridModel::CurrentRow() const {
  TVdbDataSet* dataSet = source_.DataSet();
  if (!dataSet || !dataSet->Active() || dataSet->IsEmpty()) return -1;
  return dataSet->RecNo() - 1;
}

void TDBGridModel::Reset() {
  beginResetModel();
  cache_.clear();
  TVdbDataSet* dataSet = source_.DataSet();
  rows_ = dataSet && dataSet->Active() ? std::max(0, dataSet->RecordCount()) : 0;
  endResetModel();
  SyncView();
}

void TDBGridModel::Bind(QTableView* view) {
  view_ = view;
  view->setModel(this);
  QObject::connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
                   [this](const QModelIndex& current) {
                     if (syncing_ || !current.isValid()) return;
                     TVdbDataSet* dataSet = source_.DataSet();
                     if (!dataSet || !dataSet->Active() || dataSet->IsEmpty()) return;
                     const int now = dataSet->RecNo() - 1;
                     if (current.row() != now) dataSet->MoveBy(current.row() - now);
                   });
  SyncView();
}

void TDBGridModel::SyncView() {
  if (!view_ || !view_->selectionModel()) return;
  const int row = CurrentRow();
  syncing_ = true;
  if (row >= 0) {
    const QModelIndex index = this->index(row, 0);
    view_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view_->scrollTo(index);
  } else {
    view_->selectionModel()->clear();
  }
  syncing_ = false;
}

TDBTextLink::TDBTextLink(TDataSource& source, QString fieldName, std::function<void(const QString&)> show)
    : source_(source), fieldName_(std::move(fieldName)), show_(std::move(show)) {
  source_.AddLink(this);
}

TDBTextLink::~TDBTextLink() { source_.RemoveLink(this); }

void TDBTextLink::Show() { show_(CurrentFieldText(source_.DataSet(), fieldName_)); }
