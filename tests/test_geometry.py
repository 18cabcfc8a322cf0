"""The polygon test's geometry against exact rational arithmetic.

The orientation predicate and the point-in-ring test are reached through the
test-only probe module; the oracles below compute with Fractions, which hold
every finite double exactly.
"""

import math
import random
from fractions import Fraction as F

import pytest


def sign(v):
    return (v > 0) - (v < 0)


def exact_orient(ax, ay, bx, by, cx, cy):
    return sign((F(ax) - F(cx)) * (F(by) - F(cy)) - (F(ay) - F(cy)) * (F(bx) - F(cx)))


def naive_orient(ax, ay, bx, by, cx, cy):
    return sign((ax - cx) * (by - cy) - (ay - cy) * (bx - cx))


def nudge(v, steps):
    """v moved by `steps` units in the last place."""
    toward = math.inf if steps > 0 else -math.inf
    for _ in range(abs(steps)):
        v = math.nextafter(v, toward)
    return v


def check_orientations(probe, triples):
    """Every triple's orient2d sign is the exact one; returns how many the
    plain floating-point determinant gets wrong."""
    naive_wrong = 0
    for t in triples:
        want = exact_orient(*t)
        assert sign(probe.orient2d(*t)) == want, t
        naive_wrong += naive_orient(*t) != want
    return naive_wrong


def test_orient2d_is_exact_on_random_and_nearly_degenerate_inputs(probe):
    rng = random.Random(20240611)
    triples = []
    # Ordinary inputs, degrees and far beyond.
    for _ in range(2000):
        scale = rng.choice([1.0, 180.0, 1e6])
        triples.append(tuple(rng.uniform(-scale, scale) for _ in range(6)))
    # Points on long edges, rounded to doubles and then moved a few ulps.
    hair = []
    for _ in range(1500):
        ax, ay = rng.uniform(-180, 180), rng.uniform(-90, 90)
        bx, by = rng.uniform(-180, 180), rng.uniform(-90, 90)
        t = rng.random()
        cx, cy = ax + t * (bx - ax), ay + t * (by - ay)
        dx, dy = rng.randint(-3, 3), rng.randint(-3, 3)
        hair.append((ax, ay, bx, by, nudge(cx, dx), nudge(cy, dy)))
    check_orientations(probe, triples)
    # The floating-point determinant alone gets some of the hair cases wrong.
    assert check_orientations(probe, hair) > 0


@pytest.mark.parametrize(
    "origin, step",
    [
        (1e15, 1.0),  # large coordinates, integer steps
        (123.25, 2.0**-40),  # degrees with steps far below a metre
        (2.0**600, 2.0**560),  # beyond the range where products stay exact
        (2.0**-600, 2.0**-640),
        (0.0, 5e-324),  # subnormal steps
        (2.0**1000, 2.0**960),
    ],
)
def test_orient2d_on_collinear_triples_and_their_neighbours(probe, origin, step):
    rng = random.Random(f"{origin}/{step}")
    triples = []
    for _ in range(200):
        p, q = rng.randint(-50, 50), rng.randint(-50, 50)
        k1, k2, k3 = rng.sample(range(-20, 21), 3)
        pts = [(origin + k * p * step, -origin + k * q * step) for k in (k1, k2, k3)]
        flat = tuple(c for pt in pts for c in pt)
        triples.append(flat)
        # The same triple with one coordinate one ulp away.
        i = rng.randrange(6)
        moved = list(flat)
        moved[i] = nudge(moved[i], rng.choice([-1, 1]))
        triples.append(tuple(moved))
    # The unmoved triples are exactly collinear: the steps add without rounding.
    assert all(exact_orient(*t) == 0 for t in triples[::2])
    check_orientations(probe, triples)


def test_orient2d_mixes_huge_and_tiny_magnitudes(probe):
    rng = random.Random(77)
    magnitudes = [0.0, 5e-324, 1e-310, 2.0**-460, 1e-5, 1.0, 1e10, 2.0**460, 1e300, 1.7e308]
    triples = [tuple(rng.choice([-1, 1]) * rng.choice(magnitudes) for _ in range(6)) for _ in range(3000)]
    check_orientations(probe, triples)


def test_orient2d_non_finite_inputs_give_the_plain_determinant(probe):
    nan, inf = math.nan, math.inf
    assert math.isnan(probe.orient2d(nan, 0, 1, 1, 2, 2))
    assert math.isnan(probe.orient2d(inf, 0, inf, 1, 2, 2))
    assert probe.orient2d(0, -inf, 0, inf, 5, 5) < 0  # right of the upward y axis
    assert probe.orient2d(0, -inf, 0, inf, -5, 5) > 0


# ---- point in ring ----------------------------------------------------------


def closed(vertices):
    """The ring a polygon query makes of a vertex list."""
    ring = list(vertices)
    if ring and not (ring[0][0] == ring[-1][0] and ring[0][1] == ring[-1][1]):
        ring.append(ring[0])
    return ring


def oracle_location(vertices, x, y):
    """Winding number by exact crossings of the ray from (x, y) towards +x;
    edges with a NaN coordinate count for nothing."""
    ring = closed(vertices)
    if len(ring) == 1:
        return "boundary" if (x, y) == ring[0] else "outside"
    X, Y = F(x), F(y)
    winding = 0
    for (ax, ay), (bx, by) in zip(ring, ring[1:]):
        if any(math.isnan(v) for v in (ax, ay, bx, by)):
            continue
        A, B = (F(ax), F(ay)), (F(bx), F(by))
        cross = (B[0] - A[0]) * (Y - A[1]) - (B[1] - A[1]) * (X - A[0])
        if cross == 0 and min(A[0], B[0]) <= X <= max(A[0], B[0]) and min(A[1], B[1]) <= Y <= max(A[1], B[1]):
            return "boundary"
        if A[1] <= Y < B[1] or B[1] <= Y < A[1]:
            xi = A[0] + (Y - A[1]) * (B[0] - A[0]) / (B[1] - A[1])
            if xi > X:
                winding += 1 if A[1] < B[1] else -1
    return "inside" if winding else "outside"


def star(rng, n, cx, cy, rmin, rmax, snap=None):
    """A concave star: n vertices at increasing angles and random radii."""
    angles = sorted(rng.uniform(0, 2 * math.pi) for _ in range(n))
    pts = []
    for a in angles:
        r = rng.uniform(rmin, rmax)
        x, y = cx + r * math.cos(a), cy + r * math.sin(a)
        if snap:
            x, y = round(x / snap) * snap, round(y / snap) * snap
        pts.append((x, y))
    return pts


def probe_points(rng, ring, count):
    """Points that try the ring: its vertices, points on and a hair off its
    edges, grid points and random ones around it."""
    ring = closed(ring)
    finite = [v for v in ring if not any(math.isnan(c) for c in v)] or [(0.0, 0.0)]
    xs, ys = [v[0] for v in finite], [v[1] for v in finite]
    pts = list(finite)
    for (ax, ay), (bx, by) in zip(ring, ring[1:]):
        t = rng.random()
        px, py = ax + t * (bx - ax), ay + t * (by - ay)
        if not (math.isnan(px) or math.isnan(py)):
            pts.append((px, py))
            pts.append((nudge(px, rng.choice([-1, 1])), py))
            pts.append((px, nudge(py, rng.choice([-1, 1]))))
        pts.append(((ax + bx) / 2, (ay + by) / 2))
    for _ in range(count):
        pts.append((rng.uniform(min(xs) - 1, max(xs) + 1), rng.uniform(min(ys) - 1, max(ys) + 1)))
        pts.append((float(round(rng.uniform(min(xs), max(xs)))), float(round(rng.uniform(min(ys), max(ys))))))
    return [p for p in pts if not (math.isnan(p[0]) or math.isnan(p[1]))]


def test_point_in_ring_matches_the_exact_winding_number(probe):
    rng = random.Random(424242)
    # A pentagram: its centre has winding number 2, so it is inside.
    pentagram = [(math.cos(4 * math.pi * k / 5) * 5, math.sin(4 * math.pi * k / 5) * 5) for k in range(5)]
    rings = [
        # Concave stars, some on an integer grid where vertices, edges and test
        # points line up exactly.
        *(star(rng, rng.randint(5, 14), 10, 45, 1, 8) for _ in range(40)),
        *(star(rng, rng.randint(5, 14), 0, 0, 2, 9, snap=1.0) for _ in range(40)),
        # Self-intersecting: random vertex order, on the grid and off it.
        *(
            [(float(rng.randint(-6, 6)), float(rng.randint(-6, 6))) for _ in range(rng.randint(4, 9))]
            for _ in range(40)
        ),
        *([(rng.uniform(-170, 170), rng.uniform(-80, 80)) for _ in range(rng.randint(4, 9))] for _ in range(40)),
        pentagram,
        # Degenerate rings.
        [],
        [(1.0, 2.0)],
        [(1.0, 2.0), (1.0, 2.0)],
        [(0.0, 0.0), (4.0, 0.0)],
        [(0.0, 0.0), (4.0, 0.0), (4.0, 0.0), (4.0, 4.0), (0.0, 4.0), (0.0, 0.0), (0.0, 0.0)],
    ]
    # Rings with a NaN coordinate somewhere, including the first vertex.
    for _ in range(12):
        ring = star(rng, 8, 0, 0, 2, 9, snap=1.0)
        i = rng.choice([0, rng.randrange(len(ring))])
        ring[i] = (math.nan, ring[i][1]) if rng.random() < 0.5 else (ring[i][0], math.nan)
        rings.append(ring)

    seen = {"inside": 0, "outside": 0, "boundary": 0}
    for ring in rings:
        has_nan = any(math.isnan(c) for v in ring for c in v)
        for x, y in probe_points(rng, ring, 12):
            got = probe.ring_location(ring, x, y)
            # Leaving the ring open or closing it gives the same answer.
            assert probe.ring_location(closed(ring), x, y) == got
            # A vertex is found on the edge that ends there; when that edge has
            # a NaN end it counts for nothing, so such a vertex has no oracle.
            if has_nan and (x, y) in ring:
                continue
            assert got == oracle_location(ring, x, y), (ring, x, y)
            seen[got] += 1
    assert min(seen.values()) > 200, seen
    assert probe.ring_location(pentagram, 0.0, 0.0) == "inside"


def test_point_in_ring_a_hair_off_a_long_edge(probe):
    # A thin sliver along a long diagonal: points one ulp either side of the
    # diagonal, where the plain determinant often has the wrong sign or zero.
    rng = random.Random(5)
    a, b = (-179.123456789, -89.1), (179.987654321, 88.7)
    ring = [a, b, (179.987654321, -89.1)]
    naive_wrong = 0
    for _ in range(400):
        t = rng.random()
        x, y = a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1])
        for px, py in ((nudge(x, 1), y), (nudge(x, -1), y), (x, nudge(y, 1)), (x, nudge(y, -1)), (x, y)):
            assert probe.ring_location(ring, px, py) == oracle_location(ring, px, py)
            naive_wrong += naive_orient(*a, *b, px, py) != exact_orient(*a, *b, px, py)
    assert naive_wrong > 0
