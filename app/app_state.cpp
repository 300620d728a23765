#include "app/app_state.h"

#include "release/failure_detail.h"
#include "storage/installer_log.h"

// Deliberately leaked; see the header.
SharedState& AppState = *new SharedState();

void PostToMainWindow(UINT message, WPARAM wParam)
{
    const HWND window = AppState.MainWindow;
    if (window != nullptr) {
        PostMessageW(window, message, wParam, 0);
    }
}

void WriteFailureDetail()
{
    if (!AppState.LastFailureDetail.empty()) {
        WriteLogLine(kLogDetailPrefix + AppState.LastFailureDetail);
    }
}
