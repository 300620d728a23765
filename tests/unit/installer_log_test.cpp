#include "storage/installer_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "storage/working_directory.h"
#include "test_directory.h"

namespace {

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = 987;
    time.wDayOfWeek = 6;
    return time;
}

TEST(FormatLogLine, TimeStampWithoutLeadingZeros)
{
    EXPECT_EQ(FormatLogLine(Time(2026, 3, 7, 9, 5, 3), L"Checking the TAVRO release manifest."),
              "2026-3-7 9:5:3 Checking the TAVRO release manifest.\r\n");
    EXPECT_EQ(FormatLogLine(Time(2026, 12, 31, 23, 59, 58), L"x"), "2026-12-31 23:59:58 x\r\n");
    EXPECT_EQ(FormatLogLine(Time(2027, 1, 10, 0, 0, 0), L"x"), "2027-1-10 0:0:0 x\r\n");
}

TEST(FormatLogLine, MessageBytes)
{
    const SYSTEMTIME t = Time(2026, 3, 7, 9, 5, 3);
    EXPECT_EQ(FormatLogLine(t, L""), "2026-3-7 9:5:3 \r\n");
    EXPECT_EQ(FormatLogLine(t, L"  spaced \t"), "2026-3-7 9:5:3   spaced \t\r\n");
    EXPECT_EQ(FormatLogLine(t, L"one\ntwo"), "2026-3-7 9:5:3 one\r\ntwo\r\n");
    // Latin-1 characters are one byte of the same value.
    EXPECT_EQ(FormatLogLine(t, L"caf\x00E9 \x00FF"), "2026-3-7 9:5:3 caf\xE9 \xFF\r\n");
    // Anything above U+00FF is one "?" and the line still ends with CR LF.
    EXPECT_EQ(FormatLogLine(t, L"Downloading TAVRO Static Module 1.\x0416\x20AC."),
              "2026-3-7 9:5:3 Downloading TAVRO Static Module 1.??.\r\n");
    EXPECT_EQ(FormatLogLine(t, std::wstring(L"\xD83D\xDE00")), "2026-3-7 9:5:3 ??\r\n");
}

std::string ReadAll(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "Y-M-D h:m:s " is at least 12 and at most 20 bytes; drop it.
std::string WithoutTimeStamps(const std::string& log)
{
    std::string out;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find("\r\n", start);
        end = end == std::string::npos ? log.size() : end + 2;
        const std::string line = log.substr(start, end - start);
        const size_t firstBlank = line.find(' ');
        const size_t secondBlank = firstBlank == std::string::npos ? firstBlank : line.find(' ', firstBlank + 1);
        out += secondBlank == std::string::npos ? line : line.substr(secondBlank + 1);
        start = end;
    }
    return out;
}

TEST(WriteLogLine, AppendsWholeLinesInCallOrder)
{
    TestDirectory base;
    ScopedLocalAppData localAppData(base.Path());
    const std::wstring logPath = base.Path() + L"\\TAVRO\\Installer\\TAVRO.Installer.log";

    WriteLogLine(L"first");
    WriteLogLine(L"Downloading TAVRO Static Module \x0416.");
    WriteLogLine(L"a\nb");
    WriteLogLine(L"");

    const std::string log = ReadAll(logPath);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(WithoutTimeStamps(log), "first\r\nDownloading TAVRO Static Module ?.\r\na\r\nb\r\n\r\n");

    // Every line starts with a time stamp of this year.
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    EXPECT_EQ(log.substr(0, 5), std::to_string(now.wYear) + "-");
}

TEST(WriteLogLine, KeepsExistingContentAndAppendsAfterItsLastByte)
{
    TestDirectory base;
    ScopedLocalAppData localAppData(base.Path());
    const std::wstring directory = GetWorkingDirectory();
    const std::wstring logPath = directory + L"\\TAVRO.Installer.log";
    {
        std::ofstream seed(logPath.c_str(), std::ios::binary);
        seed << "old line\r\nunterminated";
    }
    WriteLogLine(L"new");
    const std::string log = ReadAll(logPath);
    ASSERT_EQ(log.substr(0, 22), "old line\r\nunterminated");
    EXPECT_EQ(WithoutTimeStamps(log.substr(22)), "new\r\n");
}

TEST(WriteLogLine, MissingBaseDirectoryWritesNothingAndReturns)
{
    TestDirectory base;
    const std::wstring missing = base.Path() + L"\\does-not-exist";
    ScopedLocalAppData localAppData(missing);
    WriteLogLine(L"lost");
    EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
