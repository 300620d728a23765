#include "storage/working_directory.h"

#include <gtest/gtest.h>

#include <string>

#include "official_host.h"
#include "pattern_file.h"
#include "platform/scoped_handle.h"
#include "test_directory.h"

namespace {

std::wstring TempPath()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

TEST(GetWorkingDirectory, UsesLocalAppDataAndCreatesBothDirectories)
{
    TestDirectory base;
    ScopedLocalAppData localAppData(base.Path());
    const std::wstring expected = base.Path() + L"\\TAVRO\\Installer";
    EXPECT_EQ(GetWorkingDirectory(), expected);
    EXPECT_TRUE(DirectoryExists(base.Path() + L"\\TAVRO"));
    EXPECT_TRUE(DirectoryExists(expected));
    // A second call finds both and returns the same path.
    EXPECT_EQ(GetWorkingDirectory(), expected);
}

TEST(GetWorkingDirectory, BaseIsUsedExactlyAsGiven)
{
    TestDirectory base;
    ScopedLocalAppData localAppData(base.Path() + L"\\");
    EXPECT_EQ(GetWorkingDirectory(), base.Path() + L"\\\\TAVRO\\Installer");
    EXPECT_TRUE(DirectoryExists(base.Path() + L"\\TAVRO\\Installer"));
}

TEST(GetWorkingDirectory, FallsBackToTheTemporaryDirectory)
{
    const std::wstring temp = TempPath();
    ASSERT_EQ(temp.back(), L'\\');
    const std::wstring expected = temp + L"\\TAVRO\\Installer";
    {
        ScopedLocalAppData absent(nullptr);
        EXPECT_EQ(GetWorkingDirectory(), expected);
    }
    {
        ScopedLocalAppData empty(L"");
        EXPECT_EQ(GetWorkingDirectory(), expected);
    }
    EXPECT_TRUE(DirectoryExists(temp + L"TAVRO\\Installer"));
}

TEST(GetWorkingDirectory, TooLongValueFallsBackToTheTemporaryDirectory)
{
    const std::wstring expected = TempPath() + L"\\TAVRO\\Installer";
    for (size_t length : {260u, 261u, 400u}) {
        ScopedLocalAppData tooLong(L"C:\\" + std::wstring(length - 3, L'x'));
        EXPECT_EQ(GetWorkingDirectory(), expected) << length;
    }
    // 259 characters still fit the buffer and are used.
    const std::wstring longest = L"C:\\" + std::wstring(256, L'y');
    ScopedLocalAppData fits(longest);
    EXPECT_EQ(GetWorkingDirectory(), longest + L"\\TAVRO\\Installer");
}

TEST(GetWorkingDirectory, MissingBaseIsNotCreated)
{
    TestDirectory base;
    const std::wstring missing = base.Path() + L"\\missing";
    ScopedLocalAppData localAppData(missing);
    EXPECT_EQ(GetWorkingDirectory(), missing + L"\\TAVRO\\Installer");
    EXPECT_FALSE(DirectoryExists(missing));
}

TEST(IsAttemptFileName, OnlyTheNamesAttemptsGive)
{
    struct Row {
        const wchar_t* name;
        bool isAttemptFile;
    };
    const Row rows[] = {
        {L"TAVRO-Setup-1-2-3.partial", true},
        {L"TAVRO-Setup-4242-17-99.partial", true},
        {L"TAVRO-Setup-1-2.partial", false},
        {L"TAVRO-Setup-1-2-3-4.partial", false},
        {L"TAVRO-Setup--2-3.partial", false},
        {L"TAVRO-Setup-1-2-.partial", false},
        {L"TAVRO-Setup-1-2-3.partial.exe", false},
        {L"TAVRO-Setup-1-x-3.partial", false},
        {L"tavro-setup-1-2-3.partial", false},
        {L"TAVRO-Static-Module-Setup-1.2.3.4.exe", false},
        {L"TAVRO.Installer.log", false},
        {L"TAVRO-Setup-.partial", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsAttemptFileName(row.name), row.isAttemptFile) << testing::PrintToString(std::wstring(row.name));
    }
}

TEST(DeleteLeftAttemptFiles, DeletesWhatNoRunningAttemptHolds)
{
    TestDirectory directory;
    const std::wstring left[] = {L"TAVRO-Setup-1-2-3.partial", L"TAVRO-Setup-77-8-0.partial"};
    const std::wstring kept[] = {L"TAVRO-Setup-1-2.partial", L"notes.partial", L"TAVRO.Installer.log"};
    for (const std::wstring& name : left) {
        ASSERT_TRUE(WriteFileBytes(directory.Path() + L"\\" + name, ByteBuffer(3, 'p')));
    }
    for (const std::wstring& name : kept) {
        ASSERT_TRUE(WriteFileBytes(directory.Path() + L"\\" + name, ByteBuffer(3, 'k')));
    }
    ASSERT_TRUE(CreateDirectoryW((directory.Path() + L"\\TAVRO-Setup-5-6-7.partial").c_str(), nullptr));
    // The file of an attempt that is still running.
    std::wstring running;
    const ScopedFile held(CreateAttemptFile(directory.Path(), running));
    ASSERT_TRUE(held.IsValid());

    DeleteLeftAttemptFiles(directory.Path());
    for (const std::wstring& name : left) {
        EXPECT_FALSE(FileExists(directory.Path() + L"\\" + name)) << Narrow(name);
    }
    for (const std::wstring& name : kept) {
        EXPECT_TRUE(FileExists(directory.Path() + L"\\" + name)) << Narrow(name);
    }
    EXPECT_TRUE(FileExists(running));
    EXPECT_TRUE(DirectoryExists(directory.Path() + L"\\TAVRO-Setup-5-6-7.partial"));
}

}  // namespace
