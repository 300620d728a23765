// DownloadUrl against the test bed's release site (run inside the bed).
#include "release/transfer/https_transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "official_host.h"
#include "pattern_file.h"
#include "release/url_policy.h"
#include "platform/scoped_handle.h"
#include "release_site.h"
#include "test_directory.h"

namespace {

constexpr wchar_t kFailed[] = L"The download could not be completed. Check the internet connection and try again.";
constexpr wchar_t kBadStatus[] = L"The TAVRO server returned an unexpected response.";
constexpr wchar_t kNotHttps[] = L"The release URL must use HTTPS.";
constexpr wchar_t kForeign[] = L"The release URL is not hosted on the official TAVRO domain.";
constexpr wchar_t kInvalid[] = L"The release URL is invalid.";
constexpr wchar_t kNotWritten[] = L"The installer could not be saved. Check that the disk has free space and try again.";

// The body of `url` into a file made anew at `path`, through a handle, as
// the attempt downloads into its own file.
bool DownloadToFile(const std::wstring& url, const std::wstring& path, const DownloadReport& report,
                    ErrorText& error, FailureDetail* detail = nullptr)
{
    ScopedFile file(NullIfInvalid(
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    return file.IsValid() && DownloadUrlToFile(url, file.Get(), report, error, detail);
}

// The request lines the site logged for `path`, in order.
std::vector<std::string> RequestsFor(const std::string& path)
{
    std::vector<std::string> lines;
    const std::string log = RequestsLog();
    for (size_t start = 0, end; start < log.size(); start = end + 1) {
        end = log.find('\n', start);
        const std::string line = log.substr(start, end - start);
        if (line.find("\"path\": \"" + path + "\"") != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}


TEST(DownloadUrl, MemoryModeAppendsAfterExistingBytes)
{
    ByteBuffer buffer = {'o', 'l', 'd'};
    ErrorText error;
    ASSERT_TRUE(DownloadUrl(OfficialUrl(L"/bytes/60000"), buffer, {}, error));
    ByteBuffer expected = {'o', 'l', 'd'};
    const ByteBuffer body = PatternBytes(60000);
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_TRUE(buffer == expected);
    EXPECT_EQ(error, L"");
}

// A report that keeps every percentage it is told.
struct ProgressSeen {
    std::vector<unsigned> Percents;
    DownloadReport Report;
    ProgressSeen()
    {
        Report.Progress = [this](unsigned percent) { Percents.push_back(percent); };
    }
};

TEST(DownloadUrl, ProgressReportedOnlyWhenThePercentMoves)
{
    // 8 MiB arrives in hundreds of reads, each well under 1 %: every
    // percentage from 0 to 100 is reached, and each is reported once.
    TestDirectory directory;
    ProgressSeen file;
    ByteBuffer unused;
    ErrorText error;
    ASSERT_TRUE(DownloadToFile(OfficialUrl(L"/bytes/8388608"), directory.Path() + L"\\body.bin", file.Report, error));
    std::vector<unsigned> everyPercent;
    for (unsigned percent = 0; percent <= 100; ++percent) {
        everyPercent.push_back(percent);
    }
    EXPECT_EQ(file.Percents, everyPercent);

    // Memory mode reports as well; 60000 bytes come in a handful of reads.
    ProgressSeen memory;
    ASSERT_TRUE(DownloadUrl(OfficialUrl(L"/bytes/60000"), unused, memory.Report, error));
    ASSERT_FALSE(memory.Percents.empty());
    EXPECT_TRUE(std::adjacent_find(memory.Percents.begin(), memory.Percents.end(), std::greater_equal<unsigned>()) ==
                memory.Percents.end());
    EXPECT_EQ(memory.Percents.back(), 100u);
}

TEST(DownloadUrl, NoProgressWithoutContentLength)
{
    TestDirectory directory;
    ProgressSeen seen;
    ErrorText error;
    ASSERT_TRUE(DownloadToFile(OfficialUrl(L"/bytes/60000?nolength=1"), directory.Path() + L"\\body.bin", seen.Report,
                               error));
    EXPECT_TRUE(ReadFileBytes(directory.Path() + L"\\body.bin") == PatternBytes(60000));
    EXPECT_TRUE(seen.Percents.empty());
}

// Memory mode reads a manifest, which must be whole: its end must be
// framed (a length, or chunks the service checks), not merely the
// connection's end, which a cut looks like too.
TEST(DownloadUrl, MemoryModeTakesOnlyAFramedBody)
{
    struct Row {
        const wchar_t* path;
        bool whole;
    };
    const Row rows[] = {
        {L"/bytes/3000?chunked=1&chunk=1000", true},
        {L"/bytes/3000?nolength=1", false},
        {L"/bytes/3000?nolength=1&cut=2000", false},
    };
    for (const Row& row : rows) {
        ByteBuffer buffer;
        ErrorText error;
        EXPECT_EQ(DownloadUrl(OfficialUrl(row.path), buffer, {}, error), row.whole) << Narrow(row.path);
        EXPECT_EQ(error, row.whole ? L"" : kFailed) << Narrow(row.path);
        EXPECT_TRUE(buffer == (row.whole ? PatternBytes(3000) : ByteBuffer())) << Narrow(row.path);
    }
}

TEST(DownloadUrlToFile, WritesTheBody)
{
    TestDirectory directory;
    const std::wstring path = directory.Path() + L"\\body.bin";
    ASSERT_TRUE(WriteFileBytes(path, ByteBuffer(500000, 'x')));
    ErrorText error;
    // Bodies of one byte, of exactly one TLS record (the least round), of
    // less than a read block, of exactly one and of one and a byte, and of
    // three blocks and a byte: announced (their progress shown), without a
    // length, and chunked; and a block and a byte in chunks of one byte sent
    // at once, whose reads nearly all complete inside the call.
    struct Row {
        const wchar_t* path;
        size_t size;
    };
    for (const Row& row : {Row{L"/bytes/1", 1}, Row{L"/bytes/16384", 16384}, Row{L"/bytes/200001", 200001},
                           Row{L"/bytes/262144", 262144}, Row{L"/bytes/262145", 262145}, Row{L"/bytes/786433", 786433},
                           Row{L"/bytes/786433?nolength=1", 786433},
                           Row{L"/bytes/786433?chunked=1&chunk=100000", 786433},
                           Row{L"/bytes/262145?chunked=1&chunk=1&burst=1", 262145}}) {
        ProgressSeen seen;
        ASSERT_TRUE(DownloadToFile(OfficialUrl(row.path), path, seen.Report, error)) << Narrow(row.path);
        EXPECT_TRUE(ReadFileBytes(path) == PatternBytes(row.size)) << Narrow(row.path);
    }

    ASSERT_TRUE(DownloadToFile(OfficialUrl(L"/bytes/0"), path, {}, error));
    EXPECT_TRUE(FileExists(path));
    EXPECT_TRUE(ReadFileBytes(path).empty());
}

TEST(DownloadUrl, WriteFailureFailsTheDownload)
{
    // Smaller than one gathered block (only the last write can fail) and
    // larger than several.
    TestDirectory directory;
    const std::wstring path = directory.Path() + L"\\read-only.bin";
    ASSERT_TRUE(WriteFileBytes(path, ByteBuffer()));
    for (const wchar_t* body : {L"/bytes/1000", L"/bytes/1000000"}) {
        ScopedFile readOnly(NullIfInvalid(
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
        ASSERT_TRUE(readOnly.IsValid());
        ErrorText error;
        FailureDetail detail;
        EXPECT_FALSE(DownloadUrlToFile(OfficialUrl(body), readOnly.Get(), {}, error, &detail)) << body;
        EXPECT_EQ(error, kNotWritten) << body;
        EXPECT_EQ(detail, L"Windows error 5 (access denied) writing the body of " + OfficialUrl(body) + L".");
    }
    // A disk that fills up, on the first request and on the resumed one:
    // never asked again once a write failed.
    for (const char* rules : {"{}", R"({"/bytes/300000": {"sequence": [{"cut": 100000}, {}]}})"}) {
        ClearSite();
        ASSERT_TRUE(SetSiteRules(rules));
        ErrorText error;
        FailureDetail detail;
        EXPECT_FALSE(DownloadToFile(OfficialUrl(L"/bytes/300000"), SmallDisk() + L"\\body.bin", {}, error, &detail))
            << rules;
        EXPECT_EQ(error, kNotWritten) << rules;
        EXPECT_NE(detail.find(L"Windows error 112 (disk full) writing the body of " + OfficialUrl(L"/bytes/300000")),
                  std::wstring::npos)
            << rules << Narrow(detail);
        EXPECT_EQ(RequestsFor("/bytes/300000").size(), std::string(rules) == "{}" ? 1u : 2u) << rules;
    }
}

// An installer body is never written beyond its announced length, and
// without one, never beyond the ceiling (the test tree's: 16 MiB); a 206
// carries exactly the rest it names.
TEST(DownloadUrlToFile, NeverPastTheLengthOrTheCeiling)
{
    const unsigned long long cap = kTransferLimits.InstallerCapBytes;
    const std::wstring capText = std::to_wstring(cap);
    const std::wstring above = std::to_wstring(cap + 1);
    struct Row {
        std::wstring path;
        std::string rules;   // for /bytes/300000
        const wchar_t* error;  // null: the whole body arrives
        unsigned long long written;
    };
    const Row rows[] = {
        {L"/bytes/" + above, "{}", kBadStatus, 0},
        {L"/bytes/" + above + L"?nolength=1", "{}", kBadStatus, cap},
        {L"/bytes/" + capText + L"?nolength=1", "{}", nullptr, cap},
        {L"/bytes/100?length=4294967297", "{}", kBadStatus, 0},
        {L"/bytes/300000", R"([{"cut": 150000}, {"extra": 10000000}])", kFailed, 150000},
        {L"/bytes/300000", R"([{"cut": 150000}, {"chunked": 1, "extra": 1000}])", nullptr, 300000},
    };
    TestDirectory directory;
    const std::wstring file = directory.Path() + L"\\body.bin";
    for (const Row& row : rows) {
        ClearSite();
        ASSERT_TRUE(SetSiteRules(R"({"/bytes/300000": {"sequence": )" + (row.rules == "{}" ? "[{}]" : row.rules) + "}}"));
        ErrorText error;
        EXPECT_EQ(DownloadToFile(OfficialUrl(row.path), file, {}, error), row.error == nullptr) << Narrow(row.path)
                                                                                                   << row.rules;
        EXPECT_EQ(error, row.error == nullptr ? L"" : row.error) << Narrow(row.path) << row.rules;
        const ByteBuffer written = ReadFileBytes(file);
        EXPECT_EQ(written.size(), row.written) << Narrow(row.path) << row.rules;
        EXPECT_TRUE(written == PatternBytes(written.size())) << Narrow(row.path) << row.rules;
    }
}

// What the request for the rest of a body sends back of the first answer.
TEST(DownloadUrlToFile, TheResumeSendsBackOnlyAWellFormedValidator)
{
    const std::string longTag = "\\\"" + std::string(300, 'a') + "\\\"";
    struct Row {
        const char* name;
        std::string first, second;  // the rules of the two answers
        std::string ifRange;        // as the site logged it; empty: none sent
    };
    const Row rows[] = {
        {"a bare CR in the ETag", R"({"cut": 150000, "etag": "\"e1\"\rX-Injected: yes"})", "{}", ""},
        {"a 300-character ETag", R"({"cut": 150000, "etag": ")" + longTag + R"("})", R"({"etag": ")" + longTag + R"("})",
         longTag},
        {"the unit in capitals", R"({"cut": 150000})", R"({"content_range": "Bytes 150000-299999/300000"})",
         "\\\"" + Sha256Hex(PatternBytes(300000)).substr(0, 16) + "\\\""},
    };
    TestDirectory directory;
    for (const Row& row : rows) {
        ClearSite();
        ASSERT_TRUE(SetSiteRules(R"({"/bytes/300000": {"sequence": [)" + row.first + ", " + row.second + "]}}"));
        ErrorText error;
        EXPECT_TRUE(DownloadToFile(OfficialUrl(L"/bytes/300000"), directory.Path() + L"\\body.bin", {}, error))
            << row.name;
        EXPECT_TRUE(ReadFileBytes(directory.Path() + L"\\body.bin") == PatternBytes(300000)) << row.name;
        const std::vector<std::string> requests = RequestsFor("/bytes/300000");
        ASSERT_EQ(requests.size(), 2u) << row.name;
        const size_t sent = requests[1].find("\"If-Range\": ");
        EXPECT_EQ(sent == std::string::npos ? "" : requests[1].substr(sent + 12, row.ifRange.size() + 2),
                  row.ifRange.empty() ? "" : "\"" + row.ifRange + "\"")
            << row.name << "\n" << requests[1];
        std::string lower = RequestsLog();
        for (char& c : lower) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(lower.find("x-injected"), std::string::npos) << row.name;
    }
}

// An answer other than 200 writes nothing: an empty file stays empty, a
// file with bytes keeps them.
TEST(DownloadUrlToFile, ErrorStatusWritesNothing)
{
    TestDirectory directory;
    const std::wstring fresh = directory.Path() + L"\\fresh.bin";
    const std::wstring existing = directory.Path() + L"\\existing.bin";
    ASSERT_TRUE(WriteFileBytes(fresh, ByteBuffer()));
    ASSERT_TRUE(WriteFileBytes(existing, ByteBuffer(3, 'k')));
    for (const wchar_t* path : {L"/missing.bin", L"/bytes/10?status=500", L"/bytes/10?status=403"}) {
        for (const std::wstring& target : {fresh, existing}) {
            ScopedFile file(NullIfInvalid(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
            ErrorText error;
            EXPECT_FALSE(DownloadUrlToFile(OfficialUrl(path), file.Get(), {}, error)) << Narrow(path);
            EXPECT_EQ(error, kBadStatus) << Narrow(path);
        }
        EXPECT_TRUE(ReadFileBytes(fresh).empty()) << Narrow(path);
        EXPECT_TRUE(ReadFileBytes(existing) == ByteBuffer(3, 'k')) << Narrow(path);
    }
}

TEST(DownloadUrl, RefusedUrlMakesNoRequest)
{
    ByteBuffer buffer;
    ErrorText error;
    EXPECT_FALSE(DownloadUrl(L"http://" + Host() + L"/bytes/10", buffer, {}, error));
    EXPECT_EQ(error, L"The release URL must use HTTPS.");
    EXPECT_FALSE(DownloadUrl(L"https://localhost/bytes/10", buffer, {}, error));
    EXPECT_EQ(error, L"The release URL is not hosted on the official TAVRO domain.");
    EXPECT_TRUE(buffer.empty());
}

TEST(DownloadUrl, ConnectionFailuresGiveTheConnectionSentence)
{
    // 8443: certificate for another name; 9443: untrusted CA; 10443: TLS 1.1
    // only, which the installer never speaks; 1: nothing listens.
    const std::wstring host = L"https://" + Host();
    // The detail names the service's error: Wine reports a certificate
    // fault as a secure channel error, Windows as a secure failure with
    // the certificate's flags.
    const std::wstring secure = L"WinHTTP error 12157 (secure channel error) requesting ";
    const std::wstring refused = L"WinHTTP error 12029 (cannot connect) requesting ";
    for (const std::wstring& url : {host + L":8443/bytes/10", host + L":9443/bytes/10", host + L":10443/bytes/10",
                                    host + L":1/bytes/10"}) {
        ByteBuffer buffer;
        ErrorText error;
        FailureDetail detail;
        EXPECT_FALSE(DownloadUrl(url, buffer, {}, error, &detail)) << Narrow(url);
        EXPECT_EQ(error, kFailed) << Narrow(url);
        EXPECT_EQ(detail, (url.find(L":1/") != std::wstring::npos ? refused : secure) + url + L".");
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(DownloadUrl, BodyCutShortIsAFailedReadAndKeepsWhatArrived)
{
    TestDirectory directory;
    const std::wstring path = directory.Path() + L"\\cut.bin";
    ByteBuffer buffer;
    ErrorText error;
    // Cut every time, the whole body every time: the resumes get no further.
    EXPECT_FALSE(DownloadToFile(OfficialUrl(L"/bytes/200000?cut=100000&norange=1"), path, {}, error));
    EXPECT_EQ(error, kFailed);
    EXPECT_TRUE(ReadFileBytes(path) == PatternBytes(100000));

    error.clear();
    EXPECT_FALSE(DownloadUrl(OfficialUrl(L"/bytes/200000?cut=100000"), buffer, {}, error));
    EXPECT_EQ(error, kFailed);
    EXPECT_LE(buffer.size(), 100000u);
}

TEST(DownloadUrl, MemoryModeBodyAboveTheCapFails)
{
    for (const wchar_t* path : {L"/bytes/65537", L"/bytes/65537?nolength=1", L"/bytes/1?endless=1"}) {
        ByteBuffer buffer;
        ErrorText error;
        EXPECT_FALSE(DownloadUrl(OfficialUrl(path), buffer, {}, error)) << Narrow(path);
        EXPECT_EQ(error, kFailed) << Narrow(path);
        EXPECT_LE(buffer.size(), kMemoryBodyCap) << Narrow(path);
    }
}

struct RedirectRow {
    const char* name;
    std::string rules;
    const wchar_t* error;  // null: the body of /bytes/100 arrives
    std::vector<std::string> pathsSeen;
};

// The manifest of these rows is /m, which redirects.
TEST(DownloadUrl, RedirectsAreFollowedOnlyWithinThePolicy)
{
    const std::string host = Narrow(Host());
    const std::string hostile = Narrow(kHostileHost);
    // /m and /h1../h9 are ten redirects of every kind and form, ending at
    // /h10, which sends an eleventh in the "too many" row.
    std::string hops = R"("/m": {"redirect": "/h1"}, "/h1": {"redirect": "https://www.)" + host +
                       R"(/h2"}, "/h2": {"redirect": "h3", "status": 301}, "/h3": {"redirect": "./h4", "status": 303},)"
                       R"( "/h4": {"redirect": "/h5#ignored", "status": 307}, "/h5": {"redirect": "/h6", "status": 308})";
    for (int hop = 6; hop < 10; ++hop) {
        hops += R"(, "/h)" + std::to_string(hop) + R"(": {"redirect": "/h)" + std::to_string(hop + 1) + R"("})";
    }
    const RedirectRow rows[] = {
        {"ten in-host redirects", "{" + hops + R"(, "/h9": {"redirect": "//)" + host + R"(/bytes/100#x", "status": 307}})",
         nullptr, {"/m", "/h1", "/h2", "/h3", "/h4", "/h5", "/h6", "/h7", "/h8", "/h9", "/bytes/100"}},
        {"eleven", "{" + hops + R"(, "/h10": {"redirect": "/bytes/100"}})",
         kBadStatus, {"/m", "/h1", "/h2", "/h3", "/h4", "/h5", "/h6", "/h7", "/h8", "/h9", "/h10"}},
        {"foreign host", R"({"/m": {"redirect": "https://)" + hostile + R"(/bytes/100"}})", kForeign, {"/m"}},
        {"foreign host, no scheme", R"({"/m": {"redirect": "//)" + hostile + R"(/bytes/100"}})", kForeign, {"/m"}},
        {"http", R"({"/m": {"redirect": "http://)" + host + R"(/bytes/100"}})", kNotHttps, {"/m"}},
        {"another scheme", R"({"/m": {"redirect": "ftp://)" + host + R"(/bytes/100"}})", kInvalid, {"/m"}},
        {"no Location", R"({"/m": {"status": 302}})", kBadStatus, {"/m"}},
    };
    for (const RedirectRow& row : rows) {
        ClearSite();
        ASSERT_TRUE(SetSiteRules(row.rules));
        ByteBuffer buffer;
        ErrorText error;
        EXPECT_EQ(DownloadUrl(OfficialUrl(L"/m#start"), buffer, {}, error), row.error == nullptr) << row.name;
        EXPECT_EQ(error, row.error == nullptr ? L"" : row.error) << row.name;
        EXPECT_TRUE(buffer == (row.error == nullptr ? PatternBytes(100) : ByteBuffer())) << row.name;
        const std::string seen = RequestsLog();
        std::vector<std::string> paths;
        for (size_t at = seen.find("\"path\": \""); at != std::string::npos; at = seen.find("\"path\": \"", at + 1)) {
            const size_t start = at + 9;
            paths.push_back(seen.substr(start, seen.find('"', start) - start));
        }
        EXPECT_EQ(paths, row.pathsSeen) << row.name;
        // Not even a connection reached the foreign host.
        EXPECT_EQ(seen.find(hostile), std::string::npos) << row.name << "\n" << seen;
    }
}

// The response headers of a fetch are waited for one low-speed window in
// all, however many redirects lead to them.
TEST(DownloadUrl, SlowRedirectsShareOneHeaderWait)
{
    // Hops that answer after 3/10 of the window: one fits in it, four do not
    // (each alone would).
    const std::string wait = R"(, "wait_ms": )" + std::to_string(kTransferLimits.LowSpeedWindowMs * 3 / 10) + "}";
    struct Row {
        std::string rules;
        bool arrives;
    };
    const Row rows[] = {
        {R"({"/r1": {"redirect": "/bytes/100")" + wait + "}", true},
        {R"({"/r1": {"redirect": "/r2")" + wait + R"(, "/r2": {"redirect": "/r3")" + wait +
             R"(, "/r3": {"redirect": "/r4")" + wait + R"(, "/r4": {"redirect": "/bytes/100")" + wait + "}",
         false},
    };
    for (const Row& row : rows) {
        ClearSite();
        ASSERT_TRUE(SetSiteRules(row.rules));
        ByteBuffer buffer;
        ErrorText error;
        EXPECT_EQ(DownloadUrl(OfficialUrl(L"/r1"), buffer, {}, error), row.arrives) << row.rules;
        EXPECT_EQ(error, row.arrives ? L"" : kFailed) << row.rules;
    }
}

struct StallRow {
    std::wstring path;
    bool toFile;
    bool completes;
};

// The test tree's limits are seconds: a low-speed window (2 s, floor 1 KiB)
// and a memory-mode deadline (6 s), longer where the tree runs slowly.
TEST(DownloadUrl, StalledTransfersFail)
{
    const unsigned long windowS = static_cast<unsigned long>(kTransferLimits.LowSpeedWindowMs / 1000);
    const unsigned long deadlineS = static_cast<unsigned long>(kTransferLimits.MemoryDeadlineMs / 1000);
    const unsigned long steady = 4096 * 2 * windowS;  // 4 KiB a second for two windows
    const StallRow rows[] = {
        {L"/bytes/300?drip_ms=50", false, false},  // 20 bytes a second
        {L"/bytes/3000?drip_ms=50", true, false},  // too long for a window and its three resumes
        {L"/bytes/300?silent=1", false, false},  // never sends headers
        // 1 KiB a second, well above the floor, but past the deadline.
        {L"/bytes/" + std::to_wstring((deadlineS + 10) * 1024) + L"?delay_ms=1000&chunk=1024", false, false},
        {L"/bytes/" + std::to_wstring(steady) + L"?delay_ms=500&chunk=2048", true, true},
    };
    TestDirectory directory;
    const std::wstring file = directory.Path() + L"\\body.bin";
    for (const StallRow& row : rows) {
        ByteBuffer buffer;
        ErrorText error;
        const bool completed = row.toFile ? DownloadToFile(OfficialUrl(row.path), file, {}, error)
                                          : DownloadUrl(OfficialUrl(row.path), buffer, {}, error);
        EXPECT_EQ(completed, row.completes) << Narrow(row.path);
        EXPECT_EQ(error, row.completes ? L"" : kFailed) << Narrow(row.path);
    }
    EXPECT_TRUE(ReadFileBytes(file) == PatternBytes(steady));
}

// Servers that send bytes but never a whole answer. Every blocked call
// returns when a byte arrives, so only a deadline of the transfer's own ends
// these (the test tree's low-speed window, for the headers and for the body).
// The server gives up after 30 s, or for ever later.
TEST(DownloadUrl, TrickledAnswersEndWithinTheLimits)
{
    const wchar_t* const rows[] = {
        L"/bytes/10?trickle_headers=200&for_ms=60000",     // a byte of headers at a time, header lines without end
        L"/bytes/10?continues=200&for_ms=60000",           // "100 Continue" without end
        L"/bytes/10?endless_chunk_size=200&for_ms=60000",  // a chunk-size line without end
        L":7443/bytes/10",                                 // the TLS handshake relayed a byte at a time
    };
    TestDirectory directory;
    for (const wchar_t* row : rows) {
        ErrorText error;
        const ULONGLONG start = GetTickCount64();
        EXPECT_FALSE(DownloadToFile(OfficialUrl(row), directory.Path() + L"\\body.bin", {}, error)) << Narrow(row);
        EXPECT_EQ(error, kFailed) << Narrow(row);
        EXPECT_LT(GetTickCount64() - start, 3 * kTransferLimits.LowSpeedWindowMs + 5000) << Narrow(row);
    }
}

// The bed's tinyproxy listens on 3128; nothing listens on 9.
TEST(DownloadUrl, ThroughTheUsersProxy)
{
    struct Row {
        const char* proxy;
        bool works;
    };
    for (const Row& row : {Row{"127.0.0.1:3128", true}, Row{"http://127.0.0.1:3128/", true},
                           Row{"https=http://127.0.0.1:3128", true}, Row{"127.0.0.1:9", false}}) {
        const ScopedUserProxy proxy(row.proxy);
        ByteBuffer buffer;
        ErrorText error;
        EXPECT_EQ(DownloadUrl(OfficialUrl(L"/bytes/100"), buffer, {}, error), row.works) << row.proxy;
        EXPECT_EQ(error, row.works ? L"" : kFailed) << row.proxy;
    }
}

// Without a proxy a 407 is the origin's, which never gets the user's logon:
// the request is not sent again.
TEST(DownloadUrl, ASignInRequestFromTheOriginIsAnUnexpectedResponse)
{
    for (const char* scheme : {"NTLM", "Negotiate"}) {
        ClearSite();
        ASSERT_TRUE(SetSiteRules(std::string(R"({"/bytes/10": {"status": 407, "header": "Proxy-Authenticate: )") +
                                 scheme + "\"}}"));
        ByteBuffer buffer;
        ErrorText error;
        EXPECT_FALSE(DownloadUrl(OfficialUrl(L"/bytes/10"), buffer, {}, error)) << scheme;
        EXPECT_EQ(error, kBadStatus) << scheme;
        const std::string seen = RequestsLog();
        EXPECT_EQ(seen.find("/bytes/10"), seen.rfind("/bytes/10")) << seen;
    }
}

TEST(TransferFailureSentence, NamesWhatTheUserCanActOn)
{
    EXPECT_EQ(std::wstring(TransferFailureSentence(0, false)), kFailed);
    EXPECT_EQ(std::wstring(TransferFailureSentence(200, true)), kFailed);
    EXPECT_EQ(std::wstring(TransferFailureSentence(404, true)), kBadStatus);
    EXPECT_EQ(std::wstring(TransferFailureSentence(401, false)), kBadStatus);
    EXPECT_EQ(std::wstring(TransferFailureSentence(407, false)), kBadStatus);
    EXPECT_EQ(std::wstring(TransferFailureSentence(407, true)),
              L"The proxy server named in this computer's Internet settings asked for a sign-in that the installer "
              L"cannot give. Ask your network administrator to let the installer through, or try another network.");
}

}  // namespace
