#include "app/app_state.h"

// Deliberately leaked; see the header.
SharedState& AppState = *new SharedState();

void PostToMainWindow(UINT message, WPARAM wParam)
{
    const HWND window = AppState.MainWindow;
    if (window != nullptr) {
        PostMessageW(window, message, wParam, 0);
    }
}
