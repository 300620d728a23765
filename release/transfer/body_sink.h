#pragma once

#include <windows.h>

#include <string>

#include "release/error_text.h"
#include "release/transfer/async_request.h"
#include "release/transfer/download_report.h"

class RunningSha256;  // release/trust/package_verification.h

// A full block written and hashed on a pool thread while reads go on into
// the other, so that the disk and the hash no longer wait for the network,
// nor it for them. From StartWritingFull to FinishWriting the pool thread
// alone touches the file, the hash and the job; the owner touches none of
// them until FinishWriting has waited for the job to end.
struct BlockWriting {
    // A lock and a condition variable rather than an event: a kernel object
    // costs a call to the system for every block.
    SRWLOCK Lock = SRWLOCK_INIT;
    CONDITION_VARIABLE Ended = CONDITION_VARIABLE_INIT;
    bool Running = false;  // under Lock: a job was started and has not ended
    bool Busy = false;     // the owner's: a job was started and not yet finished
    // The job: written by the owner before it starts, then the pool thread's.
    HANDLE File = nullptr;
    RunningSha256* Hash = nullptr;
    const unsigned char* Bytes = nullptr;
    DWORD Count = 0;
    DWORD Error = 0;  // its Windows error; 0: every byte written
};

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
    std::wstring FinalUrl;                   // the URL the body comes from, redirects followed
    // The request's two read blocks (kReadBlockBytes each), one after the
    // other. Reads land in the current one; a full one waits in the other
    // to be written, before the current one's bytes.
    unsigned char* Blocks = nullptr;
    unsigned Current = 0;     // 0 or 1
    DWORD PendingBytes = 0;   // at the start of the current block: taken, bound for File
    DWORD FullBytes = 0;      // in the other block: taken, bound for File first, not yet handed to Writing
    BlockWriting Writing;

    BodySink() = default;
    BodySink(const BodySink&) = delete;
    BodySink& operator=(const BodySink&) = delete;
    ~BodySink();  // waits for a block being written
    bool WriteFailed = false;
    DWORD WriteError = 0;          // the Windows error of the write that failed
    unsigned ShownPercent = 101;   // the percentage last reported; 101: none yet
};

// The body has its announced length.
bool BodyComplete(const BodySink& sink);

// Where the next read lands: after the pending bytes of the current block.
unsigned char* ReadPlace(const BodySink& sink);

// The request's blocks are the sink's from now on, both empty.
void UseBlocks(BodySink& sink, unsigned char* blocks);

// How many bytes the next read may bring: what is left of the current block
// (a full one turns into the other, waiting to be written, once that one is
// written out), never more than the body may still
// bring (to its announced length; without one, to the installer ceiling of
// TransferLimits, or for memory mode to what is left of its cap). 0 with
// WriteFailed set when the write failed; 0 without when the body may bring
// no more.
DWORD RoomForNextRead(BodySink& sink);

// Takes the `count` bytes just read into the read block after the pending
// ones: memory mode appends them, a file's wait there to be written; then
// reports the percentage when it moved.
void TakeRead(BodySink& sink, DWORD count);

// Hands the full block waiting in the other one, if any, to a pool thread
// to be written and hashed: called once reads go on into the current one.
void StartWritingFull(BodySink& sink);

// Waits for the block being written, if any, and takes its result; false
// when a write failed (WriteFailed, WriteError), now or before. Every use of
// the file, the hash or the blocks by the owner comes after it.
bool FinishWriting(BodySink& sink);

// Writes out the full block waiting, then the pending bytes (memory mode has
// them already), hashes what was written, and empties both blocks; false
// when the write failed (WriteFailed, WriteError), now or before.
bool FlushPending(BodySink& sink);

// A server that sent the whole body again: it starts anew, at FileStart,
// and so does its hash.
bool StartBodyAgain(BodySink& sink);

// Percent for the progress bar: received * 100 / announced, rounded down and
// capped at 100, for any 64-bit lengths. `announced` must not be 0.
unsigned DownloadPercent(unsigned long long received, unsigned long long announced);
