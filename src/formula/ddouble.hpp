// Double-double arithmetic: a value carried as an unevaluated sum hi + lo of
// two doubles, about 106 bits of mantissa, built from IEEE double operations
// alone.  Every step is a correctly rounded double operation (or std::fma,
// which is exact by definition), so the results are the same bit for bit on
// every platform whose doubles are IEEE binary64 - x86-64, ARM with or
// without VFP fused multiply-add, and builds where long double is double.
// The build must not let the compiler fuse a * b + c on its own
// (-ffp-contract=off): that would change the rounding of some steps on
// machines that have the instruction.
#pragma once

#include <cmath>

namespace formula {

struct DD {
    double hi = 0.0, lo = 0.0;
    DD() = default;
    DD(double h) : hi(h) {}  // NOLINT: a double is a double-double
    DD(double h, double l) : hi(h), lo(l) {}
    double value() const { return hi; }  // normalised: hi is the rounded sum
};

namespace dd {

// a + b exactly, as the rounded sum and its error (Knuth).
inline DD two_sum(double a, double b) {
    double s = a + b;
    double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a + b exactly, for |a| >= |b| (Dekker).
inline DD quick_two_sum(double a, double b) {
    double s = a + b;
    return {s, b - (s - a)};
}

// a * b exactly, as the rounded product and its error.
inline DD two_prod(double a, double b) {
    double p = a * b;
    return {p, std::fma(a, b, -p)};
}

// a * b exactly without fma (Dekker), for operands of everyday magnitude:
// |a|, |b| below 2^996 and |a * b| above 2^-969.  A call of the C library's
// fma costs more than these few operations, and on ARM without VFPv4 fma is
// done in software.
inline DD two_prod_split(double a, double b) {
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    double p = a * b;
    double ta = kSplitter * a, ah = ta - (ta - a), al = a - ah;
    double tb = kSplitter * b, bh = tb - (tb - b), bl = b - bh;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

inline DD add(const DD &a, double b) {
    DD s = two_sum(a.hi, b);
    return quick_two_sum(s.hi, s.lo + a.lo);
}

inline DD add(const DD &a, const DD &b) {
    DD s = two_sum(a.hi, b.hi), t = two_sum(a.lo, b.lo);
    s = quick_two_sum(s.hi, s.lo + t.hi);
    return quick_two_sum(s.hi, s.lo + t.lo);
}

inline DD neg(const DD &a) { return {-a.hi, -a.lo}; }

inline DD sub(const DD &a, const DD &b) { return add(a, neg(b)); }

inline DD mul(const DD &a, const DD &b) {
    DD p = two_prod(a.hi, b.hi);
    return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

inline DD mul(const DD &a, double b) {
    DD p = two_prod(a.hi, b);
    return quick_two_sum(p.hi, p.lo + a.lo * b);
}

// Long division: three quotient digits, each corrected by the remainder.
inline DD div(const DD &a, const DD &b) {
    double q1 = a.hi / b.hi;
    DD r = sub(a, mul(b, q1));
    double q2 = r.hi / b.hi;
    r = sub(r, mul(b, q2));
    double q3 = r.hi / b.hi;
    return add(quick_two_sum(q1, q2), q3);
}

// One Newton step from the double square root (Karp).  a must be >= 0.
inline DD sqrt(const DD &a) {
    if (a.hi <= 0.0) return DD(0.0);
    double x = std::sqrt(a.hi);
    DD r = sub(a, two_prod(x, x));
    return add(DD(x), r.hi / (2.0 * x));
}

}  // namespace dd
}  // namespace formula
