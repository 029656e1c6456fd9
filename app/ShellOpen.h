// Handing a target (a web address, a "mailto:" address) to the desktop's "open" action, behind
// one replaceable call so that tests can see the target without a browser or mail program.
#pragma once

#include <QString>

#include <functional>

class QLabel;

using TShellOpen = std::function<void(const QString& target)>;

// Opens Target with the desktop's default program for it.
TShellOpen DesktopShellOpen();

// Runs Action when Label is clicked with the left mouse button, or Enter or Space is pressed
// while it has the focus.
void OnLabelClick(QLabel* label, std::function<void()> action);
