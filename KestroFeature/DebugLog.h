#pragma once

#include <QString>

// The program's one diagnostic channel: the system journal (message kept private) and one
// line appended to ~/ondari_debug.log. Never fails visibly.
void debugLog(const QString& message);
