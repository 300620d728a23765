#pragma once

#include <windows.h>

#include <string>

#include "release/error_text.h"

// One HTTPS GET of a URL that passes the release URL policy
// (checked here on every call, before any network activity). Redirects
// (301, 302, 303, 307, 308) are followed here, not by the HTTP service, at
// most kMaxRedirects of them, and every target must pass the policy before
// it is asked for anything; a refused target fails with the policy's
// sentence, one redirect too many as an unexpected response. A fragment
// ("#...") of the URL or of a Location is dropped, never sent.
//
// filePath empty: the body is appended to `memory` (never cleared first);
//                 a body above kMemoryBodyCap bytes fails, and so does a
//                 fetch that lasts past the deadline of TransferLimits.
// filePath set:   the body goes to that file, created or truncated only after
//                 the server answered 200; `memory` is not touched.
// reportProgress: posts WM_INSTALLER_PROGRESS to MainWindow whenever the
//                 percentage moves, when the server announced a Content-Length.
// The call returns when the transfer has ended; the service works in the
// background only so that these limits hold whatever the server sends.
// Either way a body that brings fewer than the low-speed floor in a whole
// low-speed window fails, and so does a request whose response headers have
// not all arrived one low-speed window after it began (connection and TLS
// handshake included), whatever trickles in meanwhile.
//
// Returns false with a sentence in `error` on any failure; bytes received
// before a failure stay in the buffer or the file.
[[nodiscard]] bool DownloadUrl(const std::wstring& url, ByteBuffer& memory, const std::wstring& filePath,
                               bool reportProgress, ErrorText& error);

// As DownloadUrl in file mode, but the body is written through a file handle
// the caller opened (at its current position).
[[nodiscard]] bool DownloadUrlToFile(const std::wstring& url, HANDLE file, bool reportProgress, ErrorText& error);

// The sentence for a transfer that failed after the last answer `status`
// (0: none): a proxy's sign-in request (407 on a request through a proxy),
// another answer than 200, or no answer at all.
const wchar_t* TransferFailureSentence(DWORD status, bool throughProxy);

// Percent for the progress bar: received * 100 / announced in 64 bits,
// rounded down and capped at 100. `announced` must not be 0.
unsigned DownloadPercent(unsigned long received, unsigned long announced);

constexpr unsigned kMaxRedirects = 10;
// The manifest is a few lines; a larger memory-mode body is not one.
constexpr unsigned long kMemoryBodyCap = 64 * 1024;

// When a transfer counts as stalled. Values a working line never hits: the
// floor is about 17 bytes a second.
struct TransferLimits {
    ULONGLONG LowSpeedWindowMs;           // also the wait for response headers, redirects included
    unsigned long long LowSpeedFloorBytes;  // at least this much in every window
    ULONGLONG MemoryDeadlineMs;           // a whole memory-mode fetch, redirects included
    DWORD DiscoveryLimitMs;               // finding and running a proxy configuration script
};
constexpr TransferLimits kProductionLimits = {60000, 1024, 120000, 10000};
// The limits in force (release/transfer_limits.cpp): kProductionLimits in
// every program built from this code, shortened ones in the unit tests, so the
// test bed need not wait a minute.
extern const TransferLimits kTransferLimits;

// The low-speed window in progress: when it began and the byte count then.
struct LowSpeedWindow {
    ULONGLONG StartMs;
    unsigned long long StartBytes;
};

// Called each time bytes may have arrived, with the running total. A window
// that reached the floor is over and the next begins now; true when a whole
// window passed without reaching it.
bool LowSpeedRuleTrips(LowSpeedWindow& window, ULONGLONG nowMs, unsigned long long received,
                       const TransferLimits& limits);
