#include "storage/working_directory.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
