// Lombkalauz: program start.
//
// Test hook: when the environment variable LOMBKALAUZ_DIALOG_ANSWERS is set, no message box is
// shown. The questions are answered in order from its comma-separated list of "yes" and "no"
// (a question beyond the list is answered No), and every message box, and the end of the main
// window's show handler, is written to stderr as a line of its own:
//   lombkalauz: message: <text>
//   lombkalauz: question: <caption> <text> -> yes|no
//   lombkalauz: shown
// Unset (the default), the program shows real message boxes.
#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <iostream>
#include <memory>

#include "MainLoop.h"
#include "MessageDialogs.h"
#include "Resources.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unit3.h"

namespace {

constexpr char kAnswersVariable[] = "LOMBKALAUZ_DIALOG_ANSWERS";

std::unique_ptr<TMessageDialogs> MakeDialogs() {
  if (!qEnvironmentVariableIsSet(kAnswersVariable)) return std::make_unique<TQtMessageDialogs>();
  bool ok = false;
  auto answers = TScriptedMessageDialogs::ParseAnswers(qEnvironmentVariable(kAnswersVariable), &ok);
  if (!ok) std::cerr << "lombkalauz: " << kAnswersVariable << ": only yes and no are answers\n";
  return std::make_unique<TScriptedMessageDialogs>(std::move(answers), &std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Lombkalauz"));
  // The main window's close handler decides whether the program ends; Qt does not end it when
  // the last window closes.
  QApplication::setQuitOnLastWindowClosed(false);

  const std::unique_ptr<TMessageDialogs> dialogs = MakeDialogs();
  const TEmbeddedResources resources;
  TMainLoop mainLoop;

  // Every top-level window appears on the task bar; the main window is created first.
  TForm1 form1(*dialogs, mainLoop, resources);
  TForm2 form2;
  TForm3 form3;
  form1.AttachWindows(&form2, &form3);
  if (qEnvironmentVariableIsSet(kAnswersVariable))
    QObject::connect(&form1, &TForm1::Shown, [] { std::cerr << "lombkalauz: shown" << std::endl; });

  // The window is shown from inside the event loop, so that its show handler runs there.
  QTimer::singleShot(0, &form1, [&form1] { form1.show(); });
  return mainLoop.Run();
}
