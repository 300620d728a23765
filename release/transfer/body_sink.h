#pragma once

#include <windows.h>

#include <string>

#include "release/error_text.h"
#include "release/transfer/async_request.h"
#include "release/transfer/download_report.h"

class RunningSha256;  // release/trust/package_verification.h

// Where the bytes of one body go: appended to Memory (memory mode), or
// written through File after being gathered in the request's read block
// (either way each read lands there after the ones before, until it is
// full). And what is known of that body across the requests that resume it.
struct BodySink {
    ByteBuffer* Memory = nullptr;
    HANDLE File = nullptr;
    const DownloadReport* Report = nullptr;
    TransferSessions* Sessions = nullptr;  // every request of the body goes through these
    // Fed with every byte written to File, in the file's order; begun again
    // when the body starts again. Null: not hashed.
    RunningSha256* Hash = nullptr;
    LARGE_INTEGER FileStart = {};  // where the body begins in File
    // Body bytes received so far, across the requests that resume it
    // (PendingBytes of them not yet written to File).
    unsigned long long Received = 0;
    unsigned long long AnnouncedLength = 0;  // as the first answer gave it; 0: not announced
    unsigned long long RequiredLength = kAnyLength;  // what the body must be, when the caller knows
    std::wstring Validator;                  // what If-Range names when the rest is asked for
    unsigned char* ReadBlock = nullptr;      // the request's read buffer, kReadBlockBytes long
    DWORD PendingBytes = 0;                  // at the start of ReadBlock: taken, bound for File
    bool WriteFailed = false;
    DWORD WriteError = 0;          // the Windows error of the write that failed
    unsigned ShownPercent = 101;   // the percentage last reported; 101: none yet
};

// The body has its announced length.
bool BodyComplete(const BodySink& sink);

// How many bytes the next read may bring: what is left of the read block
// (a full block is written out first), never more than the body may still
// bring (to its announced length; without one, to the installer ceiling of
// TransferLimits, or for memory mode to what is left of its cap). 0 with
// WriteFailed set when the write failed; 0 without when the body may bring
// no more.
DWORD RoomForNextRead(BodySink& sink);

// Takes the `count` bytes just read into the read block after the pending
// ones: memory mode appends them, a file's wait there to be written; then
// reports the percentage when it moved.
void TakeRead(BodySink& sink, DWORD count);

// Writes out the pending bytes (memory mode has them already), hashes what
// was written, and empties the read block; false when the write failed
// (WriteFailed, WriteError), now or before.
bool FlushPending(BodySink& sink);

// A server that sent the whole body again: it starts anew, at FileStart,
// and so does its hash.
bool StartBodyAgain(BodySink& sink);

// Percent for the progress bar: received * 100 / announced, rounded down and
// capped at 100, for any 64-bit lengths. `announced` must not be 0.
unsigned DownloadPercent(unsigned long long received, unsigned long long announced);
