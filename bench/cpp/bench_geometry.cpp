// Throughput of the exact geometry: orient2d on inputs that its floating-point
// stage decides and on inputs that need the exact stages, the point-in-ring
// test, and the distance test. Prints nanoseconds per call.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DORBISK_BUILD_BENCH=ON
//   cmake --build build/bench -j2 && build/bench/bench_geometry
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "engine/query/circle.hpp"
#include "engine/query/orient2d.hpp"
#include "engine/query/polygon.hpp"

using namespace orbisk;

namespace {

struct Triple {
    double ax, ay, bx, by, cx, cy;
};

double plain_det(const Triple& t) { return (t.ax - t.cx) * (t.by - t.cy) - (t.ay - t.cy) * (t.bx - t.cx); }

// Best of five rounds, in nanoseconds per item.
double time_per_item(std::size_t items, const std::function<double()>& round) {
    double best = 1e300;
    volatile double sink = 0;
    for (int r = 0; r < 5; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        sink = sink + round();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(items));
    }
    return best;
}

double run_orient(const std::vector<Triple>& ts) {
    double s = 0;
    for (const Triple& t : ts) s += orient2d(t.ax, t.ay, t.bx, t.by, t.cx, t.cy) > 0;
    return s;
}

double run_plain(const std::vector<Triple>& ts) {
    double s = 0;
    for (const Triple& t : ts) s += plain_det(t) > 0;
    return s;
}

}  // namespace

int main() {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> lon(-180, 180), lat(-90, 90), unit(0, 1);
    const std::size_t n = 1 << 20;

    std::vector<Triple> random_triples, hair, collinear_exact, huge;
    for (std::size_t i = 0; i < n; ++i) {
        random_triples.push_back({lon(rng), lat(rng), lon(rng), lat(rng), lon(rng), lat(rng)});
        // A point on a long edge, rounded: stage A cannot decide, the differences are inexact.
        const double ax = lon(rng), ay = lat(rng), bx = lon(rng), by = lat(rng), t = unit(rng);
        hair.push_back({ax, ay, bx, by, ax + t * (bx - ax), ay + t * (by - ay)});
        // Collinear on a fine grid of nearby points: exact differences, decided by stage B.
        const double x0 = std::round(lon(rng)), y0 = std::round(lat(rng));
        const double dx = std::ldexp(static_cast<double>(rng() % 64), -40),
                     dy = std::ldexp(static_cast<double>(rng() % 64), -40);
        const double k1 = static_cast<double>(rng() % 16) + 1, k2 = static_cast<double>(rng() % 16) + 17;
        collinear_exact.push_back({x0, y0, x0 + k2 * dx, y0 + k2 * dy, x0 + k1 * dx, y0 + k1 * dy});
        const double s = std::ldexp(1.0, 600);
        huge.push_back({ax * s, ay * s, bx * s, by * s, hair.back().cx * s, hair.back().cy * s});
    }

    std::printf("orient2d, ns per call (best of 5 rounds over %zu triples)\n", n);
    std::printf("  plain determinant, random points      %7.2f\n",
                time_per_item(n, [&] { return run_plain(random_triples); }));
    std::printf("  orient2d, random points (stage A)     %7.2f\n",
                time_per_item(n, [&] { return run_orient(random_triples); }));
    std::printf("  orient2d, collinear, exact diffs (B)  %7.2f\n",
                time_per_item(n, [&] { return run_orient(collinear_exact); }));
    std::printf("  orient2d, on long edges (stage C)     %7.2f\n", time_per_item(n, [&] { return run_orient(hair); }));
    std::printf("  orient2d, same scaled by 2^600 (wide) %7.2f\n", time_per_item(n, [&] { return run_orient(huge); }));

    // An irregular 12-vertex ring, and points over its bounds: random ones, and
    // ones on a 0.25-degree grid, many of them on its edges and vertices.
    std::vector<Vertex> ring;
    for (int k = 0; k < 12; ++k) {
        const double a = 2 * 3.141592653589793 * k / 12, r = (k % 2 ? 4.0 : 9.0);
        ring.push_back({std::round(10 + r * std::cos(a)), std::round(45 + r * std::sin(a))});
    }
    const Polygon polygon(ring);
    std::vector<Vertex> random_points, grid_points;
    for (std::size_t i = 0; i < n; ++i) {
        random_points.push_back({1 + 18 * unit(rng), 36 + 18 * unit(rng)});
        grid_points.push_back(
            {1 + 0.25 * static_cast<double>(rng() % 73), 36 + 0.25 * static_cast<double>(rng() % 73)});
    }
    auto run_ring = [&](const std::vector<Vertex>& pts) {
        double s = 0;
        for (const Vertex& p : pts) s += point_in_ring(polygon.ring(), p.x, p.y) == RingLocation::Inside;
        return s;
    };
    std::printf("point in a 12-vertex ring, ns per point\n");
    std::printf("  random points                          %7.2f\n",
                time_per_item(n, [&] { return run_ring(random_points); }));
    std::printf("  grid points (edges, vertices)          %7.2f\n",
                time_per_item(n, [&] { return run_ring(grid_points); }));

    const Circle circle(45, 10, 50000);
    std::printf("distance test, ns per point               %7.2f\n", time_per_item(n, [&] {
                    double s = 0;
                    for (const Vertex& p : random_points) s += circle.within_distance(p.y, p.x);
                    return s;
                }));
    return 0;
}
