#include "release/install_attempt.h"

#include <gtest/gtest.h>

#include "official_host.h"

namespace {

TEST(ManifestUrl, IsOnTheOfficialHost)
{
    EXPECT_EQ(ManifestUrl(), OfficialUrl(L"/updates/tavro-update.txt"));
}

TEST(InstallerFileName, OrdinaryVersion)
{
    EXPECT_EQ(InstallerFileName(L"1.2.3.4"), L"TAVRO-Static-Module-Setup-1.2.3.4.exe");
    EXPECT_TRUE(IsSafeVersionText(L"1.2.3.4"));
    EXPECT_TRUE(IsSafeVersionText(L"2026.1-beta 2 (x86)"));
    EXPECT_TRUE(IsSafeVersionText(L".."));
}

TEST(IsSafeVersionText, RefusesWhatCouldLeaveTheDirectory)
{
    const wchar_t* const refused[] = {
        L"..\\..\\x", L"../x", L"1:stream", L"C:", L"1*", L"1?", L"1\"", L"1<", L"1>", L"1|2", L"1\x001F",
        L"1\t2", L"2.1\x7f" L"0", L"1\x0085", L"1\x009B[2J",
    };
    for (const wchar_t* version : refused) {
        EXPECT_FALSE(IsSafeVersionText(version)) << testing::PrintToString(std::wstring(version));
    }
    EXPECT_FALSE(IsSafeVersionText(std::wstring(L"1\0" L"2", 3)));
}

TEST(IsSafeVersionText, TheFileNameMustFitIn255Characters)
{
    EXPECT_EQ(InstallerFileName(std::wstring(225, L'9')).size(), 255u);
    EXPECT_TRUE(IsSafeVersionText(std::wstring(225, L'9')));
    EXPECT_FALSE(IsSafeVersionText(std::wstring(226, L'9')));
    EXPECT_FALSE(IsSafeVersionText(std::wstring(4000, L'9')));
}

TEST(Sha256TextsMatch, FoldsOnlyAsciiCaseAndTrimsBothSides)
{
    const std::wstring lower = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    EXPECT_TRUE(Sha256TextsMatch(L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855", lower));
    EXPECT_TRUE(Sha256TextsMatch(L" " + lower + L"\t", lower));
    EXPECT_FALSE(Sha256TextsMatch(lower.substr(0, 63) + L"4", lower));
    EXPECT_FALSE(Sha256TextsMatch(lower.substr(0, 63), lower));
    EXPECT_FALSE(Sha256TextsMatch(std::wstring(64, L'z'), lower));
    // A fullwidth digit does not fold to an ASCII one.
    EXPECT_FALSE(Sha256TextsMatch(lower.substr(0, 63) + L"\xFF15", lower));
}

}  // namespace
