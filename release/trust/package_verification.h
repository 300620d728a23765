#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "release/error_text.h"
#include "release/failure_detail.h"

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
