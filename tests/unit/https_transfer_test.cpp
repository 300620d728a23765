// DownloadUrl against the test bed's release site (run inside the bed).
#include "release/https_transfer.h"

#include <gtest/gtest.h>

#include <vector>

#include "message_recorder.h"
#include "pattern_file.h"
#include "test_directory.h"

namespace {

constexpr wchar_t kFailed[] = L"The download could not be completed. Check the internet connection and try again.";
constexpr wchar_t kBadStatus[] = L"The TAVRO server returned an unexpected response.";

std::wstring Url(const std::wstring& pathAndQuery)
{
    return L"https://tavro.example" + pathAndQuery;
}

TEST(DownloadPercent, SixtyFourBitProductRoundedDownAndCapped)
{
    EXPECT_EQ(DownloadPercent(0, 1000), 0u);
    EXPECT_EQ(DownloadPercent(999, 1000), 99u);
    EXPECT_EQ(DownloadPercent(1000, 1000), 100u);
    EXPECT_EQ(DownloadPercent(1500, 1000), 100u);
    // received * 100 overflows 32 bits here.
    EXPECT_EQ(DownloadPercent(4000000000UL, 4294967295UL), 93u);
}

TEST(DownloadUrl, MemoryModeAppendsAfterExistingBytes)
{
    ByteBuffer buffer = {'o', 'l', 'd'};
    ErrorText error;
    ASSERT_TRUE(DownloadUrl(Url(L"/bytes/70000"), buffer, L"", false, error));
    ByteBuffer expected = {'o', 'l', 'd'};
    const ByteBuffer body = PatternBytes(70000);
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_TRUE(buffer == expected);
    EXPECT_EQ(error, L"");
}

TEST(DownloadUrl, ProgressOnePostPerChunkEndingAtHundred)
{
    MessageRecorder recorder;
    ByteBuffer buffer;
    ErrorText error;
    ASSERT_TRUE(DownloadUrl(Url(L"/bytes/300000"), buffer, L"", true, error));
    EXPECT_EQ(buffer.size(), 300000u);
    const std::vector<unsigned> posted = recorder.TakeProgress();
    ASSERT_GE(posted.size(), 2u);
    for (size_t i = 0; i < posted.size(); ++i) {
        EXPECT_LE(posted[i], 100u);
        if (i > 0) {
            EXPECT_GE(posted[i], posted[i - 1]);
        }
    }
    EXPECT_EQ(posted.back(), 100u);
}

TEST(DownloadUrl, NoProgressWithoutContentLengthOrWhenOff)
{
    MessageRecorder recorder;
    ByteBuffer buffer;
    ErrorText error;
    ASSERT_TRUE(DownloadUrl(Url(L"/bytes/100000?nolength=1"), buffer, L"", true, error));
    EXPECT_TRUE(buffer == PatternBytes(100000));
    EXPECT_TRUE(recorder.TakeProgress().empty());
    ASSERT_TRUE(DownloadUrl(Url(L"/bytes/100000"), buffer, L"", false, error));
    EXPECT_TRUE(recorder.TakeProgress().empty());
}

TEST(DownloadUrl, FileModeWritesTheBody)
{
    TestDirectory directory;
    const std::wstring path = directory.Path() + L"\\body.bin";
    ASSERT_TRUE(WriteFileBytes(path, ByteBuffer(500000, 'x')));
    ByteBuffer untouched = {1, 2};
    ErrorText error;
    ASSERT_TRUE(DownloadUrl(Url(L"/bytes/200001"), untouched, path, false, error));
    EXPECT_TRUE(ReadFileBytes(path) == PatternBytes(200001));
    EXPECT_EQ(untouched.size(), 2u);

    ASSERT_TRUE(DownloadUrl(Url(L"/bytes/0"), untouched, path, false, error));
    EXPECT_TRUE(FileExists(path));
    EXPECT_TRUE(ReadFileBytes(path).empty());
}

TEST(DownloadUrl, ErrorStatusCreatesNoFileAndKeepsAnExistingOne)
{
    TestDirectory directory;
    const std::wstring fresh = directory.Path() + L"\\fresh.bin";
    const std::wstring existing = directory.Path() + L"\\existing.bin";
    ASSERT_TRUE(WriteFileBytes(existing, ByteBuffer(3, 'k')));
    ByteBuffer buffer;
    for (const wchar_t* path : {L"/missing.bin", L"/bytes/10?status=500", L"/bytes/10?status=403"}) {
        ErrorText error;
        EXPECT_FALSE(DownloadUrl(Url(path), buffer, fresh, false, error)) << testing::PrintToString(std::wstring(path));
        EXPECT_EQ(error, kBadStatus) << testing::PrintToString(std::wstring(path));
        EXPECT_FALSE(FileExists(fresh));
        error.clear();
        EXPECT_FALSE(DownloadUrl(Url(path), buffer, existing, false, error));
        EXPECT_TRUE(ReadFileBytes(existing) == ByteBuffer(3, 'k'));
    }
}

TEST(DownloadUrl, FileInMissingDirectoryFailsAfterTheServerAnswered)
{
    TestDirectory directory;
    ByteBuffer buffer;
    ErrorText error;
    EXPECT_FALSE(DownloadUrl(Url(L"/bytes/10"), buffer, directory.Path() + L"\\no\\such\\dir.bin", false, error));
    EXPECT_EQ(error, kFailed);
}

TEST(DownloadUrl, RefusedUrlMakesNoRequest)
{
    ByteBuffer buffer;
    ErrorText error;
    EXPECT_FALSE(DownloadUrl(L"http://tavro.example/bytes/10", buffer, L"", false, error));
    EXPECT_EQ(error, L"The release URL must use HTTPS.");
    EXPECT_FALSE(DownloadUrl(L"https://localhost/bytes/10", buffer, L"", false, error));
    EXPECT_EQ(error, L"The release URL is not hosted on the official TAVRO domain.");
    EXPECT_TRUE(buffer.empty());
}

TEST(DownloadUrl, ConnectionFailuresGiveTheConnectionSentence)
{
    // 8443: certificate for another name; 9443: untrusted CA; 1: nothing listens.
    for (const wchar_t* url : {L"https://tavro.example:8443/bytes/10", L"https://tavro.example:9443/bytes/10",
                               L"https://tavro.example:1/bytes/10"}) {
        ByteBuffer buffer;
        ErrorText error;
        EXPECT_FALSE(DownloadUrl(url, buffer, L"", false, error)) << testing::PrintToString(std::wstring(url));
        EXPECT_EQ(error, kFailed) << testing::PrintToString(std::wstring(url));
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(DownloadUrl, BodyCutShortIsAFailedReadAndKeepsWhatArrived)
{
    TestDirectory directory;
    const std::wstring path = directory.Path() + L"\\cut.bin";
    ByteBuffer buffer;
    ErrorText error;
    EXPECT_FALSE(DownloadUrl(Url(L"/bytes/200000?cut=100000"), buffer, path, false, error));
    EXPECT_EQ(error, kFailed);
    const ByteBuffer written = ReadFileBytes(path);
    EXPECT_LE(written.size(), 100000u);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), PatternBytes(written.size()).begin()));

    error.clear();
    EXPECT_FALSE(DownloadUrl(Url(L"/bytes/200000?cut=100000"), buffer, L"", false, error));
    EXPECT_EQ(error, kFailed);
    EXPECT_LE(buffer.size(), 100000u);
}

}  // namespace
