#pragma once
// What the main window keeps of itself across its handlers: its two heights
// and whether it sits in the notification area. Everything else the program
// knows (house code, interface, port, password, the click pad's selection)
// belongs to the core service. Everything runs on the user-interface thread,
// so nothing here is locked.

#include <cstdint>

struct AppState {
    int16_t iHeightContracted = 0;  // window height in twips with the logs hidden (990)
    int16_t iHeightExpanded = 0;    // window height in twips with the logs shown (3960)
    bool bInTray = false;           // the window is hidden in the notification area
};

// The one instance.
AppState& appState();
