// The spatial queries' geometry that pytest cannot reach yet: the box test, the
// distance test and the radius search box against a long-double haversine
// oracle, and the grid route against a brute-force pass over every slot.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "temp_dir.hpp"
#include "engine/index/grid_index.hpp"
#include "engine/query/circle.hpp"
#include "engine/query/geo_box.hpp"
#include "engine/query/grid_route.hpp"
#include "engine/query/polygon.hpp"
#include "engine/storage/storage.hpp"

using namespace orbisk;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr long double kPiL = 3.141592653589793238462643383279502884L;
constexpr long double kRadL = kPiL / 180.0L;

// Great-circle distance in metres, in long double: about three more decimal
// digits than the distance test has.
long double oracle_distance(double lat1, double lon1, double lat2, double lon2) {
    const long double s1 = std::sin((static_cast<long double>(lat2) - lat1) * kRadL / 2);
    const long double s2 = std::sin((static_cast<long double>(lon2) - lon1) * kRadL / 2);
    const long double a = s1 * s1 + std::cos(lat1 * kRadL) * std::cos(lat2 * kRadL) * s2 * s2;
    return 2 * std::atan2(std::sqrt(a), std::sqrt(std::max(0.0L, 1 - a))) * 6371000.0L;
}

struct LatLon {
    double lat;
    double lon;
};

// The point `meters` away from (lat, lon) along the initial bearing `bearing`
// (degrees from north), rounded to doubles, longitude within [-180, 180].
LatLon destination(double lat, double lon, long double meters, long double bearing) {
    const long double d = meters / 6371000.0L, t = bearing * kRadL, p1 = lat * kRadL;
    const long double p2 = std::asin(std::sin(p1) * std::cos(d) + std::cos(p1) * std::sin(d) * std::cos(t));
    long double l2 =
        lon * kRadL + std::atan2(std::sin(t) * std::sin(d) * std::cos(p1), std::cos(d) - std::sin(p1) * std::sin(p2));
    l2 = std::remainder(l2, 2 * kPiL);
    return {static_cast<double>(p2 / kRadL), std::clamp(static_cast<double>(l2 / kRadL), -180.0, 180.0)};
}

bool in_globe(double lat, double lon) { return std::fabs(lat) <= 90.0 && std::fabs(lon) <= 180.0; }

// A point the distance test accepts lies in the search box.
bool box_holds(const Circle& c, double lat, double lon) {
    if (!c.within_distance(lat, lon)) return true;
    return c.search_box() && c.search_box()->contains(lat, lon);
}

}  // namespace

TEST_CASE("box test: inclusive bounds, antimeridian boxes, inverted and NaN bounds") {
    struct Row {
        GeoBox box;
        double lat, lon;
        bool in;
    };
    const Row rows[] = {
        {{-10, -20, 10, 20}, -10, -20, true},  // corners and edges are inside
        {{-10, -20, 10, 20}, 10, 20, true},
        {{-10, -20, 10, 20}, 0, 20, true},
        {{-10, -20, 10, 20}, 10.000000000000002, 0, false},
        {{-10, -20, 10, 20}, 0, -20.000000000000004, false},
        {{-10, 170, 10, -170}, 0, 170, true},  // across the antimeridian
        {{-10, 170, 10, -170}, 0, 180, true},
        {{-10, 170, 10, -170}, 0, -180, true},
        {{-10, 170, 10, -170}, 5, -170, true},
        {{-10, 170, 10, -170}, 0, 0, false},
        {{-10, 170, 10, -170}, 0, 169.9, false},
        {{-10, 170, 10, -170}, 11, 175, false},
        {{-10, 5, 10, 4.5}, 0, 100, true},  // wrapped within one degree: all but a sliver
        {{-10, 5, 10, 4.5}, 0, 4.7, false},
        {{10, -20, -10, 20}, 0, 0, false},  // inverted latitudes match nothing
        {{kNaN, -20, 10, 20}, 0, 0, false},
        {{-10, kNaN, 10, 20}, 0, 0, false},
        {{-10, -20, 10, kNaN}, 0, 0, false},
        {{-kInf, -kInf, kInf, kInf}, -90, 180, true},
    };
    for (const Row& r : rows) {
        if (r.box.contains(r.lat, r.lon) != r.in)
            check::report(__FILE__, __LINE__,
                          "box (" + std::to_string(r.box.min_lat) + ", " + std::to_string(r.box.min_lon) + ", " +
                              std::to_string(r.box.max_lat) + ", " + std::to_string(r.box.max_lon) + ") point " +
                              std::to_string(r.lat) + ", " + std::to_string(r.lon));
    }
}

TEST_CASE("distance test: points just inside and just outside at every compass direction") {
    const LatLon centres[] = {{0, 0},           {45.5, 10.25}, {-33.9, 151.2}, {89.9, 0},    {-89.99, 123},
                              {89.9999999, 45}, {90, 0},       {-90, 0},       {10, 179.99}, {-20, -179.995},
                              {0, 180},         {0, -180},     {60, 180},      {-75, -180}};
    const double radii[] = {0.5, 1000, 50000, 1e6, 5e6, 1.5e7};
    int inside = 0, outside = 0;
    for (const LatLon& c : centres) {
        for (double r : radii) {
            const Circle circle(c.lat, c.lon, r);
            for (int k = 0; k < 16; ++k) {
                const long double bearing = 22.5L * k;
                for (long double side : {-1.0L, 1.0L}) {
                    const LatLon p = destination(c.lat, c.lon, r + side * (1e-7L * r + 1e-5L), bearing);
                    const long double d = oracle_distance(c.lat, c.lon, p.lat, p.lon);
                    const long double tol = 1e-9L * r + 1e-6L;
                    if (d < r - tol) {
                        ++inside;
                        if (!circle.within_distance(p.lat, p.lon) || !box_holds(circle, p.lat, p.lon))
                            check::report(__FILE__, __LINE__,
                                          "inside point lost: centre " + std::to_string(c.lat) + "," +
                                              std::to_string(c.lon) + " r " + std::to_string(r) + " bearing " +
                                              std::to_string(static_cast<double>(bearing)));
                    } else if (d > r + tol) {
                        ++outside;
                        if (circle.within_distance(p.lat, p.lon))
                            check::report(__FILE__, __LINE__,
                                          "outside point taken: centre " + std::to_string(c.lat) + "," +
                                              std::to_string(c.lon) + " r " + std::to_string(r) + " bearing " +
                                              std::to_string(static_cast<double>(bearing)));
                    }
                }
            }
        }
    }
    CHECK(inside > 1300);
    CHECK(outside > 1300);

    // Due north of the centre, a point within the radius lies further than
    // r / 111320 degrees away, and the search box still holds it.
    const Circle c(0, 0, 50000);
    const LatLon north = destination(0, 0, 49999.9L, 0);
    CHECK(north.lat > 50000 / 111320.0);
    CHECK(c.within_distance(north.lat, north.lon));
    CHECK(c.search_box()->contains(north.lat, north.lon));
}

TEST_CASE("radius search box holds every point the distance test accepts") {
    std::mt19937_64 rng(0x5eed2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto pick_lat = [&]() -> double {
        switch (rng() % 6) {
            case 0:
                return 90.0 - std::pow(10.0, -8 * unit(rng));  // near the north pole
            case 1:
                return -90.0 + std::pow(10.0, -8 * unit(rng));
            case 2:
                return (rng() % 2) ? 90.0 : -90.0;
            case 3:
                return (rng() % 20 == 0) ? (unit(rng) - 0.5) * 1e4 : (unit(rng) - 0.5) * 178;  // some beyond the poles
            default:
                return (unit(rng) - 0.5) * 180;
        }
    };
    auto pick_lon = [&]() -> double {
        switch (rng() % 5) {
            case 0:
                return 180.0 - std::pow(10.0, -8 * unit(rng));
            case 1:
                return -180.0 + std::pow(10.0, -8 * unit(rng));
            case 2:
                return (rng() % 2) ? 180.0 : -180.0;
            case 3:
                return (rng() % 10 == 0) ? (unit(rng) - 0.5) * 1e4 : (unit(rng) - 0.5) * 360;
            default:
                return (unit(rng) - 0.5) * 360;
        }
    };
    auto pick_radius = [&]() -> double {
        switch (rng() % 12) {
            case 0:
                return 0.0;
            case 1:
                return kInf;
            case 2:
                return 1e300;
            case 3:
                return 2.0e7;  // nearly half the circumference
            default:
                return std::pow(10.0, -3 + 10.5 * unit(rng));  // 1 mm to 30000 km
        }
    };

    int accepted = 0, edge_checks = 0;
    for (int iter = 0; iter < 3000; ++iter) {
        const double clat = pick_lat(), clon = pick_lon(), r = pick_radius();
        const Circle circle(clat, clon, r);
        REQUIRE(circle.search_box().has_value());
        const GeoBox box = *circle.search_box();

        std::vector<LatLon> pts;
        // Around the edge of the circle, on the antimeridian, and anywhere.
        for (int k = 0; k < 40; ++k) {
            const long double d = std::min<long double>(r, 2.1e7L) * (1 + (unit(rng) - 0.5) * 2e-6);
            pts.push_back(destination(std::clamp(clat, -90.0, 90.0), std::remainder(clon, 360.0), d, 360 * unit(rng)));
        }
        for (int k = 0; k < 10; ++k) {
            const double lat = std::clamp(clat + (unit(rng) - 0.5) * 4 * (r / 111195.0), -90.0, 90.0);
            pts.push_back({lat, 180.0});
            pts.push_back({lat, -180.0});
            pts.push_back({(unit(rng) - 0.5) * 180, (unit(rng) - 0.5) * 360});
        }
        // One ulp beyond each finite edge of the box.
        auto inside_lat = [&]() {
            return std::clamp(box.min_lat + unit(rng) * (box.max_lat - box.min_lat), -90.0, 90.0);
        };
        if (std::isfinite(box.min_lon)) {
            pts.push_back({inside_lat(), std::nextafter(box.min_lon, -kInf)});
            pts.push_back({inside_lat(), std::nextafter(box.max_lon, kInf)});
            pts.push_back({clat, std::nextafter(box.min_lon, -kInf)});
            pts.push_back({clat, std::nextafter(box.max_lon, kInf)});
        }
        if (std::isfinite(box.min_lat)) {
            const double lon = std::isfinite(box.min_lon) ? clon : pick_lon();
            pts.push_back({std::nextafter(box.min_lat, -kInf), lon});
            pts.push_back({std::nextafter(box.max_lat, kInf), lon});
        }
        for (const LatLon& p : pts) {
            if (!in_globe(p.lat, p.lon)) continue;
            accepted += circle.within_distance(p.lat, p.lon);
            ++edge_checks;
            if (!box_holds(circle, p.lat, p.lon))
                check::report(__FILE__, __LINE__,
                              "point outside the search box accepted: centre " + std::to_string(clat) + "," +
                                  std::to_string(clon) + " r " + std::to_string(r) + " point " + std::to_string(p.lat) +
                                  "," + std::to_string(p.lon));
        }
    }
    CHECK(accepted > 20000);
    CHECK(edge_checks > 100000);
}

TEST_CASE("distance test: zero, negative, NaN, infinite radii and centres that match nothing") {
    // Radius 0: the centre only.
    const Circle zero(12.5, -45.25, 0.0);
    CHECK(zero.within_distance(12.5, -45.25));
    CHECK(!zero.within_distance(std::nextafter(12.5, 90.0), -45.25));
    CHECK(!zero.within_distance(12.5, std::nextafter(-45.25, 0.0)));
    CHECK(zero.search_box()->contains(12.5, -45.25));

    // Negative and NaN radii, and centres that are not finite: no point, no box.
    for (const Circle& c : {Circle(0, 0, -1.0), Circle(0, 0, -kInf), Circle(0, 0, kNaN), Circle(kNaN, 0, 1e6),
                            Circle(0, kInf, kInf), Circle(-kInf, 0, kInf)}) {
        CHECK(!c.search_box().has_value());
        CHECK(!c.within_distance(0, 0));
        CHECK(!c.within_distance(-90, 180));
    }

    // An infinite or huge radius takes everything, the antipode included.
    for (double r : {kInf, 1e300}) {
        const Circle c(10, 20, r);
        CHECK(c.within_distance(-10, -160));
        CHECK(c.within_distance(90, 0));
        CHECK(c.search_box()->contains(-90, -180));
    }

    // Nearly antipodal points where a rounds to just above 1: the point is
    // not lost, for an infinite radius or one of half the circumference.
    const double clat = 13.847, clon = -14.631, lat = -13.847, lon = 165.369;
    const double k = kDegToRad;
    const double h1 = std::sin((lat - clat) * k * 0.5), h2 = std::sin((lon - clon) * k * 0.5);
    CHECK(std::cos(lat * k) * std::cos(clat * k) * h2 * h2 + h1 * h1 > 1.0);  // the case still rounds above 1
    CHECK(Circle(clat, clon, kInf).within_distance(lat, lon));
    CHECK(Circle(clat, clon, std::numbers::pi * kEarthRadiusMeters).within_distance(lat, lon));
    CHECK(!Circle(clat, clon, 2.0e7).within_distance(lat, lon));
}

TEST_CASE("grid route: exact point test agrees with a brute-force pass over every slot") {
    TempDir dir;
    auto opened =
        Storage::open(OpenOptions{dir.path + "/geo.coords.mmap", dir.path + "/geo.metadata.mmap", 64, 0, false});
    REQUIRE(opened.has_value());
    Storage& storage = **opened;

    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<PendingPoint> points;
    for (int i = 0; i < 6000; ++i) {
        double lat, lon;
        switch (i % 5) {
            case 0:
                lat = std::round((unit(rng) - 0.5) * 40), lon = std::round((unit(rng) - 0.5) * 40);
                break;  // grid
            case 1:
                lat = 89.5 + unit(rng) * 0.5, lon = (unit(rng) - 0.5) * 360;
                break;  // polar cap
            case 2:
                lat = (unit(rng) - 0.5) * 20, lon = (rng() % 2 ? 180.0 : -180.0) - (unit(rng) - 0.5) * 2;
                break;
            default:
                lat = (unit(rng) - 0.5) * 180, lon = (unit(rng) - 0.5) * 360;
        }
        points.push_back({lat, std::clamp(lon, -180.0, 180.0), "{}"});
    }
    REQUIRE(!storage.write_points(points).has_value());

    // The grid still lists the slots deleted below, and slots the store never had.
    GridIndex grid = GridIndex::build(storage.records().collect_live_points());
    std::vector<std::uint64_t> doomed;
    for (std::uint64_t s = 0; s < points.size(); s += 7) doomed.push_back(s);
    REQUIRE(storage.delete_slots(doomed).has_value());
    for (std::uint64_t s = points.size(); s < points.size() + 50; ++s) REQUIRE(grid.insert(s, 0.0, 0.0).has_value());

    const RecordStore& records = storage.records();
    auto brute = [&](auto&& test) {
        std::vector<std::uint64_t> out;
        for (std::uint64_t s = 0; s < records.next_slot(); ++s)
            if (auto rec = records.read_live_record(s); rec && test(rec->lat, rec->lon)) out.push_back(s);
        return out;
    };
    auto run = [&](const SpatialShape& shape) {
        std::vector<std::uint64_t> got = grid_route_slots(grid, records, shape);
        std::sort(got.begin(), got.end());
        return got;
    };

    std::size_t matched = 0;
    for (int iter = 0; iter < 300; ++iter) {
        // Boxes, wrapped ones among them, with bounds often on grid points.
        double a = (unit(rng) - 0.5) * 200, b = (unit(rng) - 0.5) * 200;
        double lo = (unit(rng) - 0.5) * 400, hi = (unit(rng) - 0.5) * 400;
        if (iter % 3 == 0)
            a = std::round(a / 10), b = std::round(b / 10), lo = std::round(lo / 10), hi = std::round(hi / 10);
        const GeoBox box{std::min(a, b), lo, std::max(a, b), hi};
        const auto want_box = brute([&](double lat, double lon) { return box.contains(lat, lon); });
        CHECK(run(box) == want_box);

        // Circles near the poles and the antimeridian, some huge.
        const double clat = iter % 4 == 0 ? 89.9 : (unit(rng) - 0.5) * 180;
        const double clon = iter % 4 == 1 ? 179.9 : (unit(rng) - 0.5) * 360;
        const double r = std::pow(10.0, 3 + 4.5 * unit(rng));
        const Circle circle(clat, clon, r);
        const auto want_circle = brute([&](double lat, double lon) { return circle.within_distance(lat, lon); });
        CHECK(run(circle) == want_circle);

        // Polygons: random rings with vertices on grid points, self-intersecting ones included.
        std::vector<Vertex> ring;
        const double cx = std::round((unit(rng) - 0.5) * 30), cy = std::round((unit(rng) - 0.5) * 30);
        for (int v = 0, n = 3 + static_cast<int>(rng() % 8); v < n; ++v)
            ring.push_back({cx + std::round((unit(rng) - 0.5) * 30), cy + std::round((unit(rng) - 0.5) * 30)});
        const Polygon polygon(ring);
        const auto want_polygon = brute([&](double lat, double lon) { return polygon.contains(lat, lon); });
        CHECK(run(polygon) == want_polygon);

        matched += want_box.size() + want_circle.size() + want_polygon.size();
    }
    CHECK(matched > 100000);

    // Shapes that match nothing ask the grid for nothing.
    CHECK(grid_route_slots(grid, records, Circle(0, 0, kNaN)).empty());
    CHECK(grid_route_slots(grid, records, Polygon({})).empty());
    CHECK(grid_route_slots(grid, records, GeoBox{kNaN, -180, 90, 180}).empty());
    // A whole-globe box returns every live slot exactly once.
    CHECK(run(GeoBox{-90, -180, 90, 180}).size() == records.live_count());
}
