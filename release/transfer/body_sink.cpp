#include "release/transfer/body_sink.h"

#include "release/transfer/transfer_limits.h"
#include "release/trust/package_verification.h"

namespace {

bool WriteAll(HANDLE file, const unsigned char* data, DWORD count)
{
    DWORD written = 0;
    if (!WriteFile(file, data, count, &written, nullptr)) {
        return false;
    }
    // A write that took only part of the bytes reports no error of its own:
    // the disk had no room for the rest.
    if (written != count) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

bool NoteWriteFailure(BodySink& sink)
{
    sink.WriteFailed = true;
    sink.WriteError = GetLastError();
    return false;
}

}  // namespace

bool BodyComplete(const BodySink& sink)
{
    return sink.AnnouncedLength != 0 && sink.Received >= sink.AnnouncedLength;
}

DWORD RoomForNextRead(BodySink& sink)
{
    if (sink.PendingBytes == kReadBlockBytes && !FlushPending(sink)) {
        return 0;
    }
    // Never more than the announced length (what a server sends beyond it
    // is not the body), nor, without one, than the ceiling.
    const unsigned long long limit = sink.AnnouncedLength != 0 ? sink.AnnouncedLength
                                     : sink.Memory == nullptr  ? kTransferLimits.InstallerCapBytes
                                                               : kMemoryBodyCap;
    const unsigned long long left = limit > sink.Received ? limit - sink.Received : 0;
    const DWORD room = kReadBlockBytes - sink.PendingBytes;
    return left < room ? static_cast<DWORD>(left) : room;
}

void TakeRead(BodySink& sink, DWORD count)
{
    unsigned char* start = sink.ReadBlock + sink.PendingBytes;
    if (sink.Memory != nullptr) {
        sink.Memory->insert(sink.Memory->end(), start, start + count);
    }
    sink.PendingBytes += count;
    sink.Received += count;
    // Reported only when the percentage moves: the window would show
    // nothing new for a repeated value. A resumed body goes on from where it
    // was.
    if (sink.Report != nullptr && sink.Report->Progress && sink.AnnouncedLength != 0) {
        const unsigned percent = DownloadPercent(sink.Received, sink.AnnouncedLength);
        if (percent != sink.ShownPercent) {
            sink.ShownPercent = percent;
            sink.Report->Progress(percent);
        }
    }
}

bool FlushPending(BodySink& sink)
{
    const DWORD pending = sink.PendingBytes;
    sink.PendingBytes = 0;
    if (pending == 0 || sink.Memory != nullptr || sink.WriteFailed) {
        return !sink.WriteFailed;
    }
    if (!WriteAll(sink.File, sink.ReadBlock, pending)) {
        return NoteWriteFailure(sink);
    }
    if (sink.Hash != nullptr) {
        sink.Hash->Add(sink.ReadBlock, pending);
    }
    return true;
}

bool StartBodyAgain(BodySink& sink)
{
    sink.Received = 0;
    if (!SetFilePointerEx(sink.File, sink.FileStart, nullptr, FILE_BEGIN) || !SetEndOfFile(sink.File)) {
        NoteWriteFailure(sink);
    }
    if (sink.Hash != nullptr) {
        // One that cannot begin again fails its Finish.
        ErrorText unused;
        FailureDetail alsoUnused;
        static_cast<void>(sink.Hash->Begin(unused, alsoUnused));
    }
    return !sink.WriteFailed;
}

unsigned DownloadPercent(unsigned long long received, unsigned long long announced)
{
    // received * 100 cannot wrap below 2^57 bytes; beyond, the announced
    // length is divided first.
    const unsigned long long percent =
        announced < (1ULL << 57) ? received * 100ULL / announced : received / (announced / 100ULL);
    return percent > 100ULL ? 100U : static_cast<unsigned>(percent);
}

