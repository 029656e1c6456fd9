// The platform shell's "open" verb: a web address opens in the browser, a mailto: address in the
// mail program. Behind an interface so that the window can be driven without a desktop.
#pragma once

#include <QString>

class TShellOpener {
 public:
  virtual ~TShellOpener() = default;
  virtual void Open(const QString& target) = 0;
};

// Hands the target to the desktop; a failure to open is not reported (nothing can be done).
class TDesktopShellOpener final : public TShellOpener {
 public:
  void Open(const QString& target) override;
};
