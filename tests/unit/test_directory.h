#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A fresh, empty directory under the temporary-files directory, removed with
// its content when the test ends.
class TestDirectory {
public:
    TestDirectory();
    ~TestDirectory();
    TestDirectory(const TestDirectory&) = delete;
    TestDirectory& operator=(const TestDirectory&) = delete;
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

// Sets LOCALAPPDATA for this process (nullptr: removes it) and restores the
// earlier value when the scope ends.
class ScopedLocalAppData {
public:
    explicit ScopedLocalAppData(const wchar_t* value);
    explicit ScopedLocalAppData(const std::wstring& value) : ScopedLocalAppData(value.c_str()) {}
    ~ScopedLocalAppData();
    ScopedLocalAppData(const ScopedLocalAppData&) = delete;
    ScopedLocalAppData& operator=(const ScopedLocalAppData&) = delete;

private:
    bool hadValue_ = false;
    std::wstring saved_;
};

bool DirectoryExists(const std::wstring& path);
bool FileExists(const std::wstring& path);

// Deletes everything inside the directory; RemoveTree also the directory.
void RemoveDirectoryContents(const std::wstring& path);
void RemoveTree(const std::wstring& path);

// The lines of the log in `workingDirectory` without their time stamps.
std::vector<std::string> LogMessages(const std::wstring& workingDirectory);
