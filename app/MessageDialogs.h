// The modal message boxes of the program behind one small interface, so that the window logic
// runs unchanged with real boxes, with scripted answers in tests, and with the answer hook of
// the executable (see main.cpp).
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <iosfwd>

class QWidget;

class TMessageDialogs {
 public:
  virtual ~TMessageDialogs() = default;

  // A plain modal message box with an OK button (the platform's ShowMessage).
  virtual void ShowMessage(QWidget* parent, const QString& text) = 0;

  // A modal question with the buttons Yes and No; true for Yes.
  virtual bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) = 0;
};

// Real message boxes.
class TQtMessageDialogs final : public TMessageDialogs {
 public:
  void ShowMessage(QWidget* parent, const QString& text) override;
  bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) override;
};

// Answers the questions from a fixed list, in order, and remembers every text shown. When the
// list is used up, a question is answered No (so a close is never confirmed by accident) and the
// fact is noted. With an echo stream, every box is also written there, one line each:
//   lombkalauz: message: <text>
//   lombkalauz: question: <caption> <text> -> yes|no[ (no answer left)]
class TScriptedMessageDialogs final : public TMessageDialogs {
 public:
  explicit TScriptedMessageDialogs(std::deque<bool> answers = {}, std::ostream* echo = nullptr);

  // Parses "yes,no,..." (case-insensitive, blanks ignored); unknown words are an error.
  static std::deque<bool> ParseAnswers(const QString& list, bool* ok);

  void ShowMessage(QWidget* parent, const QString& text) override;
  bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) override;

  void AddAnswer(bool yes) { answers_.push_back(yes); }

  const QStringList& Messages() const { return messages_; }
  const QStringList& Questions() const { return questions_; }
  const QStringList& QuestionCaptions() const { return captions_; }
  int UnansweredQuestions() const { return unanswered_; }

 private:
  std::deque<bool> answers_;
  std::ostream* echo_;
  QStringList messages_;
  QStringList questions_;
  QStringList captions_;
  int unanswered_ = 0;
};
