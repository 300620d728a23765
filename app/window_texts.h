#pragma once

// Every text the window can show or log.

constexpr wchar_t kWindowClassName[] = L"TAVROStaticModuleBootstrapperWindow";
constexpr wchar_t kWindowTitle[] = L"TAVRO Static Module Installer";
constexpr wchar_t kMessageBoxCaption[] = L"TAVRO Static Module Installer";

constexpr wchar_t kTitleText[] = L"TAVRO Static Module";
constexpr wchar_t kStatusReady[] = L"Download and install the current release.";
constexpr wchar_t kStatusChecking[] = L"Checking the latest TAVRO Static Module release...";
constexpr wchar_t kStatusDownloading[] = L"Downloading the verified TAVRO installer...";
constexpr wchar_t kStatusStarting[] = L"Download verified. Starting TAVRO Setup...";

constexpr wchar_t kButtonInstall[] = L"Install TAVRO";
constexpr wchar_t kButtonDownloading[] = L"Downloading...";
constexpr wchar_t kButtonTryAgain[] = L"Try again";

constexpr wchar_t kMsgThreadStartFailed[] = L"The installer could not start its download task.";
constexpr wchar_t kMsgShellStartFailed[] = L"Windows could not start the verified TAVRO Setup file.";

constexpr wchar_t kLogSetupStarted[] = L"TAVRO Setup started.";
constexpr wchar_t kLogAttemptFailedPrefix[] = L"Installation attempt failed: ";
