#pragma once
// Module-wide state of the program: one instance, shared by the main window,
// the device control and the command interpreter. Everything runs on the
// user-interface thread, so nothing here is locked.

#include <QString>
#include <cstdint>

struct AppState {
    QString sHouseCode;             // base house code of every command sent
    bool bCP290 = false;            // interface of this run: false two-way, true CP290
    int16_t iComPort = 0;           // serial port number of the interface
    int16_t iHeightContracted = 0;  // window height in twips with the logs hidden (990)
    int16_t iHeightExpanded = 0;    // window height in twips with the logs shown (3960)
    bool bInTray = false;           // the window is hidden in the notification area
    int16_t iLastUnit = 0;          // unit the dim slider acts on; 0 = none
    int16_t iLastDim = 0;           // slider value at the end of the last change handling
    int16_t iDimUnit = 0;           // iLastUnit as it stood at that moment
    QString sConPassword;           // connection password; memory only
};

// The one instance.
AppState& appState();
