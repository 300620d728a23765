#include "release/trust/merkle_proof.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "release/trust/package_verification.h"

namespace {

const wchar_t kNoHash[] = L"SHA-256 could not be computed";

bool HashPrefixed(unsigned char prefix, const unsigned char* first, size_t firstSize, const unsigned char* second,
                  size_t secondSize, MerkleHash& hash)
{
    std::vector<unsigned char> input(1, prefix);
    input.insert(input.end(), first, first + firstSize);
    input.insert(input.end(), second, second + secondSize);
    std::vector<unsigned char> digest;
    if (!HashBytes(BCRYPT_SHA256_ALGORITHM, input.data(), input.size(), digest) || digest.size() != hash.size()) {
        return false;
    }
    std::copy(digest.begin(), digest.end(), hash.begin());
    return true;
}

// Both node numbers up one level.
void Up(uint64_t& first, uint64_t& second)
{
    first >>= 1;
    second >>= 1;
}

std::wstring Count(size_t hashes)
{
    return std::to_wstring(hashes) + (hashes == 1 ? L" hash" : L" hashes");
}

}  // namespace

bool MerkleLeafHash(const unsigned char* data, size_t size, MerkleHash& hash)
{
    return HashPrefixed(0x00, data, size, nullptr, 0, hash);
}

bool MerkleNodeHash(const MerkleHash& left, const MerkleHash& right, MerkleHash& hash)
{
    return HashPrefixed(0x01, left.data(), left.size(), right.data(), right.size(), hash);
}

bool VerifyInclusionProof(uint64_t index, uint64_t treeSize, const MerkleHash& leafHash,
                          const std::vector<MerkleHash>& path, const MerkleHash& root, std::wstring& fault)
{
    const std::wstring where = L"index " + std::to_wstring(index) + L" of " + std::to_wstring(treeSize);
    if (index >= treeSize) {
        fault = where + L": an index outside the tree";
        return false;
    }
    // The node numbers of this subtree and of the last one, level by level.
    uint64_t node = index;
    uint64_t last = treeSize - 1;
    MerkleHash folded = leafHash;
    for (const MerkleHash& sibling : path) {
        if (last == 0) {
            fault = where + L": an inclusion path of " + Count(path.size()) + L", more than the tree is deep";
            return false;
        }
        bool hashed = false;
        if ((node & 1) != 0 || node == last) {
            hashed = MerkleNodeHash(sibling, folded, folded);
            // A last node with no right sibling moves up unpaired.
            while ((node & 1) == 0 && node != 0) {
                Up(node, last);
            }
        } else {
            hashed = MerkleNodeHash(folded, sibling, folded);
        }
        if (!hashed) {
            fault = kNoHash;
            return false;
        }
        Up(node, last);
    }
    if (last != 0) {
        fault = where + L": an inclusion path of " + Count(path.size()) + L", less than the tree is deep";
        return false;
    }
    if (folded != root) {
        fault = where + L": an inclusion path that leads to another root";
        return false;
    }
    return true;
}

bool VerifyConsistencyProof(uint64_t oldSize, uint64_t newSize, const MerkleHash& oldRoot, const MerkleHash& newRoot,
                            const std::vector<MerkleHash>& path, std::wstring& fault)
{
    const std::wstring where = L"sizes " + std::to_wstring(oldSize) + L" and " + std::to_wstring(newSize);
    if (oldSize > newSize) {
        fault = where + L": the old tree larger than the new one";
        return false;
    }
    if (oldSize == newSize || oldSize == 0) {
        if (!path.empty()) {
            fault = where + L": a consistency path of " + Count(path.size()) + L" where none is needed";
            return false;
        }
        if (oldSize != 0 && oldRoot != newRoot) {
            fault = where + L": two roots for one tree";
            return false;
        }
        return true;
    }
    if (path.empty()) {
        fault = where + L": an empty consistency path";
        return false;
    }
    // An old tree of 2^n leaves is a node of the new one: its root starts
    // the path.
    std::vector<MerkleHash> proof;
    if ((oldSize & (oldSize - 1)) == 0) {
        proof.push_back(oldRoot);
    }
    proof.insert(proof.end(), path.begin(), path.end());
    uint64_t node = oldSize - 1;
    uint64_t last = newSize - 1;
    while ((node & 1) != 0) {
        Up(node, last);
    }
    MerkleHash oldFolded = proof.front();
    MerkleHash newFolded = proof.front();
    for (size_t i = 1; i < proof.size(); ++i) {
        if (last == 0) {
            fault = where + L": a consistency path of " + Count(path.size()) + L", more than the trees need";
            return false;
        }
        bool hashed = false;
        if ((node & 1) != 0 || node == last) {
            hashed = MerkleNodeHash(proof[i], oldFolded, oldFolded) && MerkleNodeHash(proof[i], newFolded, newFolded);
            while ((node & 1) == 0 && node != 0) {
                Up(node, last);
            }
        } else {
            hashed = MerkleNodeHash(newFolded, proof[i], newFolded);
        }
        if (!hashed) {
            fault = kNoHash;
            return false;
        }
        Up(node, last);
    }
    if (last != 0) {
        fault = where + L": a consistency path of " + Count(path.size()) + L", less than the trees need";
        return false;
    }
    if (oldFolded != oldRoot) {
        fault = where + L": a consistency path that leads to another old root";
        return false;
    }
    if (newFolded != newRoot) {
        fault = where + L": a consistency path that leads to another new root";
        return false;
    }
    return true;
}
