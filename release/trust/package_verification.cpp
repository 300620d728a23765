#include "release/trust/package_verification.h"

#include <windows.h>
#include <bcrypt.h>

#include "release/failure_detail.h"
#include "release/release_messages.h"
#include "platform/scoped_handle.h"

namespace {

constexpr DWORD kReadChunkBytes = 0x10000;


bool QuerySizeProperty(BCRYPT_ALG_HANDLE provider, const wchar_t* property, DWORD& value, NTSTATUS& status)
{
    DWORD written = 0;
    status = BCryptGetProperty(provider, property, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written, 0);
    return status == 0;
}

// Opens `algorithm`, sizes `digest` for it and creates the hash, which lives
// in `hashObject`: the caller declares it before `hash` so it outlives it.
// Returns the step that failed, or HashStep::Ready.
HashStep OpenHash(const wchar_t* algorithm, ScopedHashProvider& provider, std::vector<unsigned char>& hashObject,
                  ScopedHash& hash, std::vector<unsigned char>& digest, std::wstring& cause)
{
    DWORD objectLength = 0;
    DWORD digestLength = 0;
    NTSTATUS status = BCryptOpenAlgorithmProvider(provider.Receive(), algorithm, nullptr, 0);
    if (status != 0) {
        cause = DescribeFailure(CngStatusCause(status), L"opening", L"the hash provider");
        return HashStep::OpenProvider;
    }
    if (!QuerySizeProperty(provider.Get(), BCRYPT_OBJECT_LENGTH, objectLength, status) ||
        !QuerySizeProperty(provider.Get(), BCRYPT_HASH_LENGTH, digestLength, status)) {
        cause = DescribeFailure(CngStatusCause(status), L"sizing", L"the hash");
        return HashStep::OpenProvider;
    }
    hashObject.assign(objectLength, 0);
    digest.assign(digestLength, 0);
    status = BCryptCreateHash(provider.Get(), hash.Receive(), hashObject.data(), objectLength, nullptr, 0, 0);
    if (status != 0) {
        cause = DescribeFailure(CngStatusCause(status), L"creating", L"the hash");
        return HashStep::CreateHash;
    }
    return HashStep::Ready;
}

// Feeds the file to the hash in 64 KiB reads and finishes it. A read that
// delivers fewer bytes than asked marks the end; a read that fails is a
// failure, never the end of the file: a hash over part of the file would
// read as a mismatch. On failure `cause` says what failed.
bool HashFile(BCRYPT_HASH_HANDLE hash, HANDLE file, std::vector<unsigned char>& digest, std::wstring& cause)
{
    std::vector<unsigned char> chunk(kReadChunkBytes);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk.data(), kReadChunkBytes, &read, nullptr)) {
            cause = DescribeFailure(WindowsErrorCause(GetLastError()), L"reading", L"the file to hash");
            return false;
        }
        if (read > 0) {
            const NTSTATUS status = BCryptHashData(hash, chunk.data(), read, 0);
            if (status != 0) {
                cause = DescribeFailure(CngStatusCause(status), L"hashing", L"the file");
                return false;
            }
        }
        if (read < kReadChunkBytes) {
            const NTSTATUS status = BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
            if (status != 0) {
                cause = DescribeFailure(CngStatusCause(status), L"finishing", L"the hash");
                return false;
            }
            return true;
        }
    }
}

}  // namespace

const wchar_t* HashFailureSentence(HashStep step)
{
    // Only a provider that cannot be had is a failure to start; once it
    // answers, what fails is the verification of this file.
    return step == HashStep::OpenProvider ? kMsgVerifyInit : kMsgVerifyFailed;
}

std::wstring ToLowerHex(const unsigned char* bytes, size_t count)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool ComputeFileSha256(const std::wstring& path, std::wstring& hexDigest, ErrorText& error)
{
    ScopedFile file(NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    return ComputeHandleSha256(file.Get(), hexDigest, error);
}

bool ComputeHandleSha256(HANDLE file, std::wstring& hexDigest, ErrorText& error, FailureDetail* detail)
{
    ScopedHashProvider provider;
    std::vector<unsigned char> hashObject;
    std::vector<unsigned char> digest;
    ScopedHash hash;
    std::wstring cause;
    const HashStep opened = OpenHash(BCRYPT_SHA256_ALGORITHM, provider, hashObject, hash, digest, cause);
    if (opened != HashStep::Ready) {
        error = HashFailureSentence(opened);
    } else if (file == nullptr) {
        error = HashFailureSentence(HashStep::HashFile);
        cause = L"no file to hash.";
    } else if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        error = HashFailureSentence(HashStep::HashFile);
        cause = DescribeFailure(WindowsErrorCause(GetLastError()), L"rewinding", L"the file to hash");
    } else if (!HashFile(hash.Get(), file, digest, cause)) {
        error = HashFailureSentence(HashStep::HashFile);
    } else {
        hexDigest = ToLowerHex(digest.data(), digest.size());
        return true;
    }
    if (detail != nullptr) {
        *detail = cause;
    }
    return false;
}

bool HashBytes(const wchar_t* algorithm, const unsigned char* data, size_t size, std::vector<unsigned char>& digest)
{
    ScopedHashProvider provider;
    std::vector<unsigned char> hashObject;
    ScopedHash hash;
    std::wstring unused;
    return OpenHash(algorithm, provider, hashObject, hash, digest, unused) == HashStep::Ready &&
           BCryptHashData(hash.Get(), const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0) == 0 &&
           BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
}

bool RunningSha256::Begin(ErrorText& error, FailureDetail& detail)
{
    hash_.Reset();
    provider_.Reset();
    failure_ = 0;
    std::wstring cause;
    const HashStep opened = OpenHash(BCRYPT_SHA256_ALGORITHM, provider_, object_, hash_, digest_, cause);
    if (opened != HashStep::Ready) {
        error = HashFailureSentence(opened);
        detail = cause;
        return false;
    }
    return true;
}

void RunningSha256::Add(const unsigned char* data, size_t size)
{
    if (failure_ != 0 || size == 0) {
        return;
    }
    if (!hash_.IsValid()) {
        failure_ = static_cast<NTSTATUS>(0xC0000008);  // STATUS_INVALID_HANDLE: never begun
        failedStep_ = L"hashing";
        return;
    }
    const NTSTATUS status = BCryptHashData(hash_.Get(), const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0);
    if (status != 0) {
        failure_ = status;
        failedStep_ = L"hashing";
    }
}

bool RunningSha256::Finish(std::wstring& hexDigest, ErrorText& error, FailureDetail& detail)
{
    if (failure_ == 0 && !hash_.IsValid()) {
        failure_ = static_cast<NTSTATUS>(0xC0000008);
        failedStep_ = L"finishing";
    }
    if (failure_ == 0) {
        const NTSTATUS status = BCryptFinishHash(hash_.Get(), digest_.data(), static_cast<ULONG>(digest_.size()), 0);
        if (status != 0) {
            failure_ = status;
            failedStep_ = L"finishing";
        }
    }
    hash_.Reset();
    if (failure_ != 0) {
        error = HashFailureSentence(HashStep::HashFile);
        detail = DescribeFailure(CngStatusCause(failure_), failedStep_, L"the download's SHA-256");
        return false;
    }
    hexDigest = ToLowerHex(digest_.data(), digest_.size());
    return true;
}
