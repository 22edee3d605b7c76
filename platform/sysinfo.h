#pragma once
// The desktop's system-information program: the first of hardinfo,
// kinfocenter and gnome-system-monitor found on PATH.

#include <QString>

namespace platform {

// Path of the program that would be started; empty when none is installed.
QString systemInformationProgram();

// Starts it detached; false when none is installed or it failed to start.
bool startSystemInformation();

}  // namespace platform
