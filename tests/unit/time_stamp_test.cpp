#include "release/trust/time_stamp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Element(BYTE tag, const Bytes& content)
{
    Bytes element = {tag};
    if (content.size() < 0x80) {
        element.push_back(static_cast<BYTE>(content.size()));
    } else {
        element.push_back(0x81);
        element.push_back(static_cast<BYTE>(content.size()));
    }
    element.insert(element.end(), content.begin(), content.end());
    return element;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes joined;
    for (const Bytes& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

const Bytes kSha256Oid = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

// A TSTInfo as a time-stamp authority writes it.
Bytes TimeStampInfoDer(const std::string& genTime, const Bytes& hashOid = kSha256Oid, BYTE version = 1)
{
    const Bytes imprint = Element(0x30, Join({Element(0x30, Join({Element(0x06, hashOid), Element(0x05, {})})),
                                              Element(0x04, Bytes(32, 0xAB))}));
    return Element(0x30, Join({Element(0x02, {version}), Element(0x06, {0x2A, 0x03, 0x04}), imprint,
                               Element(0x02, {0x02}), Element(0x18, Text(genTime)),
                               Element(0x01, {0xFF})}));  // ordering, which is ignored
}

SYSTEMTIME Utc(const TimeStampInfo& info)
{
    SYSTEMTIME utc = {};
    FileTimeToSystemTime(&info.Time, &utc);
    return utc;
}

TEST(ParseTimeStampInfo, ReadsTheImprintAndTheTime)
{
    TimeStampInfo info;
    const Bytes der = TimeStampInfoDer("20250301120000Z");
    ASSERT_TRUE(ParseTimeStampInfo(der.data(), der.size(), info));
    EXPECT_EQ(info.HashAlgorithm, "2.16.840.1.101.3.4.2.1");
    EXPECT_EQ(info.HashedMessage, Bytes(32, 0xAB));
    const SYSTEMTIME utc = Utc(info);
    EXPECT_EQ((std::vector<int>{utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond}),
              (std::vector<int>{2025, 3, 1, 12, 0, 0}));

    const Bytes fraction = TimeStampInfoDer("20250301120000.25Z");
    ASSERT_TRUE(ParseTimeStampInfo(fraction.data(), fraction.size(), info));
    EXPECT_EQ(Utc(info).wMilliseconds, 250);
}

TEST(ParseTimeStampInfo, RefusesWhatIsNotOne)
{
    struct Row {
        const char* name;
        Bytes der;
    };
    const Bytes good = TimeStampInfoDer("20250301120000Z");
    const Row rows[] = {
        {"empty", {}},
        {"cut short", Bytes(good.begin(), good.end() - 20)},
        {"a length past the end", Join({{0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}, Bytes(good.begin() + 2, good.end())})},
        {"another outer tag", Join({{0x31}, Bytes(good.begin() + 1, good.end())})},
        {"version 2", TimeStampInfoDer("20250301120000Z", kSha256Oid, 2)},
        {"local time", TimeStampInfoDer("20250301120000")},
        {"offset time", TimeStampInfoDer("20250301120000+0100")},
        {"month 13", TimeStampInfoDer("20251301120000Z")},
        {"letters in the time", TimeStampInfoDer("2025030112000AZ")},
        {"empty fraction", TimeStampInfoDer("20250301120000.Z")},
        {"unfinished OID", TimeStampInfoDer("20250301120000Z", {0x60, 0x86})},
    };
    for (const Row& row : rows) {
        TimeStampInfo info;
        EXPECT_FALSE(ParseTimeStampInfo(row.der.data(), row.der.size(), info)) << row.name;
    }
}

TEST(HashAlgorithmForOid, Sha2OnlyAsTheImprint)
{
    EXPECT_STREQ(HashAlgorithmForOid("2.16.840.1.101.3.4.2.1"), L"SHA256");
    EXPECT_STREQ(HashAlgorithmForOid("2.16.840.1.101.3.4.2.2"), L"SHA384");
    EXPECT_STREQ(HashAlgorithmForOid("2.16.840.1.101.3.4.2.3"), L"SHA512");
    EXPECT_EQ(HashAlgorithmForOid("1.3.14.3.2.26"), nullptr);  // SHA-1
    EXPECT_EQ(HashAlgorithmForOid("1.2.840.113549.2.5"), nullptr);  // MD5
}

}  // namespace
