#include "MainLoop.h"

int TMainLoop::Run() {
  if (endRequested_) return 0;
  return loop_.exec();
}

void TMainLoop::RequestEnd() {
  endRequested_ = true;
  // Marks only this loop for ending; nested modal loops keep running until they finish.
  loop_.exit(0);
}
