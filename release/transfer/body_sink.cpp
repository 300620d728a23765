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

// Writes `count` bytes of a block to File (memory mode has them already) and
// hashes what was written.
bool WriteOut(BodySink& sink, const unsigned char* bytes, DWORD count)
{
    if (count == 0 || sink.Memory != nullptr || sink.WriteFailed) {
        return !sink.WriteFailed;
    }
    if (!WriteAll(sink.File, bytes, count)) {
        return NoteWriteFailure(sink);
    }
    if (sink.Hash != nullptr) {
        sink.Hash->Add(bytes, count);
    }
    return true;
}

VOID CALLBACK WriteBlock(PTP_CALLBACK_INSTANCE, PVOID context)
{
    BlockWriting& job = *static_cast<BlockWriting*>(context);
    job.Error = 0;
    if (!WriteAll(job.File, job.Bytes, job.Count)) {
        job.Error = GetLastError();
    } else if (job.Hash != nullptr) {
        job.Hash->Add(job.Bytes, job.Count);
    }
    AcquireSRWLockExclusive(&job.Lock);
    job.Running = false;
    ReleaseSRWLockExclusive(&job.Lock);
    WakeConditionVariable(&job.Ended);
}

// The full block written at once, on this thread.
bool WriteFullNow(BodySink& sink)
{
    const DWORD full = sink.FullBytes;
    sink.FullBytes = 0;
    return WriteOut(sink, sink.Blocks + (sink.Current ^ 1) * kReadBlockBytes, full);
}

}  // namespace

BodySink::~BodySink()
{
    FinishWriting(*this);
}

bool BodyComplete(const BodySink& sink)
{
    return sink.AnnouncedLength != 0 && sink.Received >= sink.AnnouncedLength;
}

unsigned char* ReadPlace(const BodySink& sink)
{
    return sink.Blocks + sink.Current * kReadBlockBytes + sink.PendingBytes;
}

void UseBlocks(BodySink& sink, unsigned char* blocks)
{
    sink.Blocks = blocks;
    sink.Current = 0;
    sink.PendingBytes = 0;
    sink.FullBytes = 0;
}

DWORD RoomForNextRead(BodySink& sink)
{
    if (sink.PendingBytes == kReadBlockBytes) {
        // The other block must be written before it takes reads again.
        if (!FinishWriting(sink) || !WriteFullNow(sink)) {
            return 0;
        }
        sink.FullBytes = sink.PendingBytes;
        sink.PendingBytes = 0;
        sink.Current ^= 1;
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
    unsigned char* start = ReadPlace(sink);
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

void StartWritingFull(BodySink& sink)
{
    BlockWriting& job = sink.Writing;
    if (sink.FullBytes == 0 || sink.Memory != nullptr || sink.WriteFailed || job.Busy) {
        return;
    }
    job.File = sink.File;
    job.Hash = sink.Hash;
    job.Bytes = sink.Blocks + (sink.Current ^ 1) * kReadBlockBytes;
    job.Count = sink.FullBytes;
    job.Running = true;
    // Without a pool thread the block is written here, as before.
    if (!TrySubmitThreadpoolCallback(WriteBlock, &job, nullptr)) {
        job.Running = false;
        WriteFullNow(sink);
        return;
    }
    sink.FullBytes = 0;
    job.Busy = true;
}

bool FinishWriting(BodySink& sink)
{
    BlockWriting& job = sink.Writing;
    if (job.Busy) {
        AcquireSRWLockExclusive(&job.Lock);
        while (job.Running) {
            SleepConditionVariableSRW(&job.Ended, &job.Lock, INFINITE, 0);
        }
        ReleaseSRWLockExclusive(&job.Lock);
        job.Busy = false;
        if (job.Error != 0 && !sink.WriteFailed) {
            sink.WriteFailed = true;
            sink.WriteError = job.Error;
        }
    }
    return !sink.WriteFailed;
}

bool FlushPending(BodySink& sink)
{
    if (!FinishWriting(sink) || !WriteFullNow(sink)) {
        sink.PendingBytes = 0;
        return false;
    }
    const DWORD pending = sink.PendingBytes;
    sink.PendingBytes = 0;
    return WriteOut(sink, sink.Blocks + sink.Current * kReadBlockBytes, pending);
}

bool StartBodyAgain(BodySink& sink)
{
    FinishWriting(sink);
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

