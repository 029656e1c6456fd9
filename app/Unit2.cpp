#include "Unit2.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QCloseEvent>
#include <QAction>
#include <QEventLoop>
#include <QKeyEvent>
#include <QKeySequence>
#include <QToolButton>

#include <utility>

#include "Accessibility.h"
#include "DBControls.h"

#include "Controls.h"

namespace {
constexpr int kClientWidth = 520;
constexpr int kClientHeight = 420;
constexpr int kNavigatorButtonWidth = 40;
constexpr int kNavigatorHeight = 25;
}  // namespace

TForm2::TForm2(QWidget* parent) : QWidget(parent) {
  SetUpWindow(this, QStringLiteral("Form2"), QStringLiteral(" Találat:"), kClientWidth,
              kClientHeight);

  DBText1 = PlaceChild<QLabel>(this, QStringLiteral("DBText1"), 8, 8, kClientWidth - 16, 20);
  QFont headword = DBText1->font();
  headword.setBold(true);
  headword.setPixelSize(13);
  DBText1->setFont(headword);

  DBMemo1 = PlaceChild<QPlainTextEdit>(this, QStringLiteral("DBMemo1"), 8, 34, kClientWidth - 16,
                                       kClientHeight - 34 - kNavigatorHeight - 16);
  DBMemo1->setReadOnly(true);
  DBMemo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  DBMemo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  DBNavigator2 = PlaceChild<QWidget>(this, QStringLiteral("DBNavigator2"),
                                     (kClientWidth - 5 * kNavigatorButtonWidth) / 2,
                                     kClientHeight - kNavigatorHeight - 8,
                                     5 * kNavigatorButtonWidth, kNavigatorHeight);
  NavFirst = AddNavigatorButton(QStringLiteral("nbFirst"), QStringLiteral("|◀"),
                                QStringLiteral("Első rekord|Első rekord !"), 0);
  NavPrior = AddNavigatorButton(QStringLiteral("nbPrior"), QStringLiteral("◀"),
                                QStringLiteral("Előző rekord|Előző rekord !"), 1);
  NavNext = AddNavigatorButton(QStringLiteral("nbNext"), QStringLiteral("▶"),
                               QStringLiteral("Következő rekord|Következő rekord !"), 2);
  NavLast = AddNavigatorButton(QStringLiteral("nbLast"), QStringLiteral("▶|"),
                               QStringLiteral("Utolsó rekord|Utolsó rekord !"), 3);
  NavRefresh = AddNavigatorButton(QStringLiteral("nbRefresh"), QStringLiteral("↻"),
                                  QStringLiteral("Frissítés|Frissítés !"), 4);
  connect(NavFirst, &QToolButton::clicked, this, [this] { Navigate([](TVdbDataSet& d) { d.First(); }); });
  connect(NavPrior, &QToolButton::clicked, this, [this] { Navigate([](TVdbDataSet& d) { d.Prior(); }); });
  connect(NavNext, &QToolButton::clicked, this, [this] { Navigate([](TVdbDataSet& d) { d.Next(); }); });
  connect(NavLast, &QToolButton::clicked, this, [this] { Navigate([](TVdbDataSet& d) { d.Last(); }); });
  connect(NavRefresh, &QToolButton::clicked, this, [this] { Navigate([](TVdbDataSet& d) { d.Refresh(); }); });
  SetUpAccessibility();
}

void TForm2::SetUpAccessibility() {
  InstallAccessibleInterfaces();
  setAccessibleName(SpokenCaption(windowTitle()));
  HideEmptyLabelsOf(this);
  MarkAsCaptionedValue(DBText1, QStringLiteral("Címszó"));
  SetAccessibleText(DBMemo1, QStringLiteral("Leírás"));
  SetAccessibleText(DBNavigator2, QStringLiteral("Léptetés"));
  // The navigator's moves on the keys: arrows for the neighbours, Ctrl+Home and Ctrl+End for
  // the ends, F5 to refresh; the description's own keys (Up, Down, Page Up, Page Down) scroll.
  const std::pair<QToolButton*, QKeySequence> keys[] = {
      {NavFirst, QKeySequence(Qt::CTRL | Qt::Key_Home)}, {NavPrior, QKeySequence(Qt::Key_Left)},
      {NavNext, QKeySequence(Qt::Key_Right)},            {NavLast, QKeySequence(Qt::CTRL | Qt::Key_End)},
      {NavRefresh, QKeySequence(Qt::Key_F5)}};
  for (const auto& [button, key] : keys) {
    auto* move = MakeChild<QAction>(this, button->objectName() + QStringLiteral("Key"));
    move->setShortcut(key);
    addAction(move);
    connect(move, &QAction::triggered, button, &QToolButton::click);
  }
}

void TForm2::keyPressEvent(QKeyEvent* event) {
  if (!CloseOnEscape(this, event)) QWidget::keyPressEvent(event);
}

TForm2::~TForm2() = default;

void TForm2::Bind(TDataSource& source) {
  if (headwordLink_ && headwordLink_->Source() == &source) return;
  headwordLink_ = std::make_unique<TDBTextLink>(source, QStringLiteral("CIMSZO"),
                                                [this](const QString& text) { DBText1->setText(text); });
  memoLink_ = std::make_unique<TDBTextLink>(source, QStringLiteral("LEIRAS"),
                                            [this](const QString& text) {
                                              DBMemo1->setPlainText(text);
                                              DecorateMemo(DBMemo1, highlight_);
                                            });
  FollowCrossReferences(DBMemo1, [this] { return BoundDataSet(); });
  DBText1->setText(CurrentFieldText(source.DataSet(), QStringLiteral("CIMSZO")));
  DBMemo1->setPlainText(CurrentFieldText(source.DataSet(), QStringLiteral("LEIRAS")));
  DecorateMemo(DBMemo1, highlight_);
}

TVdbDataSet* TForm2::BoundDataSet() const {
  TDataSource* source = headwordLink_ ? headwordLink_->Source() : nullptr;
  return source ? source->DataSet() : nullptr;
}

void TForm2::SetHighlight(const QString& term) {
  highlight_ = term;
  DecorateMemo(DBMemo1, highlight_);
}

void TForm2::ShowModal(TDataSource& source) {
  Bind(source);
  setWindowModality(Qt::ApplicationModal);
  show();
  DBMemo1->setFocus();
  QEventLoop loop;
  connect(this, &TForm2::Closed, &loop, &QEventLoop::quit);
  loop.exec();
}

void TForm2::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  emit Closed();
}

// The navigator's buttons do nothing on a closed or empty dataset.
void TForm2::Navigate(void (*step)(TVdbDataSet&)) {
  TVdbDataSet* dataSet = BoundDataSet();
  if (!dataSet || !dataSet->Active() || dataSet->IsEmpty()) return;
  step(*dataSet);
}

QToolButton* TForm2::AddNavigatorButton(const QString& name, const QString& glyph,
                                        const QString& hint, int index) {
  auto* button = PlaceChild<QToolButton>(DBNavigator2, name, index * kNavigatorButtonWidth, 0,
                                         kNavigatorButtonWidth, kNavigatorHeight);
  button->setText(glyph);
  SetHint(button, hint);
  // Read by what it does, not by its glyph.
  SetAccessibleText(button, ShortHint(hint), LongHint(hint));
  return button;
}
