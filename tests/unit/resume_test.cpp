#include "release/transfer/resume.h"

#include <gtest/gtest.h>

#include <winhttp.h>

#include "official_host.h"

namespace {

TEST(ParseContentRange, OneSpanThatFitsItsTotal)
{
    struct Row {
        const wchar_t* text;
        bool parsed;
        unsigned long long first, last, total;
    };
    const Row rows[] = {
        {L"bytes 100-199/200", true, 100, 199, 200},
        {L"Bytes 100-199/200", true, 100, 199, 200},
        {L"BYTES 0-0/1", true, 0, 0, 1},
        {L"bytes 0-4294967295/4294967296", true, 0, 4294967295ULL, 4294967296ULL},
        {L"bytes */200", false, 0, 0, 0},
        {L"bytes 100-199/*", false, 0, 0, 0},
        {L"bytes 100-200/200", false, 0, 0, 0},
        {L"bytes 150-100/200", false, 0, 0, 0},
        {L"bytes 100-199/200, 0-9/200", false, 0, 0, 0},
        {L"items 100-199/200", false, 0, 0, 0},
        {L"bytes 100-199/200 ", false, 0, 0, 0},
        {L"bytes 99999999999999999999-1/2", false, 0, 0, 0},
        {L"", false, 0, 0, 0},
    };
    for (const Row& row : rows) {
        unsigned long long first = 7, last = 7, total = 7;
        EXPECT_EQ(ParseContentRange(row.text, first, last, total), row.parsed) << Narrow(row.text);
        if (row.parsed) {
            EXPECT_EQ(first, row.first);
            EXPECT_EQ(last, row.last);
            EXPECT_EQ(total, row.total);
        }
    }
}

// What goes back to the server in If-Range is one well-formed validator,
// never a server's text with a line end in it.
TEST(IfRangeValidator, AWellFormedStrongETagElseTheDate)
{
    const wchar_t date[] = L"Wed, 09 Dec 2026 01:00:00 GMT";
    const std::wstring longTag = L"\"" + std::wstring(300, L'a') + L"\"";
    struct Row {
        std::wstring etag, lastModified, sent;
    };
    const Row rows[] = {
        {L"\"abc\"", date, L"\"abc\""},
        {longTag, L"", longTag},
        {L"W/\"abc\"", date, date},
        {L"", date, date},
        {L"", L"", L""},
        {L"\"e1\"\rX-Injected: yes", date, date},
        {L"\"e1\"\r\nX-Injected: yes", L"", L""},
        {L"\"a b\"", L"", L""},
        {L"\"caf\x00e9\"", L"", L""},
        {L"abc", L"", L""},
        {L"", L"Wed, 09 Dec 2026 01:00:00 GMT\rX-Injected: yes", L""},
        {L"", L"yesterday", L""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IfRangeValidator(row.etag, row.lastModified), row.sent) << Narrow(row.etag);
    }
}

// The answer to a request for the rest of a body that stopped at 100 of 300
// bytes.
TEST(JudgeRestAnswer, ExactlyTheRestOrTheWholeBodyAgain)
{
    struct Row {
        DWORD status;
        const wchar_t* range;
        bool announced;
        unsigned long long length;
        RestAnswer answer;
    };
    const Row rows[] = {
        {206, L"bytes 100-299/300", true, 200, RestAnswer::Append},
        {206, L"bytes 100-299/300", false, 0, RestAnswer::Append},
        {206, L"Bytes 100-299/300", true, 200, RestAnswer::Append},
        {206, L"bytes 100-299/300", true, 10000000, RestAnswer::Refuse},
        {206, L"bytes 100-299/300", true, 199, RestAnswer::Refuse},
        {206, L"bytes 99-299/300", true, 201, RestAnswer::Refuse},
        {206, L"bytes 100-298/300", true, 199, RestAnswer::Refuse},
        {206, L"bytes 100-299/301", true, 200, RestAnswer::Refuse},
        {206, L"", false, 0, RestAnswer::Refuse},
        {200, L"", true, 300, RestAnswer::StartAgain},
        {416, L"bytes */300", true, 0, RestAnswer::Refuse},
        {302, L"", false, 0, RestAnswer::Refuse},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(JudgeRestAnswer(row.status, row.range, row.announced, row.length, 100, 300), row.answer)
            << row.status << " " << Narrow(row.range) << " " << row.length;
    }
    EXPECT_EQ(RestRequestHeaders(100, L"\"e1\""), L"Range: bytes=100-\r\nIf-Range: \"e1\"\r\n");
    EXPECT_EQ(RestRequestHeaders(100, L""), L"Range: bytes=100-\r\n");
}

}  // namespace
