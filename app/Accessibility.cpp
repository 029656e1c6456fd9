#include "Accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QColor>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>

#include <algorithm>
#include <cmath>

namespace {

// The kind of accessible interface a control asks for, kept as a property of the control so
// that the factory, which Qt asks on the first use, finds it.
constexpr char kKindProperty[] = "lombkalauzAccessibleKind";
constexpr char kCaptionProperty[] = "lombkalauzAccessibleCaption";
const QString kSeparator = QStringLiteral("separator");
const QString kCaptionedValue = QStringLiteral("captionedValue");
const QString kHidesEmptyLabels = QStringLiteral("hidesEmptyLabels");
const QString kLink = QStringLiteral("link");

QString KindOf(const QObject* object) { return object->property(kKindProperty).toString(); }

// Gives Control the program's interface of Kind. A reader that is already running may have had
// Qt make the control's usual interface while the window was built: that one is dropped, so
// that the next question makes the program's.
void SetKind(QWidget* control, const QString& kind) {
  control->setProperty(kKindProperty, kind);
  if (QAccessibleInterface* made = QAccessible::queryAccessibleInterface(control))
    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

bool IsEmptyLabel(const QWidget* widget) {
  const auto* label = qobject_cast<const QLabel*>(widget);
  return label && label->text().isEmpty() && label->pixmap().isNull();
}

class TSeparatorAccessible final : public QAccessibleWidget {
 public:
  explicit TSeparatorAccessible(QWidget* frame) : QAccessibleWidget(frame, QAccessible::Separator) {}
};

class TCaptionedValueAccessible final : public QAccessibleWidget {
 public:
  explicit TCaptionedValueAccessible(QLabel* label)
      : QAccessibleWidget(label, QAccessible::StaticText) {}

  QString text(QAccessible::Text which) const override {
    if (which != QAccessible::Name) return QAccessibleWidget::text(which);
    const QString caption = widget()->property(kCaptionProperty).toString();
    const QString value = static_cast<const QLabel*>(widget())->text().trimmed();
    return value.isEmpty() ? caption : caption + QStringLiteral(": ") + value;
  }
};

class TLinkAccessible final : public QAccessibleWidget {
 public:
  explicit TLinkAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::Link) {}

  QString text(QAccessible::Text which) const override {
    if (which == QAccessible::Name && widget()->accessibleName().isEmpty())
      return static_cast<const QLabel*>(widget())->text().trimmed();
    return QAccessibleWidget::text(which);
  }
  QStringList actionNames() const override {
    return QStringList(pressAction()) + QAccessibleWidget::actionNames();
  }
  void doAction(const QString& action) override {
    if (action != pressAction()) return QAccessibleWidget::doAction(action);
    // Opened as Enter opens it, by the label's own click handling.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(widget(), &enter);
  }
};

// A container whose children are its child controls less the empty labels.
class TContainerAccessible final : public QAccessibleWidget {
 public:
  explicit TContainerAccessible(QWidget* container)
      : QAccessibleWidget(container, RoleOf(container)) {}

  QString text(QAccessible::Text which) const override {
    const auto* box = qobject_cast<const QGroupBox*>(widget());
    if (which == QAccessible::Name && box && widget()->accessibleName().isEmpty())
      return SpokenCaption(box->title());
    return QAccessibleWidget::text(which);
  }
  int childCount() const override { return static_cast<int>(Children().size()); }
  QAccessibleInterface* child(int index) const override {
    const QList<QWidget*> children = Children();
    if (index < 0 || index >= children.size()) return nullptr;
    return QAccessible::queryAccessibleInterface(children.at(index));
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    if (!child) return -1;
    return static_cast<int>(Children().indexOf(qobject_cast<QWidget*>(child->object())));
  }

 private:
  static QAccessible::Role RoleOf(const QWidget* container) {
    if (container->isWindow()) return QAccessible::Window;
    if (qobject_cast<const QGroupBox*>(container)) return QAccessible::Grouping;
    return QAccessible::Client;
  }
  QList<QWidget*> Children() const {
    QList<QWidget*> children;
    for (QObject* object : widget()->children()) {
      auto* child = qobject_cast<QWidget*>(object);
      if (child && !child->isWindow() && !qobject_cast<QMenu*>(child) && !IsEmptyLabel(child))
        children.append(child);
    }
    return children;
  }
};

QAccessibleInterface* ProgramInterfaces(const QString& /*className*/, QObject* object) {
  auto* widget = qobject_cast<QWidget*>(object);
  if (!widget) return nullptr;
  const QString kind = KindOf(widget);
  auto* label = qobject_cast<QLabel*>(widget);
  if (kind == kSeparator) return new TSeparatorAccessible(widget);
  if (kind == kCaptionedValue && label) return new TCaptionedValueAccessible(label);
  if (kind == kLink && label) return new TLinkAccessible(label);
  if (kind == kHidesEmptyLabels) return new TContainerAccessible(widget);
  return nullptr;
}

double RelativeLuminance(const QColor& colour) {
  auto channel = [](double value) {
    return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
  };
  const QColor rgb = colour.toRgb();
  return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
         0.0722 * channel(rgb.blueF());
}

}  // namespace

QString SpokenCaption(const QString& caption) {
  QString spoken = caption.trimmed();
  while (spoken.endsWith(QChar(':'))) spoken.chop(1);
  return spoken.trimmed();
}

void InstallAccessibleInterfaces() {
  // Qt takes the interfaces of the later factories first, and ours only for the controls that
  // carry the kind property.
  static const bool installed = [] {
    QAccessible::installFactory(ProgramInterfaces);
    return true;
  }();
  (void)installed;
}

void SetAccessibleText(QWidget* control, const QString& name, const QString& description) {
  control->setAccessibleName(name);
  if (!description.isEmpty()) control->setAccessibleDescription(description);
}

void MarkAsSeparator(QWidget* frame) { SetKind(frame, kSeparator); }

void MarkAsCaptionedValue(QLabel* label, const QString& caption) {
  label->setProperty(kCaptionProperty, caption);
  SetKind(label, kCaptionedValue);
}

void HideEmptyLabelsOf(QWidget* container) {
  SetKind(container, kHidesEmptyLabels);
}

void MakeKeyboardLink(QLabel* label) {
  SetKind(label, kLink);
  label->setFocusPolicy(Qt::TabFocus);
  // A label draws no focus of its own: a dotted frame in the link's colour shows it.
  label->setStyleSheet(QStringLiteral("QLabel:focus { border: 1px dotted; }"));
}

bool CloseOnEscape(QWidget* window, const QKeyEvent* event) {
  if (event->key() != Qt::Key_Escape || event->modifiers() != Qt::NoModifier) return false;
  window->close();
  return true;
}

void AnnouncePolitely(QWidget* region, const QString& text) {
  if (region->accessibleDescription() == text) return;
  region->setAccessibleDescription(text);
  // Qt changes the description without telling the readers: the event is ours to send.
  QAccessibleEvent changed(region, QAccessible::DescriptionChanged);
  QAccessible::updateAccessibility(&changed);
  emit TAnnouncements::Instance().Announced(region, text);
}

TAnnouncements& TAnnouncements::Instance() {
  static TAnnouncements announcements;
  return announcements;
}

double ContrastRatio(const QColor& first, const QColor& second) {
  const double a = RelativeLuminance(first);
  const double b = RelativeLuminance(second);
  return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}
