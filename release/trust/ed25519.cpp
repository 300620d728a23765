#include "release/trust/ed25519.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "release/trust/package_verification.h"

namespace {

// An element of GF(p), p = 2^255 - 19, in ten limbs of 26 and 25 bits in
// turn: value = sum of limb[i] * 2^kShift[i]. Every function below returns
// its result carried (each limb within [-19, 2^26 + 19); Small's constants
// within +-2^17), which keeps 19 times a limb within 32 bits: every product in Mul and Square is then
// one 32 x 32 -> 64-bit multiplication, a single instruction on i686.
struct Field {
    int32_t limb[10];
};

constexpr int kWidth[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};
constexpr int kShift[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};

// A point in extended coordinates: x = X/Z, y = Y/Z, x*y = T/Z.
struct Point {
    Field X, Y, Z, T;
};

// Exponents, little-endian: p - 2 (an inverse), (p - 1) / 4 (the square
// root of -1), for the curve's constants.
constexpr unsigned char kPMinus2[32] = {0xeb, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
constexpr unsigned char kPMinus1Over4[32] = {0xfb, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                             0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                             0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x1f};
// The group order L = 2^252 + 27742317777372353535851937790883648493.
constexpr unsigned char kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                      0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

Field Small(int32_t value)
{
    Field f = {};
    f.limb[0] = value;
    return f;
}

// Each limb but the last into [0, 2^width), the last one's carry folded into
// the first: 2^255 = 19 (mod p). The shift of a negative value is arithmetic
// (floor) on every compiler this builds with.
void CarryWide(int64_t h[10])
{
    for (int i = 0; i < 10; ++i) {
        const int64_t carry = h[i] >> kWidth[i];
        h[i] -= carry * (int64_t{1} << kWidth[i]);
        if (i < 9) {
            h[i + 1] += carry;
        } else {
            h[0] += 19 * carry;
        }
    }
}

// Two passes: the first leaves the first limb below 2^26 + 2^40 (a product's
// sums are below 2^60), the second every limb carried.
Field Carried(int64_t h[10])
{
    CarryWide(h);
    CarryWide(h);
    Field f;
    for (int i = 0; i < 10; ++i) {
        f.limb[i] = static_cast<int32_t>(h[i]);
    }
    return f;
}

Field Add(const Field& a, const Field& b)
{
    int64_t h[10];
    for (int i = 0; i < 10; ++i) {
        h[i] = int64_t{a.limb[i]} + b.limb[i];
    }
    return Carried(h);
}

Field Sub(const Field& a, const Field& b)
{
    int64_t h[10];
    for (int i = 0; i < 10; ++i) {
        h[i] = int64_t{a.limb[i]} - b.limb[i];
    }
    return Carried(h);
}

inline int64_t P(int32_t a, int32_t b)
{
    return int64_t{a} * b;
}

// Schoolbook, with 2^255 = 19 for the products past the top limb and a
// factor of 2 where two odd limbs meet (26 + 25 bits apart where their
// product's limb expects 51). Each sum of ten products stays below 2^60.
Field Mul(const Field& a, const Field& b)
{
    const int32_t* f = a.limb;
    const int32_t* g = b.limb;
    int32_t f2[10];
    int32_t g19[10];
    for (int i = 0; i < 10; ++i) {
        f2[i] = 2 * f[i];
        g19[i] = 19 * g[i];
    }
    int64_t h[10];
    h[0] = P(f[0], g[0]) + P(f2[1], g19[9]) + P(f[2], g19[8]) + P(f2[3], g19[7]) + P(f[4], g19[6]) +
           P(f2[5], g19[5]) + P(f[6], g19[4]) + P(f2[7], g19[3]) + P(f[8], g19[2]) + P(f2[9], g19[1]);
    h[1] = P(f[0], g[1]) + P(f[1], g[0]) + P(f[2], g19[9]) + P(f[3], g19[8]) + P(f[4], g19[7]) + P(f[5], g19[6]) +
           P(f[6], g19[5]) + P(f[7], g19[4]) + P(f[8], g19[3]) + P(f[9], g19[2]);
    h[2] = P(f[0], g[2]) + P(f2[1], g[1]) + P(f[2], g[0]) + P(f2[3], g19[9]) + P(f[4], g19[8]) + P(f2[5], g19[7]) +
           P(f[6], g19[6]) + P(f2[7], g19[5]) + P(f[8], g19[4]) + P(f2[9], g19[3]);
    h[3] = P(f[0], g[3]) + P(f[1], g[2]) + P(f[2], g[1]) + P(f[3], g[0]) + P(f[4], g19[9]) + P(f[5], g19[8]) +
           P(f[6], g19[7]) + P(f[7], g19[6]) + P(f[8], g19[5]) + P(f[9], g19[4]);
    h[4] = P(f[0], g[4]) + P(f2[1], g[3]) + P(f[2], g[2]) + P(f2[3], g[1]) + P(f[4], g[0]) + P(f2[5], g19[9]) +
           P(f[6], g19[8]) + P(f2[7], g19[7]) + P(f[8], g19[6]) + P(f2[9], g19[5]);
    h[5] = P(f[0], g[5]) + P(f[1], g[4]) + P(f[2], g[3]) + P(f[3], g[2]) + P(f[4], g[1]) + P(f[5], g[0]) +
           P(f[6], g19[9]) + P(f[7], g19[8]) + P(f[8], g19[7]) + P(f[9], g19[6]);
    h[6] = P(f[0], g[6]) + P(f2[1], g[5]) + P(f[2], g[4]) + P(f2[3], g[3]) + P(f[4], g[2]) + P(f2[5], g[1]) +
           P(f[6], g[0]) + P(f2[7], g19[9]) + P(f[8], g19[8]) + P(f2[9], g19[7]);
    h[7] = P(f[0], g[7]) + P(f[1], g[6]) + P(f[2], g[5]) + P(f[3], g[4]) + P(f[4], g[3]) + P(f[5], g[2]) +
           P(f[6], g[1]) + P(f[7], g[0]) + P(f[8], g19[9]) + P(f[9], g19[8]);
    h[8] = P(f[0], g[8]) + P(f2[1], g[7]) + P(f[2], g[6]) + P(f2[3], g[5]) + P(f[4], g[4]) + P(f2[5], g[3]) +
           P(f[6], g[2]) + P(f2[7], g[1]) + P(f[8], g[0]) + P(f2[9], g19[9]);
    h[9] = P(f[0], g[9]) + P(f[1], g[8]) + P(f[2], g[7]) + P(f[3], g[6]) + P(f[4], g[5]) + P(f[5], g[4]) +
           P(f[6], g[3]) + P(f[7], g[2]) + P(f[8], g[1]) + P(f[9], g[0]);
    return Carried(h);
}

// Mul(a, a) with each cross product made once.
Field Square(const Field& a)
{
    const int32_t* f = a.limb;
    int32_t f2[10];
    int32_t f4[10];
    int32_t f19[10];
    for (int i = 0; i < 10; ++i) {
        f2[i] = 2 * f[i];
        f4[i] = 4 * f[i];
        f19[i] = 19 * f[i];
    }
    int64_t h[10];
    h[0] = P(f[0], f[0]) + P(f4[1], f19[9]) + P(f2[2], f19[8]) + P(f4[3], f19[7]) + P(f2[4], f19[6]) +
           P(f2[5], f19[5]);
    h[1] = P(f2[0], f[1]) + P(f2[2], f19[9]) + P(f2[3], f19[8]) + P(f2[4], f19[7]) + P(f2[5], f19[6]);
    h[2] = P(f2[0], f[2]) + P(f2[1], f[1]) + P(f4[3], f19[9]) + P(f2[4], f19[8]) + P(f4[5], f19[7]) + P(f[6], f19[6]);
    h[3] = P(f2[0], f[3]) + P(f2[1], f[2]) + P(f2[4], f19[9]) + P(f2[5], f19[8]) + P(f2[6], f19[7]);
    h[4] = P(f2[0], f[4]) + P(f4[1], f[3]) + P(f[2], f[2]) + P(f4[5], f19[9]) + P(f2[6], f19[8]) + P(f2[7], f19[7]);
    h[5] = P(f2[0], f[5]) + P(f2[1], f[4]) + P(f2[2], f[3]) + P(f2[6], f19[9]) + P(f2[7], f19[8]);
    h[6] = P(f2[0], f[6]) + P(f4[1], f[5]) + P(f2[2], f[4]) + P(f2[3], f[3]) + P(f4[7], f19[9]) + P(f[8], f19[8]);
    h[7] = P(f2[0], f[7]) + P(f2[1], f[6]) + P(f2[2], f[5]) + P(f2[3], f[4]) + P(f2[8], f19[9]);
    h[8] = P(f2[0], f[8]) + P(f4[1], f[7]) + P(f2[2], f[6]) + P(f4[3], f[5]) + P(f[4], f[4]) + P(f2[9], f19[9]);
    h[9] = P(f2[0], f[9]) + P(f2[1], f[8]) + P(f2[2], f[7]) + P(f2[3], f[6]) + P(f2[4], f[5]);
    return Carried(h);
}

Field Pow(const Field& base, const unsigned char exponent[32])
{
    Field result = Small(1);
    for (int bit = 255; bit >= 0; --bit) {
        result = Square(result);
        if ((exponent[bit / 8] >> (bit % 8)) & 1) {
            result = Mul(result, base);
        }
    }
    return result;
}

Field SquareTimes(Field f, int times)
{
    while (times-- > 0) {
        f = Square(f);
    }
    return f;
}

// z^((p - 5) / 8) = z^(2^252 - 3), the power in RFC 8032's square root, by
// a chain of 250 squarings and 11 products instead of Pow's 250 products.
Field PowPMinus5Over8(const Field& z)
{
    Field t0 = Square(z);                      // z^2
    Field t1 = Mul(z, SquareTimes(t0, 2));     // z^9
    t0 = Mul(t0, t1);                          // z^11
    t0 = Mul(t1, Square(t0));                  // z^31 = z^(2^5 - 1)
    t0 = Mul(SquareTimes(t0, 5), t0);          // z^(2^10 - 1)
    t1 = Mul(SquareTimes(t0, 10), t0);         // z^(2^20 - 1)
    t1 = Mul(SquareTimes(t1, 20), t1);         // z^(2^40 - 1)
    t0 = Mul(SquareTimes(t1, 10), t0);         // z^(2^50 - 1)
    t1 = Mul(SquareTimes(t0, 50), t0);         // z^(2^100 - 1)
    t1 = Mul(SquareTimes(t1, 100), t1);        // z^(2^200 - 1)
    t0 = Mul(SquareTimes(t1, 50), t0);         // z^(2^250 - 1)
    return Mul(SquareTimes(t0, 2), z);         // z^(2^252 - 3)
}

// The canonical encoding: the value reduced below p, little-endian.
void Pack(const Field& f, unsigned char bytes[32])
{
    // Carried twice more every limb is in [0, 2^width): a value below
    // 2^255, which is less than p + 19. It is p or more exactly when adding
    // 19 carries out of the top limb, and then that sum, less 2^255, is it.
    int64_t h[10];
    for (int i = 0; i < 10; ++i) {
        h[i] = f.limb[i];
    }
    CarryWide(h);
    CarryWide(h);
    int64_t reduced[10];
    int64_t carry = 19;
    for (int i = 0; i < 10; ++i) {
        reduced[i] = h[i] + carry;
        carry = reduced[i] >> kWidth[i];
        reduced[i] -= carry * (int64_t{1} << kWidth[i]);
    }
    const int64_t* value = carry != 0 ? reduced : h;
    std::memset(bytes, 0, 32);
    for (int i = 0; i < 10; ++i) {
        for (int bit = 0; bit < kWidth[i]; ++bit) {
            const int at = kShift[i] + bit;
            bytes[at / 8] |= static_cast<unsigned char>(((value[i] >> bit) & 1) << (at % 8));
        }
    }
}

// The low 255 bits of the encoding; bit 255 is the caller's. Each limb's
// bits lie within the four bytes from its first.
Field Unpack(const unsigned char bytes[32])
{
    Field f;
    for (int i = 0; i < 10; ++i) {
        const unsigned char* at = bytes + kShift[i] / 8;
        const uint32_t word = at[0] | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) | (uint32_t{at[3]} << 24);
        f.limb[i] = static_cast<int32_t>((word >> (kShift[i] % 8)) & ((uint32_t{1} << kWidth[i]) - 1));
    }
    return f;
}

bool Equal(const Field& a, const Field& b)
{
    unsigned char left[32];
    unsigned char right[32];
    Pack(a, left);
    Pack(b, right);
    return std::memcmp(left, right, 32) == 0;
}

bool IsOdd(const Field& f)
{
    unsigned char bytes[32];
    Pack(f, bytes);
    return (bytes[0] & 1) != 0;
}

struct Curve {
    Field D;             // -121665 / 121666
    Field TwoD;
    Field SqrtMinusOne;  // 2^((p - 1) / 4)
    Point Base;          // B: y = 4/5, x even
};

// RFC 8032, section 5.1.3. False for a y of p or more, for x = 0 with the
// sign bit set, and where x^2 has no root.
bool DecodePoint(const Curve& curve, const unsigned char bytes[32], Point& point)
{
    const Field y = Unpack(bytes);
    unsigned char canonical[32];
    Pack(y, canonical);
    unsigned char given[32];
    std::memcpy(given, bytes, 32);
    given[31] &= 0x7f;
    if (std::memcmp(canonical, given, 32) != 0) {
        return false;
    }
    const bool sign = (bytes[31] >> 7) != 0;
    const Field one = Small(1);
    const Field ySquared = Mul(y, y);
    const Field u = Sub(ySquared, one);
    const Field v = Add(Mul(curve.D, ySquared), one);
    // x = u v^3 (u v^7)^((p - 5) / 8), then fixed up by sqrt(-1) if needed.
    const Field v3 = Mul(Mul(v, v), v);
    const Field v7 = Mul(Mul(v3, v3), v);
    Field x = Mul(Mul(u, v3), PowPMinus5Over8(Mul(u, v7)));
    const Field vxx = Mul(v, Mul(x, x));
    if (!Equal(vxx, u)) {
        if (!Equal(vxx, Sub(Small(0), u))) {
            return false;
        }
        x = Mul(x, curve.SqrtMinusOne);
    }
    if (sign && Equal(x, Small(0))) {
        return false;
    }
    if (IsOdd(x) != sign) {
        x = Sub(Small(0), x);
    }
    point = {x, y, one, Mul(x, y)};
    return true;
}

// RFC 8032, section 5.1.4 (a = -1).
Point AddPoints(const Curve& curve, const Point& p, const Point& q)
{
    const Field a = Mul(Sub(p.Y, p.X), Sub(q.Y, q.X));
    const Field b = Mul(Add(p.Y, p.X), Add(q.Y, q.X));
    const Field c = Mul(Mul(p.T, curve.TwoD), q.T);
    const Field d = Mul(Add(p.Z, p.Z), q.Z);
    const Field e = Sub(b, a);
    const Field f = Sub(d, c);
    const Field g = Add(d, c);
    const Field h = Add(b, a);
    return {Mul(e, f), Mul(g, h), Mul(f, g), Mul(e, h)};
}

Point DoublePoint(const Point& p)
{
    const Field a = Square(p.X);
    const Field b = Square(p.Y);
    const Field zz = Square(p.Z);
    const Field c = Add(zz, zz);
    const Field h = Add(a, b);
    const Field xPlusY = Add(p.X, p.Y);
    const Field e = Sub(h, Square(xPlusY));
    const Field g = Sub(a, b);
    const Field f = Add(c, g);
    return {Mul(e, f), Mul(g, h), Mul(f, g), Mul(e, h)};
}

Curve MakeCurve()
{
    Curve curve;
    curve.D = Mul(Small(-121665), Pow(Small(121666), kPMinus2));
    curve.TwoD = Add(curve.D, curve.D);
    curve.SqrtMinusOne = Pow(Small(2), kPMinus1Over4);
    unsigned char base[32];
    std::memset(base, 0x66, sizeof(base));
    base[0] = 0x58;
    DecodePoint(curve, base, curve.Base);
    return curve;
}

const Curve& TheCurve()
{
    static const Curve curve = MakeCurve();
    return curve;
}

bool BelowOrder(const unsigned char scalar[32])
{
    for (int i = 31; i >= 0; --i) {
        if (scalar[i] != kOrder[i]) {
            return scalar[i] < kOrder[i];
        }
    }
    return false;
}

// The 512-bit little-endian number mod L, one bit at a time: the remainder
// stays below L, so doubling it and adding a bit needs at most one
// subtraction.
void ReduceModOrder(const unsigned char wide[64], unsigned char scalar[32])
{
    unsigned char r[32] = {};
    for (int bit = 511; bit >= 0; --bit) {
        unsigned carry = (wide[bit / 8] >> (bit % 8)) & 1;
        for (int i = 0; i < 32; ++i) {
            const unsigned doubled = (static_cast<unsigned>(r[i]) << 1) | carry;
            r[i] = static_cast<unsigned char>(doubled & 0xff);
            carry = doubled >> 8;
        }
        if (!BelowOrder(r)) {
            unsigned borrow = 0;
            for (int i = 0; i < 32; ++i) {
                const int difference = static_cast<int>(r[i]) - kOrder[i] - static_cast<int>(borrow);
                borrow = difference < 0 ? 1 : 0;
                r[i] = static_cast<unsigned char>(difference + static_cast<int>(borrow) * 256);
            }
        }
    }
    std::memcpy(scalar, r, 32);
}

// The scalar's 4-bit digit at `window` (0 the lowest).
unsigned Digit(const unsigned char scalar[32], int window)
{
    return (scalar[window / 2] >> (4 * (window % 2))) & 0x0f;
}

// 0 to 15 times the point: the window's table.
void Multiples(const Curve& curve, const Point& p, Point table[16])
{
    table[0] = {Small(0), Small(1), Small(1), Small(0)};
    table[1] = p;
    for (int i = 2; i < 16; ++i) {
        table[i] = AddPoints(curve, table[i - 1], p);
    }
}

// [s]P + [k]Q, both scalars four bits at a time from the top together
// (Straus): 256 doublings and at most 128 additions.
Point TwoScalars(const Curve& curve, const unsigned char s[32], const Point p[16], const unsigned char k[32],
                 const Point& q)
{
    Point qTable[16];
    Multiples(curve, q, qTable);
    Point sum = p[0];
    for (int window = 63; window >= 0; --window) {
        for (int i = 0; i < 4; ++i) {
            sum = DoublePoint(sum);
        }
        if (const unsigned digit = Digit(s, window)) {
            sum = AddPoints(curve, sum, p[digit]);
        }
        if (const unsigned digit = Digit(k, window)) {
            sum = AddPoints(curve, sum, qTable[digit]);
        }
    }
    return sum;
}

// The base point's table, made once.
struct BaseTable {
    Point Multiple[16];
};

const BaseTable& TheBaseTable()
{
    static const BaseTable table = [] {
        BaseTable made;
        Multiples(TheCurve(), TheCurve().Base, made.Multiple);
        return made;
    }();
    return table;
}

}  // namespace

bool VerifyEd25519(const unsigned char publicKey[32], const unsigned char* message, size_t size,
                   const unsigned char signature[64])
{
    const Curve& curve = TheCurve();
    const unsigned char* encodedR = signature;
    const unsigned char* s = signature + 32;
    Point a;
    Point r;
    if (!BelowOrder(s) || !DecodePoint(curve, publicKey, a) || !DecodePoint(curve, encodedR, r)) {
        return false;
    }
    // k = SHA-512(R || A || M) mod L
    std::vector<unsigned char> hashed(encodedR, encodedR + 32);
    hashed.insert(hashed.end(), publicKey, publicKey + 32);
    hashed.insert(hashed.end(), message, message + size);
    std::vector<unsigned char> digest;
    if (!HashBytes(BCRYPT_SHA512_ALGORITHM, hashed.data(), hashed.size(), digest) || digest.size() != 64) {
        return false;
    }
    unsigned char k[32];
    ReduceModOrder(digest.data(), k);
    // [S]B - [k]A = R, compared projectively (R has Z = 1).
    const Point minusA = {Sub(Small(0), a.X), a.Y, a.Z, Sub(Small(0), a.T)};
    const Point check = TwoScalars(curve, s, TheBaseTable().Multiple, k, minusA);
    return Equal(check.X, Mul(r.X, check.Z)) && Equal(check.Y, Mul(r.Y, check.Z));
}

bool IsEd25519Point(const unsigned char encoding[32])
{
    Point unused;
    return DecodePoint(TheCurve(), encoding, unused);
}
