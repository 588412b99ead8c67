#!/usr/bin/env python3
"""Write reference values of the uniform-disc magnification.

A disc of radius rho whose centre lies at distance u from a point lens (both in
Einstein radii) is magnified by the closed form
    A = [ s q E(m)/rho^2 - d (8 + u^2 - rho^2) K(m)/(q rho^2)
          + 4 d^2 (1 + rho^2) Pi(n, m)/(s q rho^2) ] / (2 pi),
    s = u + rho, d = u - rho, q = sqrt(4 + d^2), n = 4 rho u / s^2, m = 4 n / q^2,
evaluated here with mpmath at 50 digits and accepted only when a second
evaluation at 80 digits agrees to 1e-35 relative (1e-22 in the far field
u >= 1000 rho, where the terms cancel to about (rho/u)^2 of their size). The
inputs are the doubles u and rho as stored; at u = rho, where d^2 Pi is a product of zero and infinity,
the limit (2/rho + (1 + rho^2)/rho^2 (pi/2 + asin((rho^2 - 1)/(rho^2 + 1))))/pi
is used.

The closed form is checked, for a selection of rows, against an independent
evaluation of its physical meaning: the mean of the point-source magnification
A_pt(x) = (x^2 + 2)/(x sqrt(x^2 + 4)) over the disc. In polar coordinates about
the lens the circle of radius x meets the disc in an arc of angle theta(x), so
    A = 1/(pi rho^2) ∫_0^{u+rho} theta(x) x A_pt(x) dx,
    theta(x) = 2 pi                                   for x <= rho - u,
    theta(x) = 2 acos((x^2 + u^2 - rho^2)/(2 x u))    for |u - rho| <= x <= u + rho,
whose integrand x A_pt(x) is smooth and bounded; the interval is cut where
theta has its square-root kinks. Far from the lens the argument of acos lies
within (rho/u)^2 of 1, so the quadrature is given two more digits per decade
of u/rho beyond 100.

Usage:
    python3 tools/generate_disc_reference.py            # rewrite the header
    python3 tools/generate_disc_reference.py --check    # compare, exit 1 on a difference
"""
import math
import pathlib
import sys

import mpmath as mp

import header_output

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / "tests" / "cpp" / "reference" / "disc_reference.h"

RHOS = [1e-7, 1e-5, 1e-3, 0.01, 0.1, 0.5, 1.0, 2.0, 5.0, 10.0]


def closed_form(u, rho, dps):
    with mp.workdps(dps):
        u, rho = mp.mpf(u), mp.mpf(rho)
        if u == rho:
            edge = mp.pi / 2 + mp.asin((rho**2 - 1) / (rho**2 + 1))
            return (2 / rho + (1 + rho**2) / rho**2 * edge) / mp.pi
        s, d = u + rho, u - rho
        q = mp.sqrt(4 + d * d)
        n = 4 * rho * u / (s * s)
        m = 4 * n / (q * q)
        total = (s * q * mp.ellipe(m) / rho**2
                 - d * (8 + u * u - rho * rho) * mp.ellipk(m) / (q * rho**2)
                 + 4 * d * d * (1 + rho**2) * mp.ellippi(n, m) / (s * q * rho**2))
        return total / (2 * mp.pi)


def disc_mean(u, rho, dps):
    with mp.workdps(dps):
        u, rho = mp.mpf(u), mp.mpf(rho)

        def weighted(x):  # x A_pt(x)
            return (x * x + 2) / mp.sqrt(x * x + 4)

        def arc(x):
            c = (x * x + u * u - rho * rho) / (2 * x * u)
            return 2 * mp.acos(max(-1, min(1, c)))

        total = mp.mpf(0)
        if u < rho:
            total += 2 * mp.pi * mp.quad(weighted, [0, rho - u])
        if u > 0:
            total += mp.quad(lambda x: arc(x) * weighted(x), [abs(u - rho), u + rho])
        return total / (mp.pi * rho * rho)


def far_field(u, rho):
    return u >= 1000 * rho


def reference(u, rho):
    coarse, fine = closed_form(u, rho, 50), closed_form(u, rho, 80)
    agreement = mp.mpf("1e-22") if far_field(u, rho) else mp.mpf("1e-35")
    if abs(coarse - fine) > agreement * abs(fine):
        sys.exit(f"closed form unstable for u={u!r} rho={rho!r}")
    return fine


def verify(rows):
    """Disc mean against the closed form for every fourth row and every u = rho.

    Returns the worst relative gap."""
    worst = mp.mpf(0)
    for u, rho in [row for i, row in enumerate(rows) if i % 4 == 0 or row[0] == row[1]]:
        extra = 2 * math.ceil(math.log10(u / rho / 100)) if u > 100 * rho else 0
        closed, mean = reference(u, rho), disc_mean(u, rho, 40 + extra)
        gap = abs(closed - mean) / abs(closed)
        if gap > mp.mpf("1e-25"):
            sys.exit(f"disc mean {mean} differs from closed form {closed} at u={u!r} rho={rho!r}")
        worst = max(worst, gap)
    return worst


def general_cases():
    ratios = [0.0, 0.01, 0.1, 0.3, 0.5, 0.8, 0.9, 0.99, 0.998, 0.9989, 1.0011, 1.002, 1.01,
              1.1, 1.5, 2.0, 3.0, 5.0, 10.0, 30.0, 100.0, 300.0, 999.0]
    return [(t * rho, rho) for rho in RHOS for t in ratios]


def edge_band_cases():
    offsets = [1e-7, 1e-4, 5e-4, 9.99e-4]
    return [(rho, rho) for rho in RHOS] + [
        ((1 + sign * f) * rho, rho) for rho in RHOS for f in offsets for sign in (1, -1)]


def small_disc_cases():
    ratios = [0.5, 0.9, 0.99, 0.9985, 1.0015, 1.01]
    return [(t * rho, rho) for rho in [1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2] for t in ratios]


def far_field_cases():
    """l = u / rho from 1e3 (where the far-field branch starts) to 1e12."""
    ratios = [1e3, 1.5e3, 3e3, 1e4, 3.16e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12]
    return [(t * rho, rho) for rho in RHOS for t in ratios]


def band_limit_cases():
    """Pairs where |u - rho| equals 0.001 * rho exactly in double arithmetic."""
    cases = []
    for start in [3e-6, 2e-4, 0.05, 0.5, 1.0, 7.0]:
        rho, found = start, 0
        while found < 2:
            tol = 0.001 * rho
            for u in (rho + tol, rho - tol):
                if abs(u - rho) == tol and found < 2:
                    cases.append((u, rho))
                    found += 1
            rho = math.nextafter(rho, math.inf)
    return cases


GROUPS = [
    ("general_branch", "u/rho from 0 to 999 outside the edge band, rho from 1e-7 to 10.",
     general_cases),
    ("edge_band", "Inside the edge band: u = rho, then |u - rho| from 1e-7 rho to 9.99e-4 rho.",
     edge_band_cases),
    ("small_discs", "Small discs near their edge: rho from 1e-7 to 1e-2, u/rho from 0.5 to 1.01.",
     small_disc_cases),
    ("band_limit", "|u - rho| exactly equal to the band half-width 0.001 rho.", band_limit_cases),
    ("far_field", "Far field: u/rho from 1e3 to 1e12, rho from 1e-7 to 10.", far_field_cases),
]


def render():
    out = [
        "// Reference values of the uniform-disc magnification: the closed form in E, K",
        "// and Pi at high precision, checked against the disc mean of the point-lens",
        "// magnification. Generated by tools/generate_disc_reference.py; do not edit.",
        "// Regenerate with: python3 tools/generate_disc_reference.py",
        "#pragma once",
        "",
        "namespace caustiqa::testing::disc {",
        "",
        "// Separation u of the disc centre from the lens and disc radius rho, in",
        "// Einstein radii, and the magnification.",
        "struct Reference {",
        "    double u, rho, magnification;",
        "};",
    ]
    every = []
    for name, label, cases in GROUPS:
        rows = cases()
        every += rows
        out += ["", f"// {label}", f"inline constexpr Reference {name}[] = {{"]
        out += [f"    {{{u!r}, {rho!r}, {float(reference(u, rho))!r}}}," for u, rho in rows]
        out.append("};")
    out += ["", "} // namespace caustiqa::testing::disc", ""]
    print(f"disc mean agrees with the closed form to {mp.nstr(verify(every), 3)}", file=sys.stderr)
    return "\n".join(out)


def main():
    return header_output.main(__doc__, HEADER, render)


if __name__ == "__main__":
    sys.exit(main())
