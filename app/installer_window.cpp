#include "app/installer_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include "app/app_state.h"
#include "app/attempt_worker.h"
#include "platform/system_libraries.h"
#include "app/window_texts.h"
#include "release/failure_detail.h"
#include "release/install_attempt.h"
#include "storage/installer_log.h"

namespace {

constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kWindowWidth = 540;
constexpr int kWindowHeight = 225;

struct ControlLayout {
    const wchar_t* ClassName;
    const wchar_t* Text;
    DWORD Style;
    int X, Y, Width, Height;
    int Id;
    bool SetFont;
};

// In creation order: title, status, progress bar, install button.
const ControlLayout kControls[] = {
    {L"STATIC", kTitleText, WS_CHILD | WS_VISIBLE, 24, 20, 470, 28, 0, true},
    {L"STATIC", kStatusReady, WS_CHILD | WS_VISIBLE, 24, 58, 470, 40, 0, true},
    {PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 24, 104, 470, 20, 0, false},
    {L"BUTTON", kButtonInstall, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 338, 140, 156, 32, IDC_INSTALL_BUTTON, true},
};

HWND StatusLabel = nullptr;
HWND ProgressBar = nullptr;
HWND InstallButton = nullptr;

HWND CreateControl(HWND parent, const ControlLayout& layout)
{
    HWND control = CreateWindowExW(0, layout.ClassName, layout.Text, layout.Style, layout.X, layout.Y, layout.Width,
                                   layout.Height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.Id)),
                                   nullptr, nullptr);
    if (layout.SetFont) {
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    }
    return control;
}

void CreateControls(HWND window)
{
    CreateControl(window, kControls[0]);
    StatusLabel = CreateControl(window, kControls[1]);
    ProgressBar = CreateControl(window, kControls[2]);
    InstallButton = CreateControl(window, kControls[3]);
    SendMessageW(ProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
}

void SetProgress(WPARAM percent)
{
    SendMessageW(ProgressBar, PBM_SETPOS, percent, 0);
}

// The window's own failures, with the Windows error behind them.
void ReportFailure(HWND target, const wchar_t* message, const std::wstring& cause, const wchar_t* stage,
                   const std::wstring& what)
{
    AppState.LastFailureDetail = DescribeFailure(cause, stage, what);
    AppState.LastFailureText = message;
    PostMessageW(target, WM_INSTALLER_FAILED, 0, 0);
}

void StartAttempt()
{
    EnableWindow(InstallButton, FALSE);
    SetWindowTextW(InstallButton, kButtonDownloading);
    SetWindowTextW(StatusLabel, kStatusChecking);
    SetProgress(0);
    // The handle of an earlier, finished worker is closed as it is replaced.
    if (AppState.WorkerThread != nullptr) {
        CloseHandle(AppState.WorkerThread);
    }
    AppState.WorkerThread = CreateThread(nullptr, 0, RunInstallAttempt, &AppState.Kept, 0, nullptr);
    if (AppState.WorkerThread == nullptr) {
        ReportFailure(AppState.MainWindow, kMsgThreadStartFailed, WindowsErrorCause(GetLastError()), L"starting",
                      L"the download task");
    }
}

void OnProgress(WPARAM percent)
{
    SetProgress(percent);
    if (percent != 0) {
        SetWindowTextW(StatusLabel, kStatusDownloading);
    }
}

void OnVerified(HWND window)
{
    SetProgress(100);
    SetWindowTextW(StatusLabel, kStatusStarting);

    SHELLEXECUTEINFOW start = {};
    start.cbSize = sizeof(start);
    start.fMask = SEE_MASK_NOCLOSEPROCESS;
    start.hwnd = window;
    start.lpVerb = L"open";
    start.lpFile = AppState.InstallerPath.c_str();
    start.nShow = SW_SHOWNORMAL;
    // The returned process handle is neither used nor closed: the program
    // ends right after this.
    if (ShellExecuteExW(&start)) {
        WriteLogLine(kLogSetupStarted);
        DestroyWindow(window);
        return;
    }
    // Some shells leave only their own code (SE_ERR_*) in hInstApp.
    const DWORD error = GetLastError();
    ReportFailure(window, kMsgShellStartFailed,
                  error != ERROR_SUCCESS
                      ? WindowsErrorCause(error)
                      : L"ShellExecuteEx code " + std::to_wstring(reinterpret_cast<UINT_PTR>(start.hInstApp)),
                  L"starting", AppState.InstallerPath);
}

void OnFailed(HWND window)
{
    SetWindowTextW(StatusLabel, AppState.LastFailureText.c_str());
    SetWindowTextW(InstallButton, kButtonTryAgain);
    EnableWindow(InstallButton, TRUE);
    WriteLogLine(kLogAttemptFailedPrefix + AppState.LastFailureText);
    WriteFailureDetail();
    MessageBoxW(window, AppState.LastFailureText.c_str(), kMessageBoxCaption, MB_ICONERROR);
}

void OnDestroy()
{
    // A download kept for "Try again" goes with the window; one a worker
    // still uses is left to the sweep of attempt files once the process
    // has ended.
    const bool workerRunning =
        AppState.WorkerThread != nullptr && WaitForSingleObject(AppState.WorkerThread, 0) == WAIT_TIMEOUT;
    if (!workerRunning) {
        AppState.Kept.Discard();
    }
    if (AppState.WorkerThread != nullptr) {
        CloseHandle(AppState.WorkerThread);
        AppState.WorkerThread = nullptr;
    }
    PostQuitMessage(0);
}

LRESULT CALLBACK InstallerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        CreateControls(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_INSTALL_BUTTON) {
            StartAttempt();
        }
        return 0;
    case WM_INSTALLER_PROGRESS:
        OnProgress(wParam);
        return 0;
    case WM_INSTALLER_VERIFIED:
        OnVerified(window);
        return 0;
    case WM_INSTALLER_FAILED:
        OnFailed(window);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int RunInstallerWindow(HINSTANCE instance, int showCommand)
{
    LoadFromSystemDirectory(kCommonControlsDll);
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_INSTALLER_ICON));
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = InstallerWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = kWindowClassName;
    if (RegisterClassExW(&windowClass) == 0) {
        return 1;
    }

    AppState.MainWindow = CreateWindowExW(0, kWindowClassName, kWindowTitle, kWindowStyle, CW_USEDEFAULT,
                                          CW_USEDEFAULT, kWindowWidth, kWindowHeight, nullptr, nullptr, instance,
                                          nullptr);
    if (AppState.MainWindow == nullptr) {
        return 1;
    }
    ShowWindow(AppState.MainWindow, showCommand);
    UpdateWindow(AppState.MainWindow);

    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
