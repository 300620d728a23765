#pragma once

#include <windows.h>

#include <string>

#include "release/error_text.h"
#include "release/failure_detail.h"
#include "release/transfer/download_report.h"
#include "release/transfer/transfer_limits.h"

class TransferSessions;  // async_request.h
class RunningSha256;     // release/trust/package_verification.h

// One HTTPS GET of a URL that passes the release URL policy (checked here on
// every call, before any network activity). Redirects (301, 302, 303, 307,
// 308) are followed here, not by the HTTP service, at most kMaxRedirects of
// them, and every target must pass the policy before it is asked for
// anything; a refused target fails with the policy's sentence, one redirect
// too many as an unexpected response. A fragment ("#...") of the URL or of a
// Location is dropped, never sent. Each request goes by the proxy the user's
// settings choose for its URL (proxy_settings.h).
//
// The call returns when the transfer has ended; the service works in the
// background only so that these limits hold whatever the server sends: a
// body that brings fewer than the low-speed floor in a whole low-speed
// window fails, and so do response headers that have not all arrived one
// low-speed window after the fetch's first request began, its redirects
// included (connections and TLS handshakes too), whatever trickles in
// meanwhile. Returns false with a sentence in `error` on any failure.

// The body is appended to `memory` (never cleared first). The body must be
// framed (a Content-Length, or chunked), at most kMemoryBodyCap bytes, and
// the whole fetch must end within the memory deadline of TransferLimits.
// Bytes received before a failure stay in the buffer. On failure `detail`,
// when given, says what failed (failure_detail.h).
//
// Its requests go through `sessions` (an attempt's own, so that they share
// connections), or through sessions of the call's own when it is null.
[[nodiscard]] bool DownloadUrl(const std::wstring& url, ByteBuffer& memory, const DownloadReport& report,
                               ErrorText& error, FailureDetail* detail = nullptr,
                               TransferSessions* sessions = nullptr);

// The body is written through `file`, a handle the caller opened with read
// and write access, at its current position; nothing is written unless the
// server answered 200. No more than the announced length is ever written;
// a body announced above kTransferLimits.InstallerCapBytes fails before
// anything is written, and one without a length fails once it passes that
// ceiling (both: an unexpected response). A write that fails (a full disk)
// fails the download with kMsgInstallerNotWritten, and is never resumed.
// A body of announced length that ends early (the
// connection closed or reset, a failed read, a stall) is asked for again,
// at most kMaxResumes times with a growing pause between, from the same
// final URL with "Range: bytes=N-" and If-Range naming the first answer's
// validator: a 206 that goes on at exactly N with the same total length
// (and, when it gives one, a Content-Length of the rest) is appended, a 200
// starts the file again from its first byte (report.Resumed is told either
// way), anything else fails the download as the drop did. Bytes
// received before a failure stay in the file. On failure `detail`, when
// given, says what failed.
//
// What a file download takes beyond its URL.
struct FileDownload {
    // Other than kAnyLength (a signed manifest's installer size): the body is
    // held to exactly that length: an answer that announces another fails at
    // once (an unexpected response), reading stops there, fewer bytes are a
    // drop, and progress is known without a Content-Length.
    unsigned long long RequiredLength = kAnyLength;
    // The attempt's sessions, so that its requests share connections; null:
    // sessions of the call's own.
    TransferSessions* Sessions = nullptr;
    // Begun by the caller, fed with every byte written in the file's order,
    // and begun again when the server sends the whole body again: once the
    // download succeeded it holds the SHA-256 of the body. Null: not hashed.
    RunningSha256* Hash = nullptr;
    // In: a body an earlier download left in the file (Received not 0, its
    // bytes already in Hash), taken up first: its final URL is asked for the
    // rest, with If-Range naming its validator; a 206 that goes on where it
    // stopped is appended (report.Resumed told, as for a resume), a 200
    // starts it again from its first byte, no answer fails the download,
    // and any other answer starts the file again from the URL given. Out,
    // after a failure: the body the file now holds part of, when it can be
    // taken up (a length and a validator, the disk not at fault), else
    // empty; empty after a success. Null: neither.
    PartialBody* Partial = nullptr;
};

// `how` says what else the download takes (FileDownload).
[[nodiscard]] bool DownloadUrlToFile(const std::wstring& url, HANDLE file, const DownloadReport& report,
                                     ErrorText& error, FailureDetail* detail = nullptr,
                                     const FileDownload& how = FileDownload());

// The sentence for a transfer that failed after the last answer `status`
// (0: none): a proxy's sign-in request (407 on a request through a proxy),
// another answer than 200, or no answer at all.
const wchar_t* TransferFailureSentence(DWORD status, bool throughProxy);

constexpr unsigned kMaxRedirects = 10;
