#!/usr/bin/env python3
"""Write reference values of K, E, Pi and the Carlson integrals for the C++ tests.

Arguments are doubles drawn with a fixed seed and grouped by regime; each value
is computed by mpmath at 50 significant digits at the exact double argument and
rounded once to the nearest double. Principal values are taken as
    Pi(n, m) = K(m) - Pi(m/n, m)          for n > 1 (mpmath's own Pi is complex there
                                          and slow near n = 1),
    the real part of mpmath's R_J         for p < 0,
and every one of them is checked against a direct principal-value quadrature of
its defining integral before anything is written; a sample of the other Pi rows
is checked against a direct quadrature as well.

Usage:
    python3 tools/generate_elliptic_reference.py            # rewrite the header
    python3 tools/generate_elliptic_reference.py --check    # compare, exit 1 on a difference
"""
import math
import pathlib
import random
import sys

import mpmath as mp

import header_output

mp.mp.dps = 50

HEADER = (pathlib.Path(__file__).resolve().parent.parent
          / "tests" / "cpp" / "reference" / "elliptic_reference.h")

rng = random.Random(20240917)


def uniform(a, b, count):
    return [rng.uniform(a, b) for _ in range(count)]


def log_uniform(a, b, count, sign=1.0):
    """count values sign * 10^u with u uniform in [log10 a, log10 b]."""
    return [sign * 10.0 ** rng.uniform(math.log10(a), math.log10(b)) for _ in range(count)]


def near_one(low_exponent, high_exponent, count):
    """1 - 10^-k for integer k, then 1 - 10^-u for random u."""
    fixed = [1.0 - 10.0 ** -k for k in range(low_exponent, high_exponent + 1)]
    return fixed + [1.0 - 10.0 ** -rng.uniform(low_exponent, high_exponent) for _ in range(count)]


def row_boundaries():
    """Each boundary b = k/20 of the polynomial rows with the doubles either side."""
    values = []
    for k in range(0, 19):
        b = k / 20
        values += [math.nextafter(b, -1.0), b, math.nextafter(b, 2.0)]
    return values


def as_float(x):
    value = float(x)
    assert math.isfinite(value), x
    return value


def pi_integrand(n, m):
    return lambda t: 1 / ((1 - n * mp.sin(t) ** 2) * mp.sqrt(1 - m * mp.sin(t) ** 2))


def principal_value(f, pole, low, high):
    """PV of f over [low, high] with a simple pole inside: fold a band around the pole."""
    half = min(pole - low, high - pole) / 2
    band = mp.quad(lambda u: f(pole + u) + f(pole - u), [0, half], method="gauss-legendre")
    return mp.quad(f, [low, pole - half]) + band + mp.quad(f, [pole + half, high])


def check(label, value, other, tolerance, scale=None):
    """Relative agreement, measured against scale (default |value|) where terms cancel."""
    if abs(value - other) > tolerance * (abs(value) if scale is None else scale):
        raise SystemExit(f"{label}: {mp.nstr(value, 30)} disagrees with {mp.nstr(other, 30)}")


def pi_reference(n, m, check_quadrature):
    n_, m_ = mp.mpf(n), mp.mpf(m)
    if n <= 1:
        value = mp.ellippi(n_, m_)
        if check_quadrature:
            check(f"Pi({n!r}, {m!r}) by quadrature", value,
                  mp.quad(pi_integrand(n_, m_), [0, mp.pi / 4, mp.pi / 2]), mp.mpf(10) ** -30)
        return value
    # Principal value: Pi(n, m) = K(m) - Pi(m/n, m), checked by a direct
    # principal-value quadrature (scaled by K where the two terms cancel).
    k = mp.ellipk(m_)
    value = k - mp.ellippi(m_ / n_, m_)
    pole = mp.asin(1 / mp.sqrt(n_))
    check(f"Pi({n!r}, {m!r}) by quadrature", value,
          principal_value(pi_integrand(n_, m_), pole, 0, mp.pi / 2), mp.mpf(10) ** -25,
          max(abs(value), k))
    return value


def rj_reference(x, y, z, p):
    value = mp.re(mp.elliprj(x, y, z, p))
    if p < 0:
        x_, y_, z_, p_ = map(mp.mpf, (x, y, z, p))
        f = lambda t: 1.5 / ((t + p_) * mp.sqrt((t + x_) * (t + y_) * (t + z_)))
        check(f"R_J({x!r}, {y!r}, {z!r}, {p!r}) by quadrature", value,
              principal_value(f, -p_, 0, mp.inf), mp.mpf(10) ** -20)
    return value


# Each group: (identifier, label, row type, argument tuples, reference function).
def one(values):
    return [(v,) for v in values]


def k_groups():
    k = lambda m: mp.ellipk(m)
    return [
        ("k_small_negative", "K, m in (-0.05, 0)", "Row1",
         one(uniform(-0.05, 0.0, 24) + [math.nextafter(-0.05, 0.0), -1e-300]), k),
        ("k_polynomial", "K, polynomial rows 0 <= m < 0.9", "Row1",
         one([v for lo in range(18) for v in uniform(lo / 20, (lo + 1) / 20, 5)]), k),
        ("k_row_boundaries", "K, either side of each row boundary k/20", "Row1",
         one(row_boundaries()), k),
        ("k_agm", "K, AGM 0.9 <= m < 0.999", "Row1", one(uniform(0.9, 0.999, 20)), k),
        ("k_near_one", "K, m near 1", "Row1",
         one(near_one(3, 16, 16) + [1 - 2.0 ** -52, 1 - 2.0 ** -53]), k),
        ("k_negative", "K, -1e3 < m <= -0.05", "Row1",
         one([-0.05] + log_uniform(0.05, 1e3, 24, -1.0)), k),
        ("k_very_negative", "K, m very negative (down to -4.6e17)", "Row1",
         one(log_uniform(1e3, 4.6e17, 20, -1.0) + [-4e17, -4.6e17]), k),
    ]


def e_groups():
    e = lambda m: mp.ellipe(m)
    return [
        ("e_polynomial", "E, polynomial rows 0 <= m < 0.9", "Row1",
         one([v for lo in range(18) for v in uniform(lo / 20, (lo + 1) / 20, 5)]), e),
        ("e_row_boundaries", "E, either side of each row boundary k/20", "Row1",
         one(row_boundaries()), e),
        ("e_agm", "E, AGM 0.9 <= m < 0.999", "Row1", one(uniform(0.9, 0.999, 20)), e),
        ("e_near_one", "E, m near 1", "Row1",
         one(near_one(3, 16, 16) + [1 - 2.0 ** -52, 1 - 2.0 ** -53]), e),
        ("e_small_negative", "E, m in (-0.05, 0)", "Row1", one(uniform(-0.05, 0.0, 12)), e),
        ("e_negative", "E, -1e3 < m <= -0.05 (imaginary modulus)", "Row1",
         one(log_uniform(0.05, 1e3, 24, -1.0)), e),
        ("e_very_negative", "E, m very negative (down to -1e300)", "Row1",
         one(log_uniform(1e3, 1e300, 20, -1.0)), e),
    ]


def pi_groups():
    def pairs_near(count, low, high):
        """(n, m) with n < 0 and m = n (1 +- d), d log-uniform in [low, high)."""
        pairs = []
        for _ in range(count):
            n = -(10.0 ** rng.uniform(-3, 3))
            offset = 10.0 ** rng.uniform(math.log10(low), math.log10(high))
            pairs.append((n, n * (1 + rng.choice((-1.0, 1.0)) * offset)))
        return pairs

    def pairs_apart(count):
        """(n, m) with n < 0 and m in [-100, 1), |m/n - 1| >= 0.1."""
        pairs = []
        while len(pairs) < count:
            n, m = -(10.0 ** rng.uniform(-3, 6)), rng.uniform(-100, 0.999)
            if abs(m / n - 1) >= 0.1:
                pairs.append((n, m))
        return pairs

    groups = [
        ("pi_positive_n", "Pi, 0 < n < 1, 0 <= m < 1", "Row2",
         [(n, m) for n, m in zip(uniform(0, 1, 30), uniform(0, 0.999, 30))]
         + [(n, m) for n, m in zip(uniform(0, 1, 10), uniform(0.9, 0.999, 10))], None),
        ("pi_positive_n_negative_m", "Pi, 0 < n < 1, m < 0", "Row2",
         list(zip(uniform(0, 1, 20), log_uniform(1e-3, 1e6, 20, -1.0))), None),
        ("pi_n_zero", "Pi, n = 0 (equal to K)", "Row2",
         [(0.0, m) for m in uniform(-10, 0.999, 8)], None),
        ("pi_m_equals_n", "Pi, m = n", "Row2", [(v, v) for v in uniform(0, 0.999, 10)], None),
        ("pi_n_near_one", "Pi, n near 1 (below)", "Row2",
         list(zip(near_one(2, 15, 6), uniform(-2, 0.99, 20))), None),
        ("pi_m_near_one", "Pi, m near 1", "Row2",
         list(zip(uniform(-10, 0.99, 20), near_one(3, 15, 6))), None),
        ("pi_negative_n", "Pi, n < 0, |m/n - 1| >= 0.1", "Row2", pairs_apart(40), None),
        ("pi_negative_n_close_m", "Pi, n < 0, m close to n (1e-3 <= |m/n - 1| < 0.1)", "Row2",
         pairs_near(25, 1e-3, 0.1), None),
        ("pi_negative_n_very_close_m", "Pi, n < 0, m very close to n (|m/n - 1| < 1e-3)", "Row2",
         pairs_near(20, 1e-12, 1e-3), None),
        ("pi_principal_value", "Pi, principal value n > 1", "Row2",
         list(zip([1 + 2.0 ** -51, 1 + 1e-12, 1 + 1e-8]
                  + [1 + v for v in log_uniform(1e-6, 1e6, 37)],
                  [0.5, 0.3, -0.7] + uniform(-100, 0.999, 37))), None),
    ]
    out = []
    for ident, label, kind, args, _ in groups:
        # A sample of rows is checked by quadrature, away from near-singular
        # integrands (n or m near 1); principal values are checked on every row.
        sample = set() if ident in ("pi_n_near_one", "pi_m_near_one") else set(range(0, len(args), 8))
        rows = [(n, m, pi_reference(n, m, i in sample)) for i, (n, m) in enumerate(args)]
        out.append((ident, label, kind, rows))
    return out


def carlson_groups():
    pos = lambda count: log_uniform(1e-3, 1e3, count)
    rf = lambda x, y, z: mp.elliprf(x, y, z)
    rd = lambda x, y, z: mp.elliprd(x, y, z)
    rc = lambda x, y: mp.re(mp.elliprc(x, y))
    rc_less = []
    for x in pos(12):
        rc_less.append((x, x * rng.uniform(0.01, 0.999)))
    return [
        ("rf_distinct", "R_F, distinct positive arguments", "Row3",
         list(zip(pos(24), pos(24), pos(24))), rf),
        ("rf_one_zero", "R_F with one argument zero", "Row3",
         [(0.0, y, z) for y, z in zip(pos(8), pos(8))]
         + [(x, 0.0, z) for x, z in zip(pos(4), pos(4))]
         + [(x, y, 0.0) for x, y in zip(pos(4), pos(4))], rf),
        ("rf_x_equals_y", "R_F with x = y", "Row3", [(x, x, z) for x, z in zip(pos(12), pos(12))]
         + [(x, x, 0.0) for x in pos(2)], rf),
        ("rc_y_above_x", "R_C with y > x", "Row2",
         [(x, x * (1 + 10.0 ** rng.uniform(-8, 3))) for x in pos(12)] + [(0.0, 2.5)], rc),
        ("rc_y_below_x", "R_C with 0 < y < x", "Row2", rc_less, rc),
        ("rc_principal_value", "R_C, principal value y < 0", "Row2",
         [(x, -y) for x, y in zip(pos(12), pos(12))], rc),
        ("rd_distinct", "R_D, distinct positive arguments", "Row3",
         list(zip(pos(20), pos(20), pos(20))), rd),
        ("rd_x_zero", "R_D with x = 0", "Row3", [(0.0, y, z) for y, z in zip(pos(12), pos(12))], rd),
        ("rj_distinct", "R_J, distinct positive arguments", "Row4",
         list(zip(pos(24), pos(24), pos(24), pos(24))), rj_reference),
        ("rj_y_equals_z", "R_J with y = z", "Row4",
         [(x, y, y, p) for x, y, p in zip(pos(12), pos(12), pos(12))]
         # either side of p/y = 1.2 and y/p = 1.2, where the R_C difference takes over
         + [(x, y, y, y * r) for x, y, r in zip(pos(6), pos(6), (1.1, 1.19, 1.25, 0.9, 0.84, 0.8))],
         rj_reference),
        ("rj_principal_value", "R_J, principal value p < 0", "Row4",
         [(x, y, z, -p) for x, y, z, p in zip([0.0] * 4 + pos(8), pos(12), pos(12), pos(12))],
         rj_reference),
        # p near x: the closed form through R_C cancels there
        ("rj_all_equal", "R_J with x = y = z", "Row4",
         [(x, x, x, x * r) for x in (1.0 - 2.0 ** -53, 1e-3, 10.0)
          for r in (1 + 2.0 ** -52, 1 - 2.0 ** -53, 1 + 1e-8, 1 - 1e-8, 1.19, 0.84, 1.25, 0.8, 3.0)],
         rj_reference),
    ]


def evaluate(groups):
    out = []
    for ident, label, kind, args, function in groups:
        out.append((ident, label, kind,
                    [a + (function(*[mp.mpf(v) for v in a]),) for a in args]))
    return out


ROW_TYPES = """\
struct Row1 {
    double m, value;
};
struct Row2 {
    double a, b, value; // (n, m) for Pi, (x, y) for R_C
};
struct Row3 {
    double x, y, z, value;
};
struct Row4 {
    double x, y, z, p, value;
};

// A regime: short identifier, label in words, rows.
template <class Row> struct Group {
    const char* name;
    const char* label;
    std::span<const Row> rows;
};

template <class Row> void PrintTo(const Group<Row>& group, std::ostream* os) {
    *os << group.label;
}

// clang-format off
"""


def render():
    # Draw every argument first, in a fixed order, so the stream of random
    # numbers does not depend on how the values are computed.
    families = [
        ("k_groups", "Row1", evaluate(k_groups())),
        ("e_groups", "Row1", evaluate(e_groups())),
        ("pi_groups", "Row2", pi_groups()),
    ]
    carlson = evaluate(carlson_groups())
    for name, kind in (("rf_groups", "Row3"), ("rc_groups", "Row2"), ("rd_groups", "Row3"),
                       ("rj_groups", "Row4")):
        prefix = name[:2]
        families.append((name, kind, [g for g in carlson if g[0].startswith(prefix)]))

    out = [
        "// Reference values of the complete elliptic integrals K(m), E(m), Pi(n, m)",
        "// and of Carlson's R_F, R_C, R_D, R_J at double arguments, grouped by regime.",
        "// Each value is mpmath's at 50 digits, rounded once (principal values: real part).",
        "// Generated by tools/generate_elliptic_reference.py; do not edit.",
        "// Regenerate with: python3 tools/generate_elliptic_reference.py",
        "#pragma once",
        "",
        "#include <ostream>",
        "#include <span>",
        "",
        "namespace caustiqa::testing::reference {",
        "",
        ROW_TYPES,
    ]
    for family, kind, groups in families:
        for ident, label, _, rows in groups:
            out.append(f"// {label}.")
            out.append(f"inline constexpr {kind} {ident}_rows[] = {{")
            for row in rows:
                out.append("    {" + ", ".join(repr(as_float(v)) for v in row) + "},")
            out.append("};")
            out.append("")
        out.append(f"inline constexpr Group<{kind}> {family}[] = {{")
        for ident, label, _, _ in groups:
            out.append(f'    {{"{ident}", "{label}", {ident}_rows}},')
        out.append("};")
        out.append("")
    out.append("// clang-format on")
    out.append("")
    out.append("} // namespace caustiqa::testing::reference")
    return "\n".join(out) + "\n"


def main():
    return header_output.main(__doc__, HEADER, render)


if __name__ == "__main__":
    sys.exit(main())
