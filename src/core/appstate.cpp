#include "core/appstate.h"

AppState appState;
