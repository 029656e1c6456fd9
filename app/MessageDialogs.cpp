#include "MessageDialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <ostream>

void TQtMessageDialogs::ShowMessage(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text, QMessageBox::Ok,
                  parent);
  box.exec();
}

bool TQtMessageDialogs::AskYesNo(QWidget* parent, const QString& text, const QString& caption) {
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                  parent);
  // The program speaks Hungarian throughout, its buttons too.
  box.button(QMessageBox::Yes)->setText(QStringLiteral("Igen"));
  box.button(QMessageBox::No)->setText(QStringLiteral("Nem"));
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

TScriptedMessageDialogs::TScriptedMessageDialogs(std::deque<bool> answers, std::ostream* echo)
    : answers_(std::move(answers)), echo_(echo) {}

std::deque<bool> TScriptedMessageDialogs::ParseAnswers(const QString& list, bool* ok) {
  std::deque<bool> answers;
  *ok = true;
  for (const QString& word : list.split(',', Qt::SkipEmptyParts)) {
    const QString answer = word.trimmed().toLower();
    if (answer == "yes")
      answers.push_back(true);
    else if (answer == "no")
      answers.push_back(false);
    else if (!answer.isEmpty())
      *ok = false;
  }
  return answers;
}

void TScriptedMessageDialogs::ShowMessage(QWidget*, const QString& text) {
  messages_.push_back(text);
  if (echo_) *echo_ << "lombkalauz: message: " << text.toStdString() << std::endl;
}

bool TScriptedMessageDialogs::AskYesNo(QWidget*, const QString& text, const QString& caption) {
  questions_.push_back(text);
  captions_.push_back(caption);
  const bool answered = !answers_.empty();
  bool yes = false;
  if (answered) {
    yes = answers_.front();
    answers_.pop_front();
  } else {
    ++unanswered_;
  }
  if (echo_)
    *echo_ << "lombkalauz: question: " << caption.toStdString() << " " << text.toStdString()
           << " -> " << (yes ? "yes" : "no") << (answered ? "" : " (no answer left)")
           << std::endl;
  return yes;
}
