#pragma once

#include <windows.h>

#include "release/build_settings.h"

// When a transfer counts as stalled (values a working line never hits: the
// floor is about 17 bytes a second), how large a body may be, and every pause
// an attempt makes.
struct TransferLimits {
    ULONGLONG LowSpeedWindowMs;             // also the wait for response headers, redirects included
    unsigned long long LowSpeedFloorBytes;  // at least this much in every window
    ULONGLONG MemoryDeadlineMs;             // a whole memory-mode fetch, redirects included
    DWORD DiscoveryLimitMs;                 // finding and running a proxy configuration script
    DWORD FirstResumePauseMs;               // before the first resumed request; doubled for each next
    // The largest installer body taken (announced, or without a length), so
    // that a hostile host cannot fill the user's disk: kMaxInstallerMib.
    unsigned long long InstallerCapBytes;
    // A verified installer whose name another program holds: the first
    // pause before it is tried again, doubled for each next until it passes
    // the last.
    DWORD FirstHeldNamePauseMs;
    DWORD LastHeldNamePauseMs;
    // Every revocation fetch for the publisher's certificate chain, together.
    DWORD RevocationWaitMs;
};
constexpr TransferLimits kProductionLimits = {60000, 1024, 120000, 10000, 1000,
                                              kMaxInstallerMib * 1024ULL * 1024ULL, 50, 1600, 20000};

// In a build with mirror hosts, the wait for a request's connection, TLS
// handshake and response headers: a host that takes the connection and then
// says nothing holds the next host back this long, not a whole low-speed
// window. 15 s is some five times what a cold TLS handshake with its
// certificate checks takes on a slow line or an emulated i386 (about 2-3 s),
// and a static file's headers follow at once.
constexpr ULONGLONG kMirrorHeadersWaitMs = 15000;

// The limits in force (transfer_limits.cpp): kProductionLimits in every
// program built from this code, shortened ones in the unit tests, so the
// test bed need not wait a minute.
extern const TransferLimits kTransferLimits;

// The low-speed window in progress: when it began and the byte count then.
struct LowSpeedWindow {
    ULONGLONG StartMs;
    unsigned long long StartBytes;
};

// Called each time bytes may have arrived, with the running total. A window
// that reached the floor is over and the next begins now; true when a whole
// window passed without reaching it, unless those bytes completed the body
// (a body that is complete did not stall, however late its end came).
bool LowSpeedRuleTrips(LowSpeedWindow& window, ULONGLONG nowMs, unsigned long long received, bool bodyComplete,
                       const TransferLimits& limits);
