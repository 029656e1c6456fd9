// The program's main event loop and the request to end it.
//
// A request to end the application takes effect only when control is back in the main loop:
// the handler that asks for it carries on with its remaining steps, and every modal message box
// it shows afterwards still waits for the user. Qt's own QCoreApplication::quit() does not fit:
// it closes every window first (which would run the main window's close question) and it is
// swallowed by whichever nested modal loop happens to run, so the main loop would never end.
// TMainLoop therefore runs a loop of its own and ends only that one.
#pragma once

#include <QEventLoop>

class TMainLoop {
 public:
  // Runs the loop until an end is requested; returns at once when that happened before.
  int Run();

  // Asks for the end of the application; may be called any number of times.
  void RequestEnd();

  bool EndRequested() const { return endRequested_; }

 private:
  QEventLoop loop_;
  bool endRequested_ = false;
};
