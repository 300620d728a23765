#pragma once

#include <windows.h>

#include <vector>

// A message-only window that stands in for the installer window: it becomes
// AppState.MainWindow for its lifetime and hands back what was posted to it.
class MessageRecorder {
public:
    struct Posted {
        UINT Message;
        WPARAM WParam;
    };

    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    // Every message posted since the last call, in order.
    std::vector<Posted> Take();
    // The wParam of each WM_INSTALLER_PROGRESS among them.
    std::vector<unsigned> TakeProgress();

private:
    HWND window_ = nullptr;
};
