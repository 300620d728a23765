#pragma once

#include <functional>
#include <string>

// What the transfer (https_transfer.h) and the sink that takes its bodies
// (body_sink.h) both know: what a download tells its caller, and the
// lengths a body is held to.

// What a download tells its caller as it goes; a member left empty is not
// called.
struct DownloadReport {
    // The percentage of the body received, whenever it moves, when the
    // server announced a Content-Length.
    std::function<void(unsigned percent)> Progress;
    // The download goes on after its connection dropped, from this byte (0
    // when the server sent the whole file again).
    std::function<void(unsigned long long resumedAt)> Resumed;
};

// A required length that requires none: the body may be as long as its
// answer says.
constexpr unsigned long long kAnyLength = ~0ULL;

// The manifest is a few lines; a larger memory-mode body is not one.
constexpr unsigned long kMemoryBodyCap = 64 * 1024;

// A body a download left part-way in its file, for a later download to
// take up: the URL it came from at last (after redirects), how many of its
// bytes the file holds from the body's start, the length its server
// announced and the validator it named. Empty (Received 0): none.
struct PartialBody {
    std::wstring FinalUrl;
    unsigned long long Received = 0;
    unsigned long long AnnouncedLength = 0;
    std::wstring Validator;
};
