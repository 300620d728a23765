#include "release/transfer/transfer_limits.h"

// The limits in force, defined apart from the transfer so that each program
// links the ones it needs: the installer and the release tool always the real
// ones, the unit tests shortened ones (TAVRO_TEST_TIMING, whose value is the
// test tree's scale: 1, or more where it runs slowly).
#ifdef TAVRO_TEST_TIMING
const TransferLimits kTransferLimits = {2000 * TAVRO_TEST_TIMING, 1024, 6000 * TAVRO_TEST_TIMING,
                                       3000 * TAVRO_TEST_TIMING, 250, 16 * 1024 * 1024, 1, 32, 2000 * TAVRO_TEST_TIMING};
#else
const TransferLimits kTransferLimits = kProductionLimits;
#endif

// The rule is the same in every program; only the limits it is given differ.
bool LowSpeedRuleTrips(LowSpeedWindow& window, ULONGLONG nowMs, unsigned long long received, bool bodyComplete,
                       const TransferLimits& limits)
{
    if (bodyComplete) {
        return false;
    }
    if (received - window.StartBytes >= limits.LowSpeedFloorBytes) {
        window = {nowMs, received};
        return false;
    }
    return nowMs - window.StartMs >= limits.LowSpeedWindowMs;
}
