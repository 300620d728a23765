#pragma once

#include <cstddef>

// Ed25519 signature verification (RFC 8032, section 5.1.7), the one
// primitive the log proof needs that CNG does not have. Verify only: the
// installer never signs. Public data only, so nothing here is constant time.
//
// True when `signature` (R || S, 64 bytes) is `publicKey`'s signature of the
// `size` bytes at `message`. False for an encoding of A or R that RFC 8032
// does not decode (a y of p or more, x = 0 with the sign bit set, no square
// root), for S of L or more, for a failed equation, and when CNG's SHA-512
// is not there.
//
// The equation is the cofactorless one, [S]B = R + [k]A, with k reduced mod
// L: what Go's crypto/ed25519 checks, which logs and witnesses sign and
// verify notes with. An installer that accepted a signature the log's own
// tools refuse (or the other way round) would disagree with the monitors
// about what the log said; honest signatures pass either form, so nothing is
// lost by agreeing with them. A small-order A is not refused: RFC 8032 does
// not ask for it, and the keys come from the build.
[[nodiscard]] bool VerifyEd25519(const unsigned char publicKey[32], const unsigned char* message, size_t size,
                                 const unsigned char signature[64]);

// Whether RFC 8032 (section 5.1.3) decodes the 32 bytes to a point. A key
// that does not verifies nothing: a build's keys are checked when read, so
// a wrong one is named there rather than by every signature failing.
[[nodiscard]] bool IsEd25519Point(const unsigned char encoding[32]);
