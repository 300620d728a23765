#pragma once

// The DLLs the installer delay-loads (they are not known DLLs, so a copy
// planted beside the program could otherwise be taken). Each is loaded by
// full path from the system directory right before the code that needs it
// first runs: once loaded, every later request for the name, the delay-load
// stub's and the platform's own (its TLS stack asks for bcrypt), gets this
// copy whatever search path the requester uses. Loading only what a mode
// needs keeps the start of the others short.
constexpr wchar_t kWinHttpDll[] = L"winhttp.dll";
constexpr wchar_t kBcryptDll[] = L"bcrypt.dll";
constexpr wchar_t kCommonControlsDll[] = L"comctl32.dll";
// Only a build that checks the publisher's signature uses these two.
constexpr wchar_t kWinTrustDll[] = L"wintrust.dll";
constexpr wchar_t kCrypt32Dll[] = L"crypt32.dll";

// Loads <system directory>\fileName; a failure is left for the first call
// into the DLL to meet. Loading a DLL that is already loaded is cheap.
void LoadFromSystemDirectory(const wchar_t* fileName);
