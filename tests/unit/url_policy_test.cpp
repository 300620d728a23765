#include "release/url_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr wchar_t kInvalid[] = L"The release URL is invalid.";
constexpr wchar_t kNotHttps[] = L"The release URL must use HTTPS.";
constexpr wchar_t kForeign[] = L"The release URL is not hosted on the official TAVRO domain.";

TEST(IsOfficialHost, AcceptsExactlyTheTwoNames)
{
    struct Row {
        const wchar_t* host;
        bool official;
    };
    const Row rows[] = {
        {L"tavro.example", true},
        {L"www.tavro.example", true},
        {L"TAVRO.Example", true},
        {L"WWW.TAVRO.EXAMPLE", true},
        {L"", false},
        {L"tavro.example.", false},
        {L" tavro.example", false},
        {L"tavro.example ", false},
        {L"www.tavro.example ", false},
        {L"downloads.tavro.example", false},
        {L"www.www.tavro.example", false},
        {L"eviltavro.example", false},
        {L"tavro.example.evil.test", false},
        {L"tavro.exampl", false},
        {L"127.0.0.1", false},
        // A capital letter outside A to Z is not folded (U+0130, U+212A).
        {L"t\x0130vro.example", false},
        {L"tavro.e\x212A" L"ample", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsOfficialHost(row.host), row.official) << "host: [" << std::wstring(row.host).size() << "] "
                                                          << testing::PrintToString(std::wstring(row.host));
    }
}

struct Accepted {
    const wchar_t* url;
    const wchar_t* host;
    const wchar_t* requestPath;
    INTERNET_PORT port;
};

TEST(ParseReleaseUrl, AcceptedUrlsFillEveryField)
{
    const Accepted rows[] = {
        {L"https://tavro.example/updates/tavro-update.txt", L"tavro.example", L"/updates/tavro-update.txt", 443},
        {L"https://tavro.example", L"tavro.example", L"/", 443},
        {L"https://tavro.example/", L"tavro.example", L"/", 443},
        {L"https://www.tavro.example/a/b.exe", L"www.tavro.example", L"/a/b.exe", 443},
        {L"https://TaVrO.EXAMPLE/Setup.EXE", L"TaVrO.EXAMPLE", L"/Setup.EXE", 443},
        {L"https://tavro.example:8443/x", L"tavro.example", L"/x", 8443},
        {L"https://tavro.example:443/x", L"tavro.example", L"/x", 443},
        {L"https://tavro.example/dl/setup.exe?v=1&arch=x86", L"tavro.example", L"/dl/setup.exe?v=1&arch=x86", 443},
        {L"https://tavro.example/dl/setup.exe?v=1#frag", L"tavro.example", L"/dl/setup.exe?v=1#frag", 443},
        {L"https://tavro.example/dl#top", L"tavro.example", L"/dl#top", 443},
    };
    for (const Accepted& row : rows) {
        ReleaseEndpoint endpoint;
        endpoint.Host = L"stale";
        endpoint.RequestPath = L"stale";
        endpoint.Port = 1;
        endpoint.Secure = false;
        ErrorText error = L"untouched";
        ASSERT_TRUE(ParseReleaseUrl(row.url, endpoint, error)) << testing::PrintToString(std::wstring(row.url));
        EXPECT_EQ(endpoint.Host, row.host);
        EXPECT_EQ(endpoint.RequestPath, row.requestPath) << testing::PrintToString(std::wstring(row.url));
        EXPECT_EQ(endpoint.Port, row.port);
        EXPECT_TRUE(endpoint.Secure);
        EXPECT_EQ(error, L"untouched");
    }
}

struct Refused {
    const wchar_t* url;
    const wchar_t* sentence;
    const wchar_t* hostAfter;  // endpoint.Host after the refusal
};

TEST(ParseReleaseUrl, RefusedUrlsGiveTheirSentence)
{
    const Refused rows[] = {
        {L"", kInvalid, L"before"},
        {L"/updates/tavro-update.txt", kInvalid, L"before"},
        {L"tavro.example/setup.exe", kInvalid, L"before"},
        {L"ftp://tavro.example/setup.exe", kInvalid, L"before"},
        {L"file:///C:/setup.exe", kInvalid, L"before"},
        {L"http://tavro.example/setup.exe", kNotHttps, L"before"},
        {L"http://evil.test/setup.exe", kNotHttps, L"before"},
        {L"HTTP://TAVRO.EXAMPLE/", kNotHttps, L"before"},
        {L"https://evil.test/setup.exe", kForeign, L"evil.test"},
        {L"https://downloads.tavro.example/setup.exe", kForeign, L"downloads.tavro.example"},
        {L"https://eviltavro.example/setup.exe", kForeign, L"eviltavro.example"},
        {L"https://tavro.example.evil.test/setup.exe", kForeign, L"tavro.example.evil.test"},
        {L"https://tavro.example./setup.exe", kForeign, L"tavro.example."},
        {L"https://127.0.0.1/setup.exe", kForeign, L"127.0.0.1"},
    };
    for (const Refused& row : rows) {
        ReleaseEndpoint endpoint;
        endpoint.Host = L"before";
        endpoint.RequestPath = L"/before";
        endpoint.Port = 8443;
        ErrorText error;
        EXPECT_FALSE(ParseReleaseUrl(row.url, endpoint, error)) << testing::PrintToString(std::wstring(row.url));
        EXPECT_EQ(error, row.sentence) << testing::PrintToString(std::wstring(row.url));
        EXPECT_EQ(endpoint.Host, row.hostAfter) << testing::PrintToString(std::wstring(row.url));
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
    ASSERT_TRUE(ParseReleaseUrl(L"https://tavro.example:8443/a?b", endpoint, error));
    ASSERT_TRUE(ParseReleaseUrl(L"https://www.tavro.example", endpoint, error));
    EXPECT_EQ(endpoint.Host, L"www.tavro.example");
    EXPECT_EQ(endpoint.RequestPath, L"/");
    EXPECT_EQ(endpoint.Port, 443);
    EXPECT_EQ(error, L"");
}

}  // namespace

namespace {

TEST(ResolveRedirectTarget, ResolvesAgainstTheAnsweringUrl)
{
    const std::wstring host(kOfficialHost);
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

}  // namespace
