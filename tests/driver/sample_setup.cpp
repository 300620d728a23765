// Stands in for the downloaded TAVRO Setup in end-to-end tests: it records
// that it ran, and with which command line, then exits.

#include <windows.h>

#include <string>

namespace {

// The folder of this .exe, with its trailing backslash.
std::wstring OwnFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    const std::wstring line = L"ran args=[" + std::wstring(commandLine != nullptr ? commandLine : L"") + L"]\r\n";
    std::string bytes;
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    if (size > 0) {
        bytes.resize(static_cast<size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &bytes[0], size, nullptr, nullptr);
    }

    const std::wstring folder = OwnFolder();
    if (folder.empty()) {
        return 1;
    }
    // FILE_APPEND_DATA alone: every write lands at the end, even if two runs
    // overlap.
    HANDLE file = CreateFileW((folder + L"sample-setup-ran.txt").c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok ? 0 : 1;
}
