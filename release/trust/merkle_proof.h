#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// RFC 6962 Merkle tree hashing (SHA-256, through CNG) and the checks of its
// two proofs as RFC 9162 (sections 2.1.3.2 and 2.1.4.2) gives them. A log
// proves with them that an entry is in the tree a checkpoint names, and that
// a later tree still holds an earlier one.
using MerkleHash = std::array<unsigned char, 32>;

// SHA-256(0x00 || data): the hash of a leaf of `size` bytes. False when CNG
// could not hash.
[[nodiscard]] bool MerkleLeafHash(const unsigned char* data, size_t size, MerkleHash& hash);

// SHA-256(0x01 || left || right): the hash of an inner node.
[[nodiscard]] bool MerkleNodeHash(const MerkleHash& left, const MerkleHash& right, MerkleHash& hash);

// Whether `path` (the leaf's sibling first, up to a child of the root)
// proves the leaf `leafHash` at `index` (from 0) in the tree of `treeSize`
// leaves with the root `root`. On false, `fault` names the check that
// failed: an index outside the tree, a path too short or too long, a root
// that is not the one folded.
[[nodiscard]] bool VerifyInclusionProof(uint64_t index, uint64_t treeSize, const MerkleHash& leafHash,
                                        const std::vector<MerkleHash>& path, const MerkleHash& root,
                                        std::wstring& fault);

// Whether `path` proves that the tree of `oldSize` leaves with `oldRoot` is
// the first `oldSize` leaves of the tree of `newSize` leaves with `newRoot`.
// Equal sizes need an empty path and equal roots; an empty old tree is part
// of every tree. On false, `fault` names the check that failed.
[[nodiscard]] bool VerifyConsistencyProof(uint64_t oldSize, uint64_t newSize, const MerkleHash& oldRoot,
                                          const MerkleHash& newRoot, const std::vector<MerkleHash>& path,
                                          std::wstring& fault);
