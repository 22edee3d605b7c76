#include "appstate.h"

AppState& appState() {
    static AppState state;
    return state;
}
