#pragma once

#include <windows.h>

#include <string>

#include "release/install_attempt.h"

// Private messages from the worker (and, for its own two failures, the
// window) to the top-level window. Always posted, never sent.
constexpr UINT WM_INSTALLER_PROGRESS = WM_APP + 1;  // wParam: percent 0..100
constexpr UINT WM_INSTALLER_VERIFIED = WM_APP + 2;  // InstallerPath names the verified file
constexpr UINT WM_INSTALLER_FAILED = WM_APP + 3;    // LastFailureText holds the sentence

// Values shared by the window thread and the worker thread. No lock: the
// writer assigns a value and then posts the message that announces it; the
// window reads it only while handling that message.
struct SharedState {
    HWND MainWindow = nullptr;      // null in the headless modes
    HANDLE WorkerThread = nullptr;  // most recently started worker
    std::wstring LastFailureText;
    // What failed behind LastFailureText, for the log (failure_detail.h);
    // written with it, empty when there is nothing more to say.
    std::wstring LastFailureDetail;
    std::wstring InstallerPath;
    // A download an attempt left part-way, for "Try again" to go on from:
    // written by a worker before its last post, read by the next worker
    // (started only after that post was handled), and let go on the window's
    // thread when the window is destroyed with no worker running.
    KeptDownload Kept;
};

// Created on first use and never destroyed: a worker that is still running
// while the process exits must never touch a string that static destruction
// has already freed.
extern SharedState& AppState;

// Posts to MainWindow, and does nothing in the headless modes: a post to a
// null window lands in the posting thread's own queue, where no one reads it
// and where, once full, further posts fail.
void PostToMainWindow(UINT message, WPARAM wParam);

// Writes "Detail: " + LastFailureDetail to the log, when there is a detail:
// after the failure's own line.
void WriteFailureDetail();
