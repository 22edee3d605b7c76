#pragma once
// The window's own keys in [Startup] of the settings file.

#include <QString>

namespace settings {

inline const QString kTop = QStringLiteral("F1Top");    // window position, twips
inline const QString kLeft = QStringLiteral("F1Left");  // window position, twips
// "0": the program runs as a program; anything else: installed as a service.
inline const QString kService = QStringLiteral("Service");

// A stored window position in twips: its leading number rounded half to
// even, never below 0 and never beyond what a screen coordinate can hold.
int readPosition(const QString& text);

}  // namespace settings
