#pragma once

#include <windows.h>

// When a transfer counts as stalled. Values a working line never hits: the
// floor is about 17 bytes a second.
struct TransferLimits {
    ULONGLONG LowSpeedWindowMs;             // also the wait for response headers, redirects included
    unsigned long long LowSpeedFloorBytes;  // at least this much in every window
    ULONGLONG MemoryDeadlineMs;             // a whole memory-mode fetch, redirects included
    DWORD DiscoveryLimitMs;                 // finding and running a proxy configuration script
    DWORD FirstResumePauseMs;               // before the first resumed request; doubled for each next
};
constexpr TransferLimits kProductionLimits = {60000, 1024, 120000, 10000, 1000};

// The limits in force (transfer_limits.cpp): kProductionLimits in every
// program built from this code, shortened ones in the unit tests, so the
// test bed need not wait a minute.
extern const TransferLimits kTransferLimits;
