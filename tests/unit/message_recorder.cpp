#include "message_recorder.h"

#include "app/app_state.h"

MessageRecorder::MessageRecorder()
{
    window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    AppState.MainWindow = window_;
}

MessageRecorder::~MessageRecorder()
{
    AppState.MainWindow = nullptr;
    DestroyWindow(window_);
}

std::vector<MessageRecorder::Posted> MessageRecorder::Take()
{
    std::vector<Posted> posted;
    MSG message;
    while (PeekMessageW(&message, window_, WM_APP, WM_APP + 0x100, PM_REMOVE)) {
        posted.push_back({message.message, message.wParam});
    }
    return posted;
}

std::vector<unsigned> MessageRecorder::TakeProgress()
{
    std::vector<unsigned> percents;
    for (const Posted& posted : Take()) {
        if (posted.Message == WM_INSTALLER_PROGRESS) {
            percents.push_back(static_cast<unsigned>(posted.WParam));
        }
    }
    return percents;
}
