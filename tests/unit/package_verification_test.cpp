#include "release/trust/package_verification.h"

#include <gtest/gtest.h>

#include "pattern_file.h"
#include "test_directory.h"

namespace {

TEST(ToLowerHex, HighNibbleFirstLowerCase)
{
    const unsigned char bytes[] = {0x00, 0x0F, 0xA5, 0xFF, 0x10};
    EXPECT_EQ(ToLowerHex(bytes, sizeof(bytes)), L"000fa5ff10");
    EXPECT_EQ(ToLowerHex(bytes, 0), L"");
}

TEST(HashFailureSentence, OnlyAMissingProviderIsAFailureToStart)
{
    const std::wstring start = L"Unable to initialize package verification.";
    const std::wstring verify = L"The downloaded package could not be verified.";
    EXPECT_EQ(HashFailureSentence(HashStep::OpenProvider), start);
    EXPECT_EQ(HashFailureSentence(HashStep::CreateHash), verify);
    EXPECT_EQ(HashFailureSentence(HashStep::HashFile), verify);
}

TEST(ComputeFileSha256, MatchesReferenceDigests)
{
    // Reference values from an independent SHA-256 over the same pattern.
    struct Row {
        size_t size;
        const wchar_t* sha256;
    };
    const Row rows[] = {
        {0, L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {1, L"ca358758f6d27e6cf45272937977a748fd88391db679ceda7dc7bf1f005ee879"},
        {65535, L"91d0a03af0efeeb5568bbdcf2bd7fe1c9d932c4d22db3643c7586c1bd1afbeb1"},
        {65536, L"ef4636928161808e87035fa51983821677527ccd9661991c5d0126a778b2268a"},
        {65537, L"74f3260f4a9adaf7271c910ba2d111dbae7a176afb487e1b7f655897eadf1093"},
        {5 * 1024 * 1024 + 123, L"e15827d39a3e9d5a2a75d0e0fabed8b7e27218ca7b4101abd0a2b885698a62f4"},
    };
    TestDirectory directory;
    for (const Row& row : rows) {
        const std::wstring path = directory.Path() + L"\\setup-" + std::to_wstring(row.size) + L".exe";
        ASSERT_TRUE(WriteFileBytes(path, PatternBytes(row.size)));
        std::wstring digest = L"old";
        ErrorText error = L"earlier sentence";
        ASSERT_TRUE(ComputeFileSha256(path, digest, error)) << row.size;
        EXPECT_EQ(digest, row.sha256) << row.size;
        EXPECT_EQ(error, L"earlier sentence");
        // The file is closed again: it can be deleted at once.
        EXPECT_TRUE(DeleteFileW(path.c_str())) << row.size;
    }
}

TEST(ComputeFileSha256, MissingFileOrEmptyPathIsNotVerified)
{
    TestDirectory directory;
    for (const std::wstring& path : {directory.Path() + L"\\missing.exe", std::wstring()}) {
        std::wstring digest = L"kept";
        ErrorText error;
        EXPECT_FALSE(ComputeFileSha256(path, digest, error));
        EXPECT_EQ(error, L"The downloaded package could not be verified.");
        EXPECT_EQ(digest, L"kept");
    }
}

TEST(ComputeFileSha256, ReadsAFileThatAnotherHandleHasOpen)
{
    TestDirectory directory;
    const std::wstring path = directory.Path() + L"\\open.exe";
    ASSERT_TRUE(WriteFileBytes(path, PatternBytes(1)));
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::wstring digest;
    ErrorText error;
    EXPECT_TRUE(ComputeFileSha256(path, digest, error));
    EXPECT_EQ(digest, L"ca358758f6d27e6cf45272937977a748fd88391db679ceda7dc7bf1f005ee879");
    CloseHandle(writer);
}

// A read that fails is a failed verification, never the end of the file (a
// hash over no bytes would read as a mismatch).
TEST(ComputeHandleSha256, AReadThatFailsIsNotTheEnd)
{
    TestDirectory directory;
    const std::wstring path = directory.Path() + L"\\unreadable.exe";
    ASSERT_TRUE(WriteFileBytes(path, PatternBytes(100000)));
    HANDLE writeOnly = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writeOnly, INVALID_HANDLE_VALUE);
    std::wstring digest = L"kept";
    ErrorText error;
    FailureDetail detail;
    EXPECT_FALSE(ComputeHandleSha256(writeOnly, digest, error, &detail));
    EXPECT_EQ(error, L"The downloaded package could not be verified.");
    EXPECT_EQ(detail, L"Windows error 5 (access denied) reading the file to hash.");
    EXPECT_EQ(digest, L"kept");
    CloseHandle(writeOnly);
}

}  // namespace
