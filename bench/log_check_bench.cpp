// Times the installer's check of a log proof (VerifyLogProof, with the
// rules built from settings as an attempt builds them), in-process, and the
// pieces of it: the SHA-256s through CNG and one Ed25519 verification.
// Prints key=value lines.
//
//   log_check_bench MANIFEST PROOF SETTINGS [ROUNDS]
//
// SETTINGS: the log key on its first line, the witnesses on its second
// (bench/make_log_proof.py writes all three files).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "release/trust/ed25519.h"
#include "release/trust/log_rules.h"
#include "release/trust/manifest_signature.h"
#include "release/trust/merkle_proof.h"

namespace {

std::string ReadAll(const wchar_t* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: log_check_bench MANIFEST PROOF SETTINGS [ROUNDS]\n");
        return 2;
    }
    const std::string manifest = ReadAll(argv[1]);
    const std::string proof = ReadAll(argv[2]);
    const std::string settings = ReadAll(argv[3]);
    const size_t rounds = argc > 4 ? static_cast<size_t>(_wtoi(argv[4])) : 200;
    const size_t newline = settings.find('\n');
    const std::string logKey = settings.substr(0, newline);
    const std::string witnesses = settings.substr(newline + 1, settings.find('\n', newline + 1) - newline - 1);
    const ByteBuffer manifestBytes(manifest.begin(), manifest.end());
    const ByteBuffer proofBytes(proof.begin(), proof.end());
    BenchClock clock;
    std::vector<double> whole, rulesOnly, hashes, ed25519;
    for (size_t i = 0; i < rounds; ++i) {
        LogRules rules;
        LoggedManifest logged;
        std::wstring fault;
        clock.Start();
        const bool ruled = LogRulesFromSettings(logKey, witnesses, 2, 90, NowUtcSeconds(), rules, fault);
        rulesOnly.push_back(clock.Seconds());
        clock.Start();
        const bool verified = ruled && VerifyLogProof(manifestBytes, proofBytes, rules, logged, fault);
        whole.push_back(clock.Seconds());
        if (!verified) {
            std::fprintf(stderr, "not verified: %ls\n", fault.c_str());
            return 1;
        }
        // 21 hashes: the leaf and a path of 20, as the proof of a million.
        MerkleHash node{};
        clock.Start();
        bool hashed = MerkleLeafHash(manifestBytes.data(), manifestBytes.size(), node);
        for (int j = 0; j < 20 && hashed; ++j) {
            hashed = MerkleNodeHash(node, node, node);
        }
        hashes.push_back(clock.Seconds());
        const unsigned char signature[64] = {};
        clock.Start();
        static_cast<void>(VerifyEd25519(rules.LogKey.PublicKey.data(), manifestBytes.data(), manifestBytes.size(),
                                        signature));
        ed25519.push_back(clock.Seconds());
    }
    std::printf("proof_bytes=%zu\nrounds=%zu\ncheck_ms=%.3f\nrules_from_settings_ms=%.3f\nsha256_x21_ms=%.3f\n"
                "ed25519_verify_ms=%.3f\n",
                proof.size(), rounds, Median(whole) * 1000, Median(rulesOnly) * 1000, Median(hashes) * 1000,
                Median(ed25519) * 1000);
    return 0;
}
