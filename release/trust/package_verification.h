#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

#include "release/error_text.h"
#include "release/failure_detail.h"
#include "platform/scoped_handle.h"

inline void CloseHashProvider(BCRYPT_ALG_HANDLE provider)
{
    BCryptCloseAlgorithmProvider(provider, 0);
}

inline void DestroyHashObject(BCRYPT_HASH_HANDLE hash)
{
    BCryptDestroyHash(hash);
}

using ScopedHashProvider = ScopedHandle<BCRYPT_ALG_HANDLE, CloseHashProvider>;
using ScopedHash = ScopedHandle<BCRYPT_HASH_HANDLE, DestroyHashObject>;

// SHA-256 of the file at `path`, as 64 lower-case hex digits. On success replaces `hexDigest` and leaves `error` untouched; on
// failure leaves `hexDigest` untouched and assigns one of the two
// verification sentences. The file is closed before the call returns, so the
// caller may delete it at once.
[[nodiscard]] bool ComputeFileSha256(const std::wstring& path, std::wstring& hexDigest, ErrorText& error);

// As ComputeFileSha256, for the file open at `file` (with read access),
// hashed from its first byte whatever its position. A read that fails is a
// failed verification. On failure `detail`, when given, says what failed.
[[nodiscard]] bool ComputeHandleSha256(HANDLE file, std::wstring& hexDigest, ErrorText& error,
                                       FailureDetail* detail = nullptr);

// The digest of `size` bytes at `data` with the CNG hash `algorithm`
// (BCRYPT_SHA256_ALGORITHM and its kin); `digest` is resized to fit it.
[[nodiscard]] bool HashBytes(const wchar_t* algorithm, const unsigned char* data, size_t size,
                             std::vector<unsigned char>& digest);

// A SHA-256 fed with the bytes as they arrive, in their order: the
// installer is hashed as it is written, so no second pass over the file
// waits once it is complete. A CNG failure on the way is kept and reported
// by Finish, the bytes after it ignored.
class RunningSha256 {
public:
    RunningSha256() = default;
    RunningSha256(const RunningSha256&) = delete;
    RunningSha256& operator=(const RunningSha256&) = delete;

    // A fresh hash (again, when one was begun: a body sent again from its
    // first byte). False when CNG gives none: `error` gets the sentence of
    // HashFailureSentence, `detail` what failed.
    [[nodiscard]] bool Begin(ErrorText& error, FailureDetail& detail);
    void Add(const unsigned char* data, size_t size);
    // The digest of everything added since Begin, as ComputeHandleSha256
    // gives it; false with the sentence and what failed.
    [[nodiscard]] bool Finish(std::wstring& hexDigest, ErrorText& error, FailureDetail& detail);

private:
    // In this order, so that the hash goes before the object it lives in
    // and both before the provider.
    ScopedHashProvider provider_;
    std::vector<unsigned char> object_;
    ScopedHash hash_;
    std::vector<unsigned char> digest_;
    NTSTATUS failure_ = 0;  // the first CNG status that failed, 0: none
    const wchar_t* failedStep_ = L"";
};

// The steps of hashing a file, for the sentence its failure gives.
enum class HashStep {
    OpenProvider,  // the algorithm provider and its sizes
    CreateHash,
    HashFile,  // opening, reading and hashing the file, and the finish
    Ready,
};

// "Unable to initialize package verification." when the provider could not
// be opened or sized; "The downloaded package could not be verified." for
// any later step.
const wchar_t* HashFailureSentence(HashStep step);

// Two lower-case hex digits per byte, high four bits first.
std::wstring ToLowerHex(const unsigned char* bytes, size_t count);
