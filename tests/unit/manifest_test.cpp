#include "release/manifest.h"

#include <gtest/gtest.h>

#include <string>

#include "official_host.h"

namespace {

ByteBuffer Bytes(const std::string& text)
{
    return ByteBuffer(text.begin(), text.end());
}

ReleaseManifest ParseBytes(const std::string& text)
{
    return ParseReleaseManifest(Utf8ToWide(Bytes(text)));
}

TEST(Utf8ToWide, DecodesWellFormedText)
{
    EXPECT_EQ(Utf8ToWide(ByteBuffer()), L"");
    EXPECT_EQ(Utf8ToWide(Bytes("version=1")), L"version=1");
    // U+00C4, U+20AC and U+1F600 (a surrogate pair).
    EXPECT_EQ(Utf8ToWide(Bytes("\xC3\x84\xE2\x82\xAC\xF0\x9F\x98\x80")), std::wstring(L"\x00C4\x20AC\xD83D\xDE00"));
}

TEST(Utf8ToWide, KeepsByteOrderMarkAndZeroBytes)
{
    EXPECT_EQ(Utf8ToWide(Bytes("\xEF\xBB\xBFv=1")), std::wstring(L"\xFEFFv=1"));
    const std::string withZero("a\0b", 3);
    const std::wstring decoded = Utf8ToWide(Bytes(withZero));
    ASSERT_EQ(decoded.size(), 3u);
    EXPECT_EQ(decoded[1], L'\0');
}

TEST(Utf8ToWide, IllFormedInputGivesEmptyText)
{
    const char* const cases[] = {
        "caf\xE9=latin1",                 // single-byte code page
        "\xFF\xFEv\0=\0",                 // UTF-16 byte-order mark
        "ok=1\n\x80",                     // lone continuation byte at the end
        "\xC0\xAF",                       // overlong encoding of "/"
        "\xED\xA0\x80",                   // encoded surrogate
        "x=\xE2\x82",                     // truncated sequence
    };
    for (const char* input : cases) {
        EXPECT_EQ(Utf8ToWide(Bytes(input)), L"") << "input: " << input;
    }
}

TEST(TrimWhitespace, StripsOnlyTheFourCharacters)
{
    EXPECT_EQ(TrimWhitespace(L""), L"");
    EXPECT_EQ(TrimWhitespace(L" \t\r\n"), L"");
    EXPECT_EQ(TrimWhitespace(L" \ta b\r\n"), L"a b");
    EXPECT_EQ(TrimWhitespace(L"\v x \f"), L"\v x \f");
    EXPECT_EQ(TrimWhitespace(std::wstring(L"\x00A0x\xFEFF")), std::wstring(L"\x00A0x\xFEFF"));
}

TEST(FoldAsciiCase, FoldsOnlyAToZ)
{
    EXPECT_EQ(FoldAsciiCase(L"InstallerURL@[`Z"), L"installerurl@[`z");
    EXPECT_EQ(FoldAsciiCase(std::wstring(L"\x00C4\xFF21")), std::wstring(L"\x00C4\xFF21"));
}

TEST(ParseReleaseManifest, PlainManifestOfTheSelfTest)
{
    const ReleaseManifest manifest = ParseReleaseManifest(
        L"version=1.2.3.4\ninstallerUrl=" + OfficialUrl(L"/releases/setup.exe") +
        L"\ninstallerSha256=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n");
    const ReleaseManifest expected = {
        {L"version", L"1.2.3.4"},
        {L"installerurl", OfficialUrl(L"/releases/setup.exe")},
        {L"installersha256", L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"},
    };
    EXPECT_EQ(manifest, expected);
}

TEST(ParseReleaseManifest, EmptyAndBlankInputGiveEmptyTable)
{
    EXPECT_TRUE(ParseBytes("").empty());
    EXPECT_TRUE(ParseBytes("\n\r\n \t\n\t\r").empty());
    EXPECT_TRUE(ParseBytes("version=1\n\xFF").empty());
}

TEST(ParseReleaseManifest, LineEndsAndLayout)
{
    const ReleaseManifest expected = {{L"version", L"1.2.3.4"}, {L"installerurl", L"https://x/y"}};
    EXPECT_EQ(ParseBytes("version=1.2.3.4\ninstallerurl=https://x/y\n"), expected);
    EXPECT_EQ(ParseBytes("version=1.2.3.4\r\ninstallerurl=https://x/y\r\n"), expected);
    EXPECT_EQ(ParseBytes("version=1.2.3.4\ninstallerurl=https://x/y"), expected);
    EXPECT_EQ(ParseBytes("# release\n\n  Version\t= 1.2.3.4\r\n\tinstallerUrl =\thttps://x/y  \n"), expected);
    EXPECT_EQ(ParseBytes("  Version\t= 1.2.3.4\r"), (ReleaseManifest{{L"version", L"1.2.3.4"}}));
}

TEST(ParseReleaseManifest, LoneCrDoesNotEndALine)
{
    EXPECT_EQ(ParseBytes("version=1\rinstallerurl=https://x/y\r"),
              (ReleaseManifest{{L"version", L"1\rinstallerurl=https://x/y"}}));
}

TEST(ParseReleaseManifest, ByteOrderMarkStaysOnTheFirstKey)
{
    EXPECT_EQ(ParseBytes("\xEF\xBB\xBFversion=1\n"), (ReleaseManifest{{std::wstring(L"\xFEFFversion"), L"1"}}));
    EXPECT_EQ(ParseBytes("\xEF\xBB\xBF\nversion=1\n"), (ReleaseManifest{{L"version", L"1"}}));
    EXPECT_EQ(ParseBytes("\xEF\xBB\xBF# comment\nversion=1\n"), (ReleaseManifest{{L"version", L"1"}}));
    EXPECT_EQ(ParseBytes("\xEF\xBB\xBF#note=x\nversion=1\n"),
              (ReleaseManifest{{std::wstring(L"\xFEFF#note"), L"x"}, {L"version", L"1"}}));
}

TEST(ParseReleaseManifest, CommentsAndSkippedLines)
{
    EXPECT_EQ(ParseBytes("#\n  \t# version=9\n=x\n  = y\nnoequals\nversion=1 # not a comment\n"),
              (ReleaseManifest{{L"version", L"1 # not a comment"}}));
}

TEST(ParseReleaseManifest, EqualsSignsAndEmptyValues)
{
    EXPECT_EQ(ParseBytes("installerurl=https://x/a?b=c&d==e\n"),
              (ReleaseManifest{{L"installerurl", L"https://x/a?b=c&d==e"}}));
    EXPECT_EQ(ParseBytes("version=\ninstallerurl= \t\n"),
              (ReleaseManifest{{L"installerurl", L""}, {L"version", L""}}));
    EXPECT_EQ(ParseBytes("installer url=x\n"), (ReleaseManifest{{L"installer url", L"x"}}));
}

TEST(ParseReleaseManifest, LaterKeyWinsWhateverItsCase)
{
    EXPECT_EQ(ParseBytes("version=1\nVERSION=2\nVeRsIoN=3\n"), (ReleaseManifest{{L"version", L"3"}}));
    EXPECT_EQ(ParseBytes("installersha256=ABCDEF\n"), (ReleaseManifest{{L"installersha256", L"ABCDEF"}}));
}

TEST(ParseReleaseManifest, FoldsOnlyAsciiCapitalsInKeys)
{
    // U+00C4 and the fullwidth capital A keep their case.
    EXPECT_EQ(ParseBytes("\xC3\x84Key=1\n\xEF\xBC\xA1=2\n"),
              (ReleaseManifest{{std::wstring(L"\x00C4key"), L"1"}, {std::wstring(L"\xFF21"), L"2"}}));
}

TEST(ParseReleaseManifest, OtherWhitespaceStaysInTheValue)
{
    const std::string digits(64, 'a');
    const ReleaseManifest manifest = ParseBytes("installersha256=" + digits + "\xC2\xA0\n");
    ASSERT_EQ(manifest.count(L"installersha256"), 1u);
    EXPECT_EQ(manifest.at(L"installersha256").size(), 65u);
    EXPECT_EQ(ParseBytes("v=1\f\n").at(L"v"), L"1\f");
}

TEST(ParseReleaseManifest, ZeroByteIsAnOrdinaryCharacter)
{
    const ReleaseManifest manifest = ParseBytes(std::string("ver\0sion=1\n", 11));
    EXPECT_EQ(manifest, (ReleaseManifest{{std::wstring(L"ver\0sion", 8), L"1"}}));
}

}  // namespace
