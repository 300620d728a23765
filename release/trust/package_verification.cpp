#include "release/trust/package_verification.h"

#include <windows.h>
#include <bcrypt.h>

#include "app/app_state.h"
#include "release/release_messages.h"
#include "platform/scoped_handle.h"

namespace {

constexpr DWORD kReadChunkBytes = 0x10000;

void CloseProvider(BCRYPT_ALG_HANDLE provider)
{
    BCryptCloseAlgorithmProvider(provider, 0);
}

void DestroyHash(BCRYPT_HASH_HANDLE hash)
{
    BCryptDestroyHash(hash);
}

using ScopedProvider = ScopedHandle<BCRYPT_ALG_HANDLE, CloseProvider>;
using ScopedHash = ScopedHandle<BCRYPT_HASH_HANDLE, DestroyHash>;

bool QuerySizeProperty(BCRYPT_ALG_HANDLE provider, const wchar_t* property, DWORD& value)
{
    DWORD written = 0;
    return BCryptGetProperty(provider, property, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written, 0) == 0;
}

// Opens `algorithm`, sizes `digest` for it and creates the hash, which lives
// in `hashObject`: the caller declares it before `hash` so it outlives it.
// Returns the step that failed, or HashStep::Ready.
HashStep OpenHash(const wchar_t* algorithm, ScopedProvider& provider, std::vector<unsigned char>& hashObject,
                  ScopedHash& hash, std::vector<unsigned char>& digest)
{
    DWORD objectLength = 0;
    DWORD digestLength = 0;
    if (BCryptOpenAlgorithmProvider(provider.Receive(), algorithm, nullptr, 0) != 0 ||
        !QuerySizeProperty(provider.Get(), BCRYPT_OBJECT_LENGTH, objectLength) ||
        !QuerySizeProperty(provider.Get(), BCRYPT_HASH_LENGTH, digestLength)) {
        return HashStep::OpenProvider;
    }
    hashObject.assign(objectLength, 0);
    digest.assign(digestLength, 0);
    if (BCryptCreateHash(provider.Get(), hash.Receive(), hashObject.data(), objectLength, nullptr, 0, 0) != 0) {
        return HashStep::CreateHash;
    }
    return HashStep::Ready;
}

// Feeds the file to the hash in 64 KiB reads and finishes it. A read that
// delivers fewer bytes than asked (a failed read included) marks the end.
bool HashFile(BCRYPT_HASH_HANDLE hash, HANDLE file, std::vector<unsigned char>& digest)
{
    std::vector<unsigned char> chunk(kReadChunkBytes);
    bool atEnd = false;
    for (;;) {
        if (atEnd) {
            return BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
        }
        DWORD read = 0;
        if (!ReadFile(file, chunk.data(), kReadChunkBytes, &read, nullptr)) {
            read = 0;
        }
        if (read < kReadChunkBytes) {
            atEnd = true;
        }
        if (read > 0 && BCryptHashData(hash, chunk.data(), read, 0) != 0) {
            return false;
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

bool ComputeFileSha256(std::wstring& hexDigest, ErrorText& error)
{
    ScopedFile file(NullIfInvalid(CreateFileW(AppState.InstallerPath.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    return ComputeHandleSha256(file.Get(), hexDigest, error);
}

bool ComputeHandleSha256(HANDLE file, std::wstring& hexDigest, ErrorText& error)
{
    ScopedProvider provider;
    std::vector<unsigned char> hashObject;
    std::vector<unsigned char> digest;
    ScopedHash hash;
    const HashStep opened = OpenHash(BCRYPT_SHA256_ALGORITHM, provider, hashObject, hash, digest);
    if (opened != HashStep::Ready) {
        error = HashFailureSentence(opened);
        return false;
    }
    if (file == nullptr || SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !HashFile(hash.Get(), file, digest)) {
        error = HashFailureSentence(HashStep::HashFile);
        return false;
    }
    hexDigest = ToLowerHex(digest.data(), digest.size());
    return true;
}

bool HashBytes(const wchar_t* algorithm, const unsigned char* data, size_t size, std::vector<unsigned char>& digest)
{
    ScopedProvider provider;
    std::vector<unsigned char> hashObject;
    ScopedHash hash;
    return OpenHash(algorithm, provider, hashObject, hash, digest) == HashStep::Ready &&
           BCryptHashData(hash.Get(), const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0) == 0 &&
           BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
}
