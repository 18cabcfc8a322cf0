// Index answers checked where Python cannot see them: each answer against a
// brute-force evaluation of the same condition, the declines, removal, and the
// rule that an index is built once per lifetime.
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/index/metadata_indexes.hpp"
#include "engine/index/numeric_index.hpp"
#include "engine/index/value_index.hpp"
#include "engine/query/filter.hpp"
#include "engine/storage/storage.hpp"

using namespace orbisk;

namespace {

// The set slots as "1,2,3", or "none" for a declined answer.
std::string slots(const std::optional<SlotBitmap>& b) {
    if (!b) return "none";
    std::string out;
    b->for_each_set([&](std::uint64_t s) { out += (out.empty() ? "" : ",") + std::to_string(s); });
    return out;
}

MetadataMap map_of(std::initializer_list<std::pair<const char*, MetadataValue>> entries) {
    MetadataMap m;
    for (const auto& [k, v] : entries) m.insert_or_assign(k, v);
    return m;
}

MetadataValue array_of(std::initializer_list<MetadataValue> items) { return MetadataArray(items); }

// A value of a small pool of every kind, so that conditions both match and miss.
MetadataValue random_value(std::mt19937_64& rng) {
    switch (rng() % 10) {
        case 0:
            return MetadataValue{};
        case 1:
            return rng() % 2 == 0;
        case 2:
            return std::uint64_t{rng() % 5};
        case 3:
            return -static_cast<std::int64_t>(1 + rng() % 3);
        case 4:
            return static_cast<double>(rng() % 9) / 2.0 - 1.0;  // -1.0 ... 3.0, with -0.0 nearby
        case 5:
            return -0.0;
        case 6:
            return std::string(1, static_cast<char>('a' + rng() % 4));
        case 7:
            return std::uint64_t{9223372036854775808ull + rng() % 2};
        case 8:
            return array_of({std::uint64_t{rng() % 3}});
        default:
            return MetadataObject{{"x", std::uint64_t{rng() % 2}}};
    }
}

}  // namespace

TEST_CASE("index answers equal a brute-force evaluation of the same condition") {
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 30; ++round) {
        const std::uint64_t n = 1 + rng() % 300;
        std::vector<std::optional<MetadataMap>> records(n);  // nothing: a slot never added (not live)
        NumericIndex numeric;
        ValueIndex value;
        value.set_universe(n);
        // Key "s" never holds an array, key "t" sometimes does.
        for (std::uint64_t s = 0; s < n; ++s) {
            if (rng() % 8 == 0) continue;
            MetadataMap m;
            if (rng() % 4) {
                MetadataValue v = random_value(rng);
                if (std::holds_alternative<MetadataArray>(v.v)) v = std::string("a");
                m.insert_or_assign("s", v);
            }
            if (rng() % 4) m.insert_or_assign("t", random_value(rng));
            numeric.add(s, m, n);
            value.add(s, m);
            records[s] = std::move(m);
        }
        for (int q = 0; q < 60; ++q) {
            const std::string key = rng() % 2 ? "s" : "t";
            const auto op = static_cast<CompareOp>(rng() % 8);
            MetadataValue operand = random_value(rng);
            if (op == CompareOp::In || op == CompareOp::Nin) operand = array_of({random_value(rng), random_value(rng)});
            const FilterExpr f = FilterExpr::compare(key, op, operand);
            const auto got = is_value_op(op) ? value.answer(key, op, operand) : numeric.answer(key, op, operand);
            if (!got) continue;  // a decline is always allowed; the declines are checked below
            for (std::uint64_t s = 0; s < n; ++s) {
                if (!records[s]) continue;
                const bool want = filter_matches(f, *records[s]);
                if (op == CompareOp::Nin)
                    CHECK(!want || got->test(s));  // a superset of the matches
                else if (got->test(s) != want)
                    check::report(__FILE__, __LINE__, "answer differs at slot " + std::to_string(s));
            }
        }
    }
}

TEST_CASE("numeric answers compare as doubles with -0.0 equal to 0.0") {
    NumericIndex idx;
    const MetadataValue values[] = {std::uint64_t{3}, std::uint64_t{5}, 7.5, std::int64_t{-2}, std::string("9"), -0.0};
    for (std::uint64_t s = 0; s < 6; ++s) idx.add(s, map_of({{"v", values[s]}}), 0);
    CHECK_EQ(slots(idx.answer("v", CompareOp::Gt, std::uint64_t{5})), "2");
    CHECK_EQ(slots(idx.answer("v", CompareOp::Gte, std::uint64_t{5})), "1,2");
    CHECK_EQ(slots(idx.answer("v", CompareOp::Lt, std::uint64_t{0})), "3");
    CHECK_EQ(slots(idx.answer("v", CompareOp::Lte, std::int64_t{-2})), "3");
    CHECK_EQ(slots(idx.answer("v", CompareOp::Gte, 0.0)), "0,1,2,5");
    CHECK_EQ(slots(idx.answer("v", CompareOp::Lte, 0.0)), "3,5");
    CHECK(!idx.answer("v", CompareOp::Gt, std::string("1")));
    CHECK(!idx.answer("w", CompareOp::Gt, std::uint64_t{1}));
    CHECK(value_code(-1e300) < value_code(-1.0) && value_code(-1.0) < value_code(0.0) &&
          value_code(0.0) < value_code(1e-300) && value_code(1.0) < value_code(INFINITY));
    idx.remove(2);
    CHECK_EQ(slots(idx.answer("v", CompareOp::Gt, std::uint64_t{3})), "1");
}

TEST_CASE("value answers: absent values, doubles, the distinct limit and array keys") {
    ValueIndex idx;
    idx.set_universe(4);
    idx.add(0, map_of({{"k", std::uint64_t{1}}, {"d", std::uint64_t{0}}}));
    idx.add(1, map_of({{"k", std::string("x")}, {"d", std::uint64_t{1}}}));
    idx.add(2, map_of({{"d", std::uint64_t{2}}}));
    CHECK_EQ(slots(idx.answer("k", CompareOp::Eq, std::string("zz"))), "");
    CHECK(!idx.answer("k", CompareOp::Eq, 1.5));
    // Ne covers every slot below the universe without the value, key or not.
    CHECK_EQ(slots(idx.answer("k", CompareOp::Ne, std::string("x"))), "0,2,3");
    CHECK(!idx.answer("k", CompareOp::In, array_of({std::uint64_t{1}, 2.5})));
    CHECK_EQ(slots(idx.answer("k", CompareOp::Nin, array_of({std::uint64_t{1}, 2.5}))), "1,2,3");

    // An array under "k" stops In and Nin on it, not Eq and Ne.
    idx.add(3, map_of({{"k", array_of({std::uint64_t{1}})}}));
    CHECK(!idx.answer("k", CompareOp::In, array_of({std::uint64_t{1}})));
    CHECK(!idx.answer("k", CompareOp::Nin, array_of({std::uint64_t{1}})));
    CHECK_EQ(slots(idx.answer("k", CompareOp::Eq, std::uint64_t{1})), "0");

    // "d" holds 1000 distinct values and is answered; the 1001st drops it for good.
    for (std::uint64_t s = 4; s < 1001; ++s) idx.add(s, map_of({{"d", s}}));
    CHECK_EQ(slots(idx.answer("d", CompareOp::Eq, std::uint64_t{999})), "999");
    idx.add(1001, map_of({{"d", std::uint64_t{5000}}}));
    CHECK(!idx.answer("d", CompareOp::Eq, std::uint64_t{999}));
    idx.add(1002, map_of({{"d", std::uint64_t{1}}}));
    CHECK(!idx.answer("d", CompareOp::Eq, std::uint64_t{1}));

    idx.remove(0, map_of({{"k", std::uint64_t{1}}}));
    CHECK_EQ(slots(idx.answer("k", CompareOp::Eq, std::uint64_t{1})), "");
}

namespace {
struct TempStore {
    std::string dir;
    std::unique_ptr<Storage> storage;
    TempStore() {
        char tmpl[] = "/tmp/orbisk-index-test-XXXXXX";
        dir = ::mkdtemp(tmpl);
        auto st = Storage::open(OpenOptions{dir + "/geo.coords.mmap", dir + "/geo.metadata.mmap", 16, 0, false});
        REQUIRE(st.has_value());
        storage = std::move(*st);
    }
    ~TempStore() {
        storage.reset();
        std::filesystem::remove_all(dir);
    }
    std::uint64_t add(const std::string& text) {
        auto r = storage->insert_point(PendingPoint{0.0, 0.0, text});
        REQUIRE(r.has_value());
        return *r;
    }
};
}  // namespace

TEST_CASE("an index whose every key was dropped is built once and then kept up by inserts") {
    TempStore store;
    for (int i = 0; i < 1001; ++i) store.add("{\"u\":" + std::to_string(i) + "}");
    MetadataIndexes indexes;
    const auto& records = store.storage->records();
    CHECK(!indexes.answer(records, FilterExpr::compare("u", CompareOp::Eq, std::uint64_t{3}).condition()));
    CHECK(indexes.any_built());

    // Stored without upkeep: a rebuild would index it, the built index does not.
    const std::uint64_t missed = store.add("{\"k\":\"x\"}");
    CHECK(!indexes.answer(records, FilterExpr::compare("k", CompareOp::Eq, std::string("x")).condition()));

    // Upkeep reaches the built index although it held no key.
    const std::uint64_t kept = store.add("{\"k\":\"x\"}");
    indexes.add(kept, std::vector<MetadataMap>{map_of({{"k", std::string("x")}})});
    CHECK_EQ(slots(indexes.answer(records, FilterExpr::compare("k", CompareOp::Eq, std::string("x")).condition())),
             std::to_string(kept));
    // Ne spans the slots up to the newest, including the one stored without upkeep.
    CHECK(indexes.answer(records, FilterExpr::compare("k", CompareOp::Ne, std::string("y")).condition())->test(missed));

    // A reset forgets everything; the next answer builds from the records again.
    indexes.reset();
    CHECK(!indexes.any_built());
    CHECK_EQ(slots(indexes.answer(records, FilterExpr::compare("k", CompareOp::Eq, std::string("x")).condition())),
             std::to_string(missed) + "," + std::to_string(kept));
}
