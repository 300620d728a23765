// Adds a CA certificate to the machine's trusted root store, or removes it,
// the way an administrator's policy would, so that the tests' throwaway
// publishers chain to a trusted root:
//
//   trust_root add|remove CERT.pem
//
// The LocalMachine store is the one the chain engine reads under Wine (a
// root in the current user's store leaves the chain partial there), and it
// takes a certificate without a dialog. Exit code 0 on success: for
// remove, only when a fresh look at the store no longer finds it.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

std::vector<BYTE> ReadWhole(const wchar_t* path)
{
    std::vector<BYTE> bytes;
    FILE* file = _wfopen(path, L"rb");
    if (file == nullptr) {
        return bytes;
    }
    BYTE chunk[4096];
    for (size_t read; (read = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + read);
    }
    std::fclose(file);
    return bytes;
}

// PEM or DER in, DER out.
std::vector<BYTE> Der(const std::vector<BYTE>& text)
{
    DWORD size = 0;
    if (!CryptStringToBinaryA(reinterpret_cast<const char*>(text.data()), static_cast<DWORD>(text.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        return text;
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(reinterpret_cast<const char*>(text.data()), static_cast<DWORD>(text.size()),
                         CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
    return der;
}

// The certificate is in the machine's root store (a fresh look at it).
bool IsTrusted(PCCERT_CONTEXT certificate)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        return false;
    }
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate,
                                                      nullptr);
    if (found != nullptr) {
        CertFreeCertificateContext(found);
    }
    CertCloseStore(store, 0);
    return found != nullptr;
}

// Some platforms (Wine) report a deletion from the system store as done and
// keep the certificate; the store's registry key is removed as well.
void DeleteRegistryCopy(PCCERT_CONTEXT certificate)
{
    BYTE sha1[20] = {};
    DWORD size = sizeof(sha1);
    if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, sha1, &size)) {
        return;
    }
    wchar_t key[128] = L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
    for (DWORD i = 0; i < size; ++i) {
        std::swprintf(key + std::wcslen(key), 3, L"%02X", sha1[i]);
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool add = argc == 3 && std::wcscmp(argv[1], L"add") == 0;
    if (argc != 3 || (!add && std::wcscmp(argv[1], L"remove") != 0)) {
        std::fwprintf(stderr, L"usage: trust_root add|remove CERT.pem\n");
        return 2;
    }
    const std::vector<BYTE> der = Der(ReadWhole(argv[2]));
    PCCERT_CONTEXT certificate =
        der.empty() ? nullptr
                    : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    bool done = false;
    if (certificate != nullptr && store != nullptr) {
        if (add) {
            done = CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        } else {
            PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                              certificate, nullptr);
            if (found != nullptr) {
                CertDeleteCertificateFromStore(found);
            }
            DeleteRegistryCopy(certificate);
        }
    }
    if (certificate != nullptr && store != nullptr && !add) {
        done = !IsTrusted(certificate);
    }
    if (certificate != nullptr) {
        CertFreeCertificateContext(certificate);
    }
    if (store != nullptr) {
        CertCloseStore(store, 0);
    }
    return done ? 0 : 1;
}
