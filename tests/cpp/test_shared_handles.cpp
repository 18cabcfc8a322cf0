// Threads through one Database, and two Databases on one store, mixing every
// operation: the run that ThreadSanitizer watches (scripts/sanitize.sh). Each
// thread owns the points it inserts, so that it knows which must be there.
#include <atomic>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "temp_dir.hpp"
#include "engine/database.hpp"
#include "engine/query/metadata_scan.hpp"
#include "engine/util/text.hpp"

using namespace orbisk;

namespace {

FilterExpr owned_by(std::uint64_t t) { return FilterExpr::compare("t", CompareOp::Eq, t); }

// Inserts, batches, deletes and reads of one thread's points, then checks that
// exactly the points it kept are there. Returns the number of failed checks.
int run_thread(Database& db, std::uint64_t t, int ops, bool compacts) {
    std::mt19937_64 rng(t + 17);
    std::set<std::uint64_t> kept;  // the "n" of this thread's live points
    std::uint64_t next = 0;
    int failed = 0;
    auto text = [&](std::uint64_t n) { return cat("{\"n\":", n, ",\"t\":", t, "}"); };
    for (int i = 0; i < ops; ++i) {
        const double lat = double(rng() % 1000) / 20.0 - 25.0, lon = double(rng() % 1000) / 10.0 - 50.0;
        switch (rng() % 8) {
            case 0:
            case 1:
                if (db.insert(lat, lon, text(next))) kept.insert(next);
                ++next;
                break;
            case 2: {
                PointBatch batch;
                const std::uint64_t k = 1 + rng() % 20;
                for (std::uint64_t j = 0; j < k; ++j) batch.add(lat, lon + double(j) / 100.0, text(next + j));
                if (db.insert_batch(batch))
                    for (std::uint64_t j = 0; j < k; ++j) kept.insert(next + j);
                next += k;
                break;
            }
            case 3:
                if (!kept.empty()) {
                    const std::uint64_t n = *kept.begin();
                    auto filter = FilterExpr::group(FilterExpr::Kind::And,
                                                    {owned_by(t), FilterExpr::compare("n", CompareOp::Eq, n)});
                    auto r = db.delete_by_metadata(filter);
                    failed += !(r && *r == 1);
                    kept.erase(n);
                }
                break;
            case 4: {
                auto r = db.spatial_query(Circle(0.0, 0.0, 4.0e6), nullptr);
                failed += !r;
                break;
            }
            case 5: {
                auto r = db.spatial_query(GeoBox{-90, -180, 90, 180}, nullptr);
                failed += !r;
                break;
            }
            case 6:
                if (compacts && rng() % 8 == 0)
                    failed += !db.compact();
                else
                    failed += !db.live_count();
                break;
            default: {
                auto r = db.metadata_scan(owned_by(t), kNoLimit);
                if (!r) {
                    ++failed;
                    break;
                }
                // Only this thread writes its points: all of them, nothing else.
                std::set<std::uint64_t> seen;
                for (const PointRecord& rec : *r) {
                    const MetadataValue* n = rec.metadata.find("n");
                    const auto* v = n ? std::get_if<std::uint64_t>(&n->v) : nullptr;
                    failed += !v;
                    if (v) seen.insert(*v);
                }
                failed += seen != kept;
            }
        }
    }
    return failed;
}

}  // namespace

TEST_CASE("shared handles: threads on one handle and a second handle on the store keep every thread's points") {
    TempDir dir;
    auto a = Database::open(dir.path + "/geo.db", 16, 1000000);
    auto b = Database::open(dir.path + "/geo.db", 16, 1000000);
    REQUIRE(a.has_value() && b.has_value());
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (std::uint64_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] { failed += run_thread(t < 3 ? **a : **b, t, 400, t == 0 || t == 3); });
    for (auto& th : threads) th.join();
    CHECK_EQ(failed.load(), 0);
    // Both handles and a fresh open agree on the store.
    auto c = Database::open(dir.path + "/geo.db", 16, 0);
    REQUIRE(c.has_value());
    const auto n = (*c)->live_count();
    REQUIRE(n.has_value());
    for (Database* d : {a->get(), b->get()}) {
        const auto m = d->live_count();
        REQUIRE(m.has_value());
        CHECK_EQ(*m, *n);
    }
}
