#pragma once

#include <windows.h>

#include <string>

#include "release/transfer/async_request.h"
#include "release/transfer/body_sink.h"

// The loop that drives the reads of one answered request's body into its
// sink, and what it says when it stops early.

// Why reading a body stopped, for the log: the cause, what the program was
// doing, and whether it was a body no server should send (too large).
struct BodyFault {
    std::wstring Cause;
    const wchar_t* Stage = L"reading";
    bool Unacceptable = false;
};

// Streams the body of an answered request into the sink, to its announced
// length (without one, until the service reports 0 bytes available), in
// read batches (AsyncRequest::StartReadBatch) of at most what is left of the
// read block (and, when its progress is reported, one percent of the body
// or 16 KiB). Each wait ends when the batch does, when the low-speed window
// in progress does (a window below the floor ends the body), or at
// `deadlineMs`, which `timeUp` names.
bool ReceiveBody(const AsyncRequest& request, BodySink& sink, ULONGLONG deadlineMs, const std::wstring& timeUp,
                 BodyFault& fault);

// "N s".
std::wstring SecondsText(ULONGLONG ms);
