#include "release/trust/merkle_proof.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "release/trust/package_verification.h"
#include "test_data.h"

namespace {

// The eight leaves of the Certificate Transparency project's Merkle tests.
const char* const kLeaves[] = {"", "00", "10", "2021", "3031", "40414243", "5051525354555657",
                               "606162636465666768696a6b6c6d6e6f"};

using Hashes = std::vector<MerkleHash>;

Hashes LeafHashes(size_t count)
{
    Hashes hashes(count);
    for (size_t i = 0; i < count; ++i) {
        const std::vector<unsigned char> data = HexBytes(*kLeaves[i] ? kLeaves[i] : "-");
        EXPECT_TRUE(MerkleLeafHash(data.data(), data.size(), hashes[i]));
    }
    return hashes;
}

MerkleHash Node(const MerkleHash& left, const MerkleHash& right)
{
    MerkleHash node;
    EXPECT_TRUE(MerkleNodeHash(left, right, node));
    return node;
}

// The largest power of two below `count` (count > 1).
size_t Split(size_t count)
{
    size_t k = 1;
    while (k * 2 < count) {
        k *= 2;
    }
    return k;
}

// RFC 6962, section 2.1: MTH, PATH and PROOF as defined there, recursively.
MerkleHash Root(const Hashes& leaves, size_t begin, size_t end)
{
    if (end - begin == 1) {
        return leaves[begin];
    }
    const size_t k = Split(end - begin);
    return Node(Root(leaves, begin, begin + k), Root(leaves, begin + k, end));
}

Hashes InclusionPath(const Hashes& leaves, size_t m, size_t begin, size_t end)
{
    if (end - begin == 1) {
        return {};
    }
    const size_t k = Split(end - begin);
    Hashes path = m < k ? InclusionPath(leaves, m, begin, begin + k) : InclusionPath(leaves, m - k, begin + k, end);
    path.push_back(m < k ? Root(leaves, begin + k, end) : Root(leaves, begin, begin + k));
    return path;
}

Hashes Subproof(const Hashes& leaves, size_t m, size_t begin, size_t end, bool whole)
{
    if (m == end - begin) {
        return whole ? Hashes() : Hashes{Root(leaves, begin, end)};
    }
    const size_t k = Split(end - begin);
    Hashes path = m <= k ? Subproof(leaves, m, begin, begin + k, whole)
                         : Subproof(leaves, m - k, begin + k, end, false);
    path.push_back(m <= k ? Root(leaves, begin + k, end) : Root(leaves, begin, begin + k));
    return path;
}

// A failure's fault must hold `wanted`; nullptr: it must verify.
void ExpectVerdict(bool verified, const std::wstring& fault, const wchar_t* wanted, const std::string& row)
{
    if (wanted == nullptr) {
        EXPECT_TRUE(verified) << row << ": " << std::string(fault.begin(), fault.end());
    } else {
        EXPECT_FALSE(verified) << row;
        EXPECT_NE(fault.find(wanted), std::wstring::npos) << row << ": " << std::string(fault.begin(), fault.end());
    }
}

}  // namespace

TEST(MerkleHashes, KnownValues)
{
    const Hashes leaves = LeafHashes(8);
    // SHA-256 of one zero byte, and the root the CT tests give for these leaves.
    EXPECT_EQ(leaves[0], (MerkleHash{0x6e, 0x34, 0x0b, 0x9c, 0xff, 0xb3, 0x7a, 0x98, 0x9c, 0xa5, 0x44,
                                     0xe6, 0xbb, 0x78, 0x0a, 0x2c, 0x78, 0x90, 0x1d, 0x3f, 0xb3, 0x37,
                                     0x38, 0x76, 0x85, 0x11, 0xa3, 0x06, 0x17, 0xaf, 0xa0, 0x1d}));
    EXPECT_EQ(Root(leaves, 0, 8), (MerkleHash{0x5d, 0xc9, 0xda, 0x79, 0xa7, 0x06, 0x59, 0xa9, 0xad, 0x55, 0x9c,
                                              0xb7, 0x01, 0xde, 0xd9, 0xa2, 0xab, 0x9d, 0x82, 0x3a, 0xad, 0x2f,
                                              0x49, 0x60, 0xcf, 0xe3, 0x70, 0xef, 0xf4, 0x60, 0x43, 0x28}));
}

// Every leaf of every tree of 1 to 8 leaves, and each proof spoiled.
TEST(VerifyInclusionProof, EveryIndexOfSmallTrees)
{
    const Hashes leaves = LeafHashes(8);
    for (size_t n = 1; n <= 8; ++n) {
        const MerkleHash root = Root(leaves, 0, n);
        for (size_t m = 0; m < n; ++m) {
            const std::string at = "leaf " + std::to_string(m) + " of " + std::to_string(n);
            const Hashes path = InclusionPath(leaves, m, 0, n);
            struct Row {
                std::string name;
                uint64_t index, size;
                MerkleHash leaf, root;
                Hashes path;
                const wchar_t* fault;
            };
            std::vector<Row> rows = {
                {"as proved", m, n, leaves[m], root, path, nullptr},
                {"another leaf", m, n, leaves[(m + 1) % 8], root, path, L"another root"},
                {"an index past the tree", n, n, leaves[m], root, path, L"outside the tree"},
                {"a hash too many", m, n, leaves[m], root, Hashes(path), L"more than the tree is deep"},
            };
            rows.back().path.push_back(root);
            if (m + 1 < n) {
                rows.push_back({"the next index", m + 1, n, leaves[m], root, path, L""});
            }
            if (n < 8) {
                rows.push_back({"the next tree's root", m, n + 1, leaves[m], Root(leaves, 0, n + 1), path, L""});
            }
            if (!path.empty()) {
                rows.push_back({"a hash short", m, n, leaves[m], root, Hashes(path.begin(), path.end() - 1),
                                L"less than the tree is deep"});
            }
            for (size_t i = 0; i < path.size(); ++i) {
                const std::string changed = "hash " + std::to_string(i) + " changed";
                rows.push_back({changed, m, n, leaves[m], root, path, L"another root"});
                rows.back().path[i][7] ^= 0x20;
            }
            for (const Row& row : rows) {
                std::wstring fault;
                const bool verified = VerifyInclusionProof(row.index, row.size, row.leaf, row.path, row.root, fault);
                ExpectVerdict(verified, fault, row.fault, at + ", " + row.name);
            }
        }
    }
}

// Every pair of sizes up to 8, and each proof spoiled.
TEST(VerifyConsistencyProof, EveryPairOfSmallTrees)
{
    const Hashes leaves = LeafHashes(8);
    const MerkleHash none = {};
    for (size_t n = 1; n <= 8; ++n) {
        const MerkleHash newRoot = Root(leaves, 0, n);
        for (size_t m = 0; m <= n; ++m) {
            const std::string at = std::to_string(m) + " in " + std::to_string(n);
            const MerkleHash oldRoot = m == 0 ? none : Root(leaves, 0, m);
            const Hashes path = m == 0 ? Hashes() : Subproof(leaves, m, 0, n, true);
            struct Row {
                std::string name;
                uint64_t oldSize, newSize;
                MerkleHash oldRoot, newRoot;
                Hashes path;
                const wchar_t* fault;
            };
            std::vector<Row> rows = {
                {"as proved", m, n, oldRoot, newRoot, path, nullptr},
                {"the sizes swapped", n, m, newRoot, oldRoot, path, m == n ? nullptr : L"larger than the new one"},
                {"a hash too many", m, n, oldRoot, newRoot, path,
                 m == 0 || m == n ? L"where none is needed" : L"more than the trees need"},
            };
            rows.back().path.push_back(newRoot);
            if (m != 0) {
                const wchar_t* another = m == n ? L"two roots for one tree" : L"another";
                rows.push_back({"another old root", m, n, leaves[7], newRoot, path, another});
                rows.push_back({"another new root", m, n, oldRoot, leaves[7], path, another});
                if (m < n) {
                    rows.push_back({"an old size one more", m + 1, n, Root(leaves, 0, m + 1), newRoot, path, L""});
                }
            }
            if (!path.empty()) {
                rows.push_back({"a hash short", m, n, oldRoot, newRoot, Hashes(path.begin(), path.end() - 1),
                                path.size() == 1 ? L"an empty consistency path" : L"less than the trees need"});
            }
            for (size_t i = 0; i < path.size(); ++i) {
                rows.push_back({"hash " + std::to_string(i) + " changed", m, n, oldRoot, newRoot, path, L"another"});
                rows.back().path[i][0] ^= 0x01;
            }
            for (const Row& row : rows) {
                std::wstring fault;
                const bool verified =
                    VerifyConsistencyProof(row.oldSize, row.newSize, row.oldRoot, row.newRoot, row.path, fault);
                ExpectVerdict(verified, fault, row.fault, at + ", " + row.name);
            }
        }
    }
}
