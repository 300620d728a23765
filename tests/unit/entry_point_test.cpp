#include "app/entry_point.h"

#include <gtest/gtest.h>

namespace {

TEST(SelectLaunchMode, PlainSubstringSearch)
{
    struct Row {
        const wchar_t* commandLine;
        LaunchMode mode;
    };
    const Row rows[] = {
        {nullptr, LaunchMode::Windowed},
        {L"", LaunchMode::Windowed},
        {L"--self-test", LaunchMode::SelfTest},
        {L"--download-test", LaunchMode::DownloadTest},
        {L"--download-test --self-test", LaunchMode::SelfTest},
        {L"--self-test --download-test", LaunchMode::SelfTest},
        {L"/quiet x--self-testy", LaunchMode::SelfTest},
        {L"\"C:\\dir with space\\a.txt\" --download-tests", LaunchMode::DownloadTest},
        {L"--SELF-TEST", LaunchMode::Windowed},
        {L"--Download-Test", LaunchMode::Windowed},
        {L"-self-test", LaunchMode::Windowed},
        {L"--self test", LaunchMode::Windowed},
        {L"/self-test", LaunchMode::Windowed},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SelectLaunchMode(row.commandLine), row.mode)
            << (row.commandLine ? testing::PrintToString(std::wstring(row.commandLine)) : "null");
    }
}

TEST(RunSelfTest, PassesWithTheBuiltInManifest)
{
    EXPECT_TRUE(RunSelfTest());
}

}  // namespace
