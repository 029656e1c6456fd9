#include "DBControls.h"

#include <QApplication>
#include <QFont>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTextBlock>
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
    : QAbstractTableModel(parent), fieldName_(std::move(fieldName)), title_(std::move(title)) {
  source.AddLink(this);
  Reset();
}

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
  TVdbDataSet* dataSet = DataSet();
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
  TVdbDataSet* dataSet = DataSet();
  if (!dataSet || !dataSet->Active() || dataSet->IsEmpty()) return -1;
  return dataSet->RecNo() - 1;
}

void TDBGridModel::Reset() {
  beginResetModel();
  cache_.clear();
  TVdbDataSet* dataSet = DataSet();
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
                     TVdbDataSet* dataSet = DataSet();
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
    : fieldName_(std::move(fieldName)), show_(std::move(show)) {
  source.AddLink(this);
}

void TDBTextLink::Show() {
  show_(CurrentFieldText(LinkedSource() ? LinkedSource()->DataSet() : nullptr, fieldName_));
}

// --- Type-ahead, highlighting and cross-references ----------------------------------------------

void TDBGridView::keyboardSearch(const QString& search) {
  if (search.isEmpty()) return;
  if (!sinceLastKey_.isValid() || sinceLastKey_.elapsed() > QApplication::keyboardInputInterval())
    typed_.clear();
  sinceLastKey_.start();
  typed_ += search;
  if (OnTypeAhead) OnTypeAhead(typed_);
}

void TDBGridView::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && event->modifiers() == Qt::NoModifier && OnEnter && currentIndex().isValid()) {
    OnEnter();
    event->accept();
    return;
  }
  QTableView::keyPressEvent(event);
}

namespace {

// "lásd: X" up to the closing parenthesis, the end of the sentence or of the line.
const QRegularExpression& CrossReferencePattern() {
  static const QRegularExpression pattern(QStringLiteral("lásd:\\s*([^().,;\\n]+[^().,;\\s])"),
                                          QRegularExpression::CaseInsensitiveOption);
  return pattern;
}

QTextEdit::ExtraSelection Marked(QTextDocument* document, int start, int length, const QTextCharFormat& format) {
  QTextEdit::ExtraSelection selection;
  selection.cursor = QTextCursor(document);
  selection.cursor.setPosition(start);
  selection.cursor.setPosition(start + length, QTextCursor::KeepAnchor);
  selection.format = format;
  return selection;
}

}  // namespace

void DecorateMemo(QPlainTextEdit* memo, const QString& term) {
  QList<QTextEdit::ExtraSelection> marks;
  const QString text = memo->toPlainText();
  QTextDocument* document = memo->document();
  QTextCharFormat link;
  link.setForeground(QColor(0, 0, 255));
  link.setFontUnderline(true);
  for (auto match = CrossReferencePattern().globalMatch(text); match.hasNext();) {
    const QRegularExpressionMatch found = match.next();
    marks << Marked(document, static_cast<int>(found.capturedStart(1)), static_cast<int>(found.capturedLength(1)), link);
  }
  if (!term.isEmpty()) {
    QTextCharFormat hit;
    hit.setBackground(QColor(255, 230, 120));
    for (qsizetype at = text.indexOf(term, 0, Qt::CaseInsensitive); at >= 0;
         at = text.indexOf(term, at + term.size(), Qt::CaseInsensitive))
      marks << Marked(document, static_cast<int>(at), static_cast<int>(term.size()), hit);
  }
  memo->setExtraSelections(marks);
}

QString CrossReferenceAt(const QPlainTextEdit* memo, const QPoint& point) {
  const int position = memo->cursorForPosition(point).position();
  const QString text = memo->toPlainText();
  for (auto match = CrossReferencePattern().globalMatch(text); match.hasNext();) {
    const QRegularExpressionMatch found = match.next();
    if (position >= found.capturedStart(1) && position <= found.capturedEnd(1)) return found.captured(1).trimmed();
  }
  return {};
}

bool JumpToHeadword(TVdbDataSet* dataSet, const QString& text) {
  if (!dataSet || !dataSet->Active() || dataSet->IsEmpty() || text.isEmpty()) return false;
  return dataSet->LocatePrefix("CIMSZO", text.toStdU16String());
}

namespace {

class TCrossReferenceClicks final : public QObject {
 public:
  TCrossReferenceClicks(QPlainTextEdit* memo, std::function<TVdbDataSet*()> dataSet)
      : QObject(memo), memo_(memo), dataSet_(std::move(dataSet)) {
    memo->viewport()->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease) {
      const QString target = CrossReferenceAt(memo_, static_cast<QMouseEvent*>(event)->position().toPoint());
      if (!target.isEmpty()) JumpToHeadword(dataSet_(), target);
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QPlainTextEdit* memo_;
  std::function<TVdbDataSet*()> dataSet_;
};

}  // namespace

void FollowCrossReferences(QPlainTextEdit* memo, std::function<TVdbDataSet*()> dataSet) {
  new TCrossReferenceClicks(memo, std::move(dataSet));  // owned by the memo (its parent)
}
