// The transfer's pure rules: progress, the low-speed rule, lengths.
#include <gtest/gtest.h>

#include "official_host.h"
#include "release/transfer/body_sink.h"
#include "release/transfer/resume.h"
#include "release/transfer/transfer_limits.h"

namespace {

TEST(DownloadPercent, SixtyFourBitProductRoundedDownAndCapped)
{
    EXPECT_EQ(DownloadPercent(0, 1000), 0u);
    EXPECT_EQ(DownloadPercent(999, 1000), 99u);
    EXPECT_EQ(DownloadPercent(1000, 1000), 100u);
    EXPECT_EQ(DownloadPercent(1500, 1000), 100u);
    // received * 100 overflows 32 bits here, and 64 bits in the last.
    EXPECT_EQ(DownloadPercent(4000000000UL, 4294967295UL), 93u);
    EXPECT_EQ(DownloadPercent(2147483648ULL, 4294967297ULL), 49u);
    EXPECT_EQ(DownloadPercent(1ULL << 62, 1ULL << 63), 50u);
}

TEST(LowSpeedRuleTrips, AWholeWindowBelowTheFloor)
{
    struct Step {
        ULONGLONG now;
        unsigned long long received;
        bool trips;
    };
    const Step steps[] = {
        {1000, 500, false},   {59999, 1023, false}, {60000, 1023, true},
        // Reaching the floor starts a new window at that moment.
        {30000, 1024, false}, {89999, 2047, false}, {90000, 2047, true},
        {90000, 3071, false}, {150000, 3071, true},
    };
    LowSpeedWindow window = {0, 0};
    for (const Step& step : steps) {
        if (step.now == 30000) {
            window = {0, 0};
        }
        EXPECT_EQ(LowSpeedRuleTrips(window, step.now, step.received, false, kProductionLimits), step.trips)
            << step.now << " ms, " << step.received << " bytes";
    }
    // The read that completed the body is no stall, however late it came.
    window = {0, 0};
    EXPECT_FALSE(LowSpeedRuleTrips(window, 60001, 500, true, kProductionLimits));
    EXPECT_TRUE(LowSpeedRuleTrips(window, 60001, 500, false, kProductionLimits));
}

TEST(ParseContentLength, DigitsThatFitIn63Bits)
{
    struct Row {
        const wchar_t* text;
        bool parsed;
        unsigned long long length;
    };
    const Row rows[] = {
        {L"0", true, 0},
        {L"4294967297", true, 4294967297ULL},
        {L"9223372036854775807", true, 9223372036854775807ULL},
        {L"18446744073709551617", false, 0},
        {L"", false, 0},
        {L"-1", false, 0},
        {L"+5", false, 0},
        {L" 5", false, 0},
        {L"5, 5", false, 0},
        {L"0x10", false, 0},
    };
    for (const Row& row : rows) {
        unsigned long long length = 7;
        EXPECT_EQ(ParseContentLength(row.text, length), row.parsed) << Narrow(row.text);
        EXPECT_EQ(length, row.parsed ? row.length : 7) << Narrow(row.text);
    }
}

}  // namespace
