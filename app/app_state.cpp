#include "app/app_state.h"

// Deliberately leaked; see the header.
SharedState& AppState = *new SharedState();
