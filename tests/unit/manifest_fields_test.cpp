// The manifest's fields and their rules, as the attempt, the signed check
// and the manifest tool read them.
#include "release/manifest_fields.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "official_host.h"
#include "release/install_attempt.h"
#include "release/release_hosts.h"
#include "release/release_messages.h"

namespace {

TEST(ManifestFields, EachFieldWithItsRule)
{
    struct Row {
        const wchar_t* name;
        bool signedOnly;
        const wchar_t* rule;
    };
    const Row rows[] = {
        {L"origin", true, L"origin"},
        {L"version", false, L"filename"},
        {L"installerUrl", false, L"url"},
        {L"installerSha256", false, L"sha256"},
        {L"expires", true, L"utctime"},
        {L"sequence", true, L"sequence"},
        {L"installersize", true, L"size"},
        {L"signature", true, L"signature"},
    };
    ASSERT_EQ(std::size(kManifestFields), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(std::wstring(kManifestFields[i].Name), rows[i].name) << i;
        EXPECT_EQ(kManifestFields[i].SignedOnly, rows[i].signedOnly) << Narrow(rows[i].name);
        EXPECT_EQ(std::wstring(RuleWord(kManifestFields[i].Rule)), rows[i].rule) << Narrow(rows[i].name);
        EXPECT_EQ(FindField(UpperAscii(rows[i].name)), &kManifestFields[i]) << Narrow(rows[i].name);
    }
    EXPECT_EQ(FindField(L"installer"), nullptr);
}

// The installer's mirrors: signed-only URLs a manifest may leave out, in
// order after installerUrl; each one given is held to the URL policy. (This
// tree has no mirror host: a mirror's name is a foreign host here.)
TEST(InstallerUrls, TheMirrorsInOrderEachUnderThePolicy)
{
    const wchar_t* names[] = {L"installerMirror1", L"installerMirror2", L"installerMirror3"};
    ASSERT_EQ(std::size(kInstallerMirrorFields), std::size(names));
    for (size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(std::wstring(kInstallerMirrorFields[i].Name), names[i]);
        EXPECT_TRUE(kInstallerMirrorFields[i].SignedOnly);
        EXPECT_EQ(kInstallerMirrorFields[i].Rule, FieldRule::Url);
    }
    EXPECT_TRUE(MirrorHosts().empty());
    const std::wstring first = OfficialUrl(L"/a.exe");
    struct Row {
        const char* name;
        ReleaseManifest manifest;
        std::vector<std::wstring> urls;  // empty: refused
        const wchar_t* faultyKey;
        const wchar_t* sentence;
    };
    const Row rows[] = {
        {"none", {}, {first}, nullptr, L""},
        {"two, out of order in the text", {{L"installermirror2", OfficialUrl(L"/c.exe")},
                                           {L"installermirror1", L"https://WWW." + Host() + L"/b.exe"}},
         {first, L"https://WWW." + Host() + L"/b.exe", OfficialUrl(L"/c.exe")}, nullptr, L""},
        {"empty", {{L"installermirror1", L""}}, {}, L"installerMirror1", kMsgManifestIncomplete},
        {"http", {{L"installermirror1", L"http://" + Host() + L"/b.exe"}}, {},
         L"installerMirror1", kMsgUrlNotHttps},
        {"a host the build does not name", {{L"installermirror3", L"https://mirror.example/b.exe"}}, {},
         L"installerMirror3", kMsgUrlForeignHost},
    };
    for (const Row& row : rows) {
        std::vector<std::wstring> urls;
        const wchar_t* faultyKey = nullptr;
        ErrorText error;
        EXPECT_EQ(InstallerUrls(row.manifest, first, urls, faultyKey, error), !row.urls.empty()) << row.name;
        EXPECT_EQ(urls, row.urls) << row.name;
        EXPECT_EQ(std::wstring(faultyKey ? faultyKey : L""), row.faultyKey ? row.faultyKey : L"") << row.name;
        EXPECT_EQ(error, row.sentence) << row.name;
    }
}

// What each host did, in one detail line; the host a log line names.
TEST(ReleaseHosts, DetailsJoinedAndHostsNamed)
{
    EXPECT_EQ(JoinDetails(L"", L"a requesting x."), L"a requesting x.");
    EXPECT_EQ(JoinDetails(JoinDetails(L"", L"a requesting x."), L"b in y."), L"a requesting x; b in y.");
    EXPECT_EQ(ManifestHostLine(L"https://Mirror.Example:8443/updates/tavro-update.txt"),
              L"Release manifest taken from mirror.example.");
    EXPECT_EQ(InstallerHostFailedLine(L"https://user:pw@mirror.example/s.exe?t=1", L"HTTP status 503 (x) requesting y."),
              L"Installer not taken from mirror.example: HTTP status 503 (x) requesting y.");
    EXPECT_EQ(InstallerHostLine(L"not a url"), L"Installer downloaded from ?.");
}

// A value of each rule that every manifest takes.
std::wstring GoodValue(FieldRule rule)
{
    switch (rule) {
    case FieldRule::FileName:
        return L"2.1.0";
    case FieldRule::Url:
        return OfficialUrl(L"/releases/setup.exe");
    case FieldRule::Sha256:
        return std::wstring(64, L'a');
    default:
        return L"x";
    }
}

// A manifest that lacks, or gives empty, any one field every manifest has
// is refused, naming that field as the table writes it.
TEST(CheckReleaseManifest, EveryFieldAManifestAlwaysHas)
{
    ReleaseManifest complete;
    for (const ManifestField& field : kManifestFields) {
        if (!field.SignedOnly) {
            complete[FoldAsciiCase(field.Name)] = GoodValue(field.Rule);
        }
    }
    ReleaseFields fields;
    ErrorText error;
    ASSERT_TRUE(CheckReleaseManifest(complete, fields, error)) << Narrow(error);
    EXPECT_EQ(fields.Version, L"2.1.0");
    for (const ManifestField& field : kManifestFields) {
        if (field.SignedOnly) {
            continue;
        }
        for (const bool empty : {false, true}) {
            ReleaseManifest manifest = complete;
            if (empty) {
                manifest[FoldAsciiCase(field.Name)].clear();
            } else {
                manifest.erase(FoldAsciiCase(field.Name));
            }
            ReleaseFields refused;
            EXPECT_FALSE(CheckReleaseManifest(manifest, refused, error)) << Narrow(field.Name);
            EXPECT_EQ(error, kMsgManifestIncomplete) << Narrow(field.Name);
            ASSERT_NE(refused.FaultyKey, nullptr) << Narrow(field.Name);
            EXPECT_EQ(std::wstring(refused.FaultyKey), field.Name);
        }
    }
}

TEST(IsWellFormed, WhatEachRuleTakesBeforeItIsRead)
{
    struct Row {
        FieldRule rule;
        const wchar_t* value;
        bool wellFormed;
    };
    const Row rows[] = {
        {FieldRule::Text, L"x", true},
        {FieldRule::Text, L"", false},
        {FieldRule::Sha256, L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", true},
        {FieldRule::Sha256, L"0123456789abcdef", false},
        {FieldRule::UtcTime, L"2027-03-01T00:00:00Z", true},
        {FieldRule::UtcTime, L"2027-03-01", false},
        {FieldRule::Sequence, L"7", true},
        {FieldRule::Sequence, L"0", false},
        {FieldRule::Sequence, L"-7", false},
        {FieldRule::Size, L"0", true},
        {FieldRule::Size, L"1 024", false},
        {FieldRule::Size, L"12345678901234567890", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsWellFormed(row.value, row.rule), row.wellFormed)
            << Narrow(RuleWord(row.rule)) << " " << Narrow(row.value);
    }
}

TEST(ParseUtcTime, RealTimesInOneForm)
{
    long long seconds = 0;
    ASSERT_TRUE(ParseUtcTime(L"2027-03-01T00:00:00Z", seconds));
    EXPECT_EQ(seconds, 1803859200);
    EXPECT_TRUE(ParseUtcTime(L"2028-02-29T23:59:59Z", seconds));
    for (const wchar_t* text : {L"2027-02-29T00:00:00Z", L"2027-13-01T00:00:00Z", L"2027-03-01T24:00:00Z",
                                L"2027-03-01 00:00:00Z", L"2027-03-01T00:00:00.5Z", L"2027-03-01T00:00:00z",
                                L"1969-12-31T23:59:59Z", L""}) {
        EXPECT_FALSE(ParseUtcTime(text, seconds)) << std::string(text, text + wcslen(text));
    }
}

}  // namespace
