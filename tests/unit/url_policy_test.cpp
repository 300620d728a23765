#include "release/url_policy.h"

#include <gtest/gtest.h>

#include <string>

#include "official_host.h"

namespace {

constexpr wchar_t kInvalid[] = L"The release URL is invalid.";
constexpr wchar_t kNotHttps[] = L"The release URL must use HTTPS.";
constexpr wchar_t kForeign[] = L"The release URL is not hosted on the official TAVRO domain.";

// The host with its first letter replaced by the fullwidth capital of it: a
// capital outside A to Z, which is not folded.
std::wstring WithFullwidthCapital(std::wstring host)
{
    for (wchar_t& c : host) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(0xFF21 + (c - L'a'));
            break;
        }
    }
    return host;
}

// Letters in alternating case: "TaVrO.eXaMpLe".
std::wstring MixedCase(std::wstring host)
{
    bool upper = true;
    for (wchar_t& c : host) {
        if (c >= L'a' && c <= L'z') {
            if (upper) {
                c = static_cast<wchar_t>(c - L'a' + L'A');
            }
            upper = !upper;
        }
    }
    return host;
}

TEST(IsOfficialHost, AcceptsExactlyTheTwoNames)
{
    const std::wstring host = Host();
    const std::wstring www = L"www." + host;
    const struct {
        std::wstring host;
        bool official;
    } rows[] = {
        {host, true},
        {www, true},
        {MixedCase(host), true},
        {UpperAscii(www), true},
        {L"", false},
        {host + L".", false},
        {L" " + host, false},
        {host + L" ", false},
        {www + L" ", false},
        {L"downloads." + host, false},
        {L"www." + www, false},
        {L"evil" + host, false},
        {host + L".evil.test", false},
        {host.substr(0, host.size() - 1), false},
        {L"127.0.0.1", false},
        {WithFullwidthCapital(host), false},
        // KELVIN SIGN, a capital whose Unicode lower case is k.
        {host.substr(0, host.size() - 1) + L"\x212A", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(IsOfficialHost(row.host), row.official)
            << "host: [" << row.host.size() << "] " << testing::PrintToString(row.host);
    }
}

TEST(ParseReleaseUrl, AcceptedUrlsFillEveryField)
{
    const std::wstring host = Host();
    const std::wstring www = L"www." + host;
    const std::wstring mixed = MixedCase(host);
    const struct {
        std::wstring url;
        std::wstring host;
        std::wstring requestPath;
        INTERNET_PORT port;
    } rows[] = {
        {OfficialUrl(L"/updates/tavro-update.txt"), host, L"/updates/tavro-update.txt", 443},
        {OfficialUrl(L""), host, L"/", 443},
        {OfficialUrl(L"/"), host, L"/", 443},
        {L"https://" + www + L"/a/b.exe", www, L"/a/b.exe", 443},
        {L"https://" + mixed + L"/Setup.EXE", mixed, L"/Setup.EXE", 443},
        {OfficialUrl(L":8443/x"), host, L"/x", 8443},
        {OfficialUrl(L":443/x"), host, L"/x", 443},
        {OfficialUrl(L"/dl/setup.exe?v=1&arch=x86"), host, L"/dl/setup.exe?v=1&arch=x86", 443},
        {OfficialUrl(L"/dl/setup.exe?v=1#frag"), host, L"/dl/setup.exe?v=1#frag", 443},
        {OfficialUrl(L"/dl#top"), host, L"/dl#top", 443},
    };
    for (const auto& row : rows) {
        ReleaseEndpoint endpoint;
        endpoint.Host = L"stale";
        endpoint.RequestPath = L"stale";
        endpoint.Port = 1;
        endpoint.Secure = false;
        ErrorText error = L"untouched";
        ASSERT_TRUE(ParseReleaseUrl(row.url, endpoint, error)) << testing::PrintToString(row.url);
        EXPECT_EQ(endpoint.Host, row.host);
        EXPECT_EQ(endpoint.RequestPath, row.requestPath) << testing::PrintToString(row.url);
        EXPECT_EQ(endpoint.Port, row.port);
        EXPECT_TRUE(endpoint.Secure);
        EXPECT_EQ(error, L"untouched");
    }
}

TEST(ParseReleaseUrl, RefusedUrlsGiveTheirSentence)
{
    const std::wstring host = Host();
    const struct {
        std::wstring url;
        const wchar_t* sentence;
        std::wstring hostAfter;  // endpoint.Host after the refusal
    } rows[] = {
        {L"", kInvalid, L"before"},
        {L"/updates/tavro-update.txt", kInvalid, L"before"},
        {host + L"/setup.exe", kInvalid, L"before"},
        {L"ftp://" + host + L"/setup.exe", kInvalid, L"before"},
        {L"file:///C:/setup.exe", kInvalid, L"before"},
        {L"http://" + host + L"/setup.exe", kNotHttps, L"before"},
        {L"http://evil.test/setup.exe", kNotHttps, L"before"},
        {L"HTTP://" + UpperAscii(host) + L"/", kNotHttps, L"before"},
        {L"https://evil.test/setup.exe", kForeign, L"evil.test"},
        {L"https://downloads." + host + L"/setup.exe", kForeign, L"downloads." + host},
        {L"https://evil" + host + L"/setup.exe", kForeign, L"evil" + host},
        {OfficialUrl(L".evil.test/setup.exe"), kForeign, host + L".evil.test"},
        {OfficialUrl(L"./setup.exe"), kForeign, host + L"."},
        {L"https://127.0.0.1/setup.exe", kForeign, L"127.0.0.1"},
    };
    for (const auto& row : rows) {
        ReleaseEndpoint endpoint;
        endpoint.Host = L"before";
        endpoint.RequestPath = L"/before";
        endpoint.Port = 8443;
        ErrorText error;
        EXPECT_FALSE(ParseReleaseUrl(row.url, endpoint, error)) << testing::PrintToString(row.url);
        EXPECT_EQ(error, row.sentence) << testing::PrintToString(row.url);
        EXPECT_EQ(endpoint.Host, row.hostAfter) << testing::PrintToString(row.url);
        EXPECT_EQ(endpoint.RequestPath, L"/before");
        EXPECT_EQ(endpoint.Port, 8443);
        EXPECT_TRUE(endpoint.Secure);
    }
}

TEST(ComposeRequestPath, SlashOnlyWhenPathAndExtraAreBothEmpty)
{
    EXPECT_EQ(ComposeRequestPath(L"", L""), L"/");
    EXPECT_EQ(ComposeRequestPath(L"/a/b.exe", L""), L"/a/b.exe");
    EXPECT_EQ(ComposeRequestPath(L"/a", L"?b=c#d"), L"/a?b=c#d");
    // Some crackers report "https://host?q" as an empty path with extra
    // information; no slash is put in front of it then.
    EXPECT_EQ(ComposeRequestPath(L"", L"?v=1"), L"?v=1");
}

TEST(ParseReleaseUrl, ReusedRecordKeepsNothingOfAnEarlierUrl)
{
    ReleaseEndpoint endpoint;
    ErrorText error;
    ASSERT_TRUE(ParseReleaseUrl(OfficialUrl(L":8443/a?b"), endpoint, error));
    ASSERT_TRUE(ParseReleaseUrl(L"https://www." + Host(), endpoint, error));
    EXPECT_EQ(endpoint.Host, L"www." + Host());
    EXPECT_EQ(endpoint.RequestPath, L"/");
    EXPECT_EQ(endpoint.Port, 443);
    EXPECT_EQ(error, L"");
}

}  // namespace

namespace {

TEST(ResolveRedirectTarget, ResolvesAgainstTheAnsweringUrl)
{
    const std::wstring host = Host();
    const std::wstring base = L"https://" + host + L":8443/updates/a/tavro-update.txt?x=1#top";
    struct Row {
        std::wstring location;
        std::wstring target;
    };
    const Row rows[] = {
        {L"https://evil.example/x", L"https://evil.example/x"},
        {L"HTTP://" + host + L"/x", L"HTTP://" + host + L"/x"},
        {L"ftp://" + host + L"/x", L"ftp://" + host + L"/x"},
        {L"//evil.example/x?q", L"https://evil.example/x?q"},
        {L"/releases/../setup.exe", L"https://" + host + L":8443/setup.exe"},
        {L"setup.exe", L"https://" + host + L":8443/updates/a/setup.exe"},
        {L"../b/./c?d=../e", L"https://" + host + L":8443/updates/b/c?d=../e"},
        {L"../../../..", L"https://" + host + L":8443/"},
        {L"?y=2", L"https://" + host + L":8443/updates/a/tavro-update.txt?y=2"},
        {L"#end", L"https://" + host + L":8443/updates/a/tavro-update.txt?x=1#end"},
        {L" /next \r\n", L"https://" + host + L":8443/next"},
        {L"", L"https://" + host + L":8443/updates/a/tavro-update.txt?x=1"},
        // A colon after the first slash is not a scheme.
        {L"a/b:c", L"https://" + host + L":8443/updates/a/a/b:c"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ResolveRedirectTarget(base, row.location), row.target)
            << std::string(row.location.begin(), row.location.end());
    }
    EXPECT_EQ(ResolveRedirectTarget(L"https://" + host, L"setup.exe"), L"https://" + host + L"/setup.exe");
    EXPECT_EQ(ResolveRedirectTarget(L"https://" + host + L"?q", L"b"), L"https://" + host + L"/b");
}

TEST(WithoutFragment, EndsTheUrlAtItsFirstNumberSign)
{
    EXPECT_EQ(WithoutFragment(L"https://h/setup.exe#v1"), L"https://h/setup.exe");
    EXPECT_EQ(WithoutFragment(L"https://h/a?b=c#d#e"), L"https://h/a?b=c");
    EXPECT_EQ(WithoutFragment(L"https://h/a?b=c"), L"https://h/a?b=c");
    EXPECT_EQ(WithoutFragment(L"#"), L"");
}

}  // namespace
