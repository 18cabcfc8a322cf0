// Index answers checked where Python cannot see them: each answer against a
// brute-force evaluation of the same condition, through builds, inserts and
// removals, for keys of a few and of very many values; values that share hash
// bits; every form of a value's slot set; the declines and the memory budget;
// and keys built one at a time from a store.
#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "temp_dir.hpp"
#include "engine/index/key_values.hpp"
#include "engine/index/metadata_indexes.hpp"
#include "engine/index/numeric_index.hpp"
#include "engine/index/slot_sets.hpp"
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

// A value of a key of very many values: mostly held by one point, some by a
// few; strings of 1 to 200 bytes and integers, which share no value key.
MetadataValue many_value(std::mt19937_64& rng, std::uint64_t range) {
    const std::uint64_t k = rng() % range;
    if (k % 7 == 0) return static_cast<std::int64_t>(k) - 1000;
    return std::string(1 + k % 200, static_cast<char>('a' + k % 26)) + std::to_string(k);
}

// The live records of a model store, and the check the value index asks
// about slots it keeps without their value's text.
struct Model final : ValueCheck {
    std::vector<std::optional<MetadataMap>> records;  // nothing: never stored, or removed

    bool holds(std::uint64_t slot, std::string_view key, std::string_view vk) const override {
        if (slot >= records.size() || !records[slot]) return false;
        const MetadataValue* v = records[slot]->find(key);
        std::string found;
        return v && value_key(*v, found) && found == vk;
    }
};

const char* const kKeys[] = {"s", "t", "u", "m"};

// Narrows the value hashes for the life of the object.
struct NarrowedHashes {
    explicit NarrowedHashes(int bits) { KeyValues::narrow_hashes_for_tests(bits); }
    ~NarrowedHashes() { KeyValues::narrow_hashes_for_tests(0); }
    NarrowedHashes(const NarrowedHashes&) = delete;
    NarrowedHashes& operator=(const NarrowedHashes&) = delete;
};

}  // namespace

TEST_CASE("index answers equal a brute-force evaluation through builds, inserts and removals") {
    std::mt19937_64 rng(20240611);
    // Equality answers given as unconfirmed singles, and those declined so.
    std::uint64_t single_answers = 0, single_declines = 0;
    for (int round = 0; round < 16; ++round) {
        const std::uint64_t n = 1 + rng() % (round % 4 == 3 ? 6000 : 400);
        // Whole hashes, and hashes of so few bits that values share them by
        // the handful or by the hundred.
        const NarrowedHashes narrowed(std::array{0, 4, 10, 16}[round % 4]);
        Model model;
        model.records.resize(n);
        // "s" never holds an array and "t" sometimes does; "u" holds values of
        // very many kinds, mostly once each, and "m" values held by one to a few points.
        std::set<std::string> array_keys;  // keys an added record held an array under
        auto make = [&]() {
            MetadataMap m;
            if (rng() % 4) {
                MetadataValue v = random_value(rng);
                if (std::holds_alternative<MetadataArray>(v.v)) v = std::string("a");
                m.insert_or_assign("s", v);
            }
            if (rng() % 4) m.insert_or_assign("t", random_value(rng));
            if (rng() % 8) m.insert_or_assign("u", rng() % 16 ? many_value(rng, 8 * n) : random_value(rng));
            if (rng() % 3) m.insert_or_assign("m", std::uint64_t{rng() % (n / 3 + 1)});
            for (const auto& [k, v] : m)
                if (std::holds_alternative<MetadataArray>(v.v)) array_keys.insert(k);
            return m;
        };
        for (std::uint64_t s = 0; s < n; ++s)
            if (rng() % 8) model.records[s] = make();

        NumericIndex numeric;
        ValueIndex value;
        // Slots below `cut` come from a build, in batches; later ones from inserts.
        const std::uint64_t cut = rng() % (n + 1);
        value.raise_universe(cut);
        for (const char* key : kKeys) {
            value.begin_key(key);
            KeyValueBatch batch;
            for (std::uint64_t s = 0; s < cut; ++s) {
                if (model.records[s])
                    if (const MetadataValue* v = model.records[s]->find(key)) batch.add(s, *v);
                if (rng() % 50 == 0 || s + 1 == cut) {
                    REQUIRE(value.add_batch(key, batch));
                    batch = KeyValueBatch();
                }
            }
        }
        for (std::uint64_t s = 0; s < n; ++s) {
            if (!model.records[s]) continue;
            numeric.add(s, *model.records[s], s < cut ? cut : 0);
            if (s >= cut) value.add(s, *model.records[s]);
            // A point stored while a build reads the store is added twice.
            if (rng() % 20 == 0) value.add(s, *model.records[s]);
        }
        // Removals, and then points that bring again values of removed and of live points.
        for (std::uint64_t s = 0; s < n; ++s) {
            if (!model.records[s] || rng() % 6) continue;
            value.remove(s, *model.records[s]);
            numeric.remove(s);
            model.records[s].reset();
        }
        for (std::uint64_t k = 0; k < n / 4; ++k) {
            const std::uint64_t from = rng() % n;
            MetadataMap m = model.records[from] ? *model.records[from] : make();
            const std::uint64_t s = model.records.size();
            model.records.push_back(m);
            numeric.add(s, m, 0);
            value.add(s, m);
        }

        // Operands drawn from what the records hold, and from the small pool.
        auto operand_for = [&](const char* key) -> MetadataValue {
            const auto& r = model.records[rng() % model.records.size()];
            if (rng() % 3 && r)
                if (const MetadataValue* v = r->find(key)) return *v;
            return rng() % 2 ? random_value(rng) : many_value(rng, 8 * n);
        };
        for (int q = 0; q < 150; ++q) {
            const std::string key = kKeys[rng() % 4];
            const auto op = static_cast<CompareOp>(rng() % 8);
            MetadataValue operand = operand_for(key.c_str());
            if (op == CompareOp::In || op == CompareOp::Nin) {
                MetadataArray list;
                for (std::uint64_t k = rng() % 4; k > 0; --k) list.push_back(operand_for(key.c_str()));
                operand = list;
            }
            const FilterExpr f = FilterExpr::compare(key, op, operand);
            const auto got = is_value_op(op) ? value.answer(key, op, operand, model) : numeric.answer(key, op, operand);
            std::vector<std::uint64_t> want;
            for (std::uint64_t s = 0; s < model.records.size(); ++s)
                if (model.records[s] && filter_matches(f, *model.records[s])) want.push_back(s);
            if (op == CompareOp::Eq) {
                // The listed form: exactly the matches, the lowest `max` of them.
                const auto listed = value.equal_slots(key, operand, ~std::uint64_t{0}, model);
                CHECK_EQ(listed.has_value(), got.has_value());
                if (listed) CHECK(*listed == want);
                const std::uint64_t max = rng() % 4;
                if (const auto first = value.equal_slots(key, operand, max, model))
                    CHECK(*first ==
                          std::vector<std::uint64_t>(want.begin(), want.begin() + std::min(max, want.size())));
                // The singles form: once confirmed, its candidates are exactly the matches.
                SingleCandidates singles;
                std::string vk;
                if (value_key(operand, vk) && value.single_candidates(key, vk, singles)) {
                    ++single_answers;
                    CHECK(listed.has_value());
                    std::vector<std::uint64_t> confirmed;
                    for (std::size_t i = 0; i < singles.size; ++i)
                        if (model.holds(singles.slots[i], key, vk)) confirmed.push_back(singles.slots[i]);
                    std::sort(confirmed.begin(), confirmed.end());
                    CHECK(confirmed == want);
                } else if (listed) {
                    ++single_declines;
                }
            }
            if (!got) {
                // Declined: an operand without a value key, or $in/$nin on a key that held an array.
                const bool scalar_operand = value_index_may_answer(op, operand);
                CHECK(!is_value_op(op) || !scalar_operand ||
                      (array_keys.contains(key) && (op == CompareOp::In || op == CompareOp::Nin)));
                continue;
            }
            for (std::uint64_t s = 0; s < model.records.size(); ++s) {
                if (!model.records[s]) continue;
                const bool match = std::binary_search(want.begin(), want.end(), s);
                if (op == CompareOp::Nin)
                    CHECK(!match || got->test(s));  // a superset of the matches
                else if (got->test(s) != match)
                    check::report(__FILE__, __LINE__, "answer differs at slot " + std::to_string(s));
            }
        }
    }
    // Both forms were met, the singles one with values that share hash bits too.
    CHECK(single_answers > 50);
    CHECK(single_declines > 50);
}

TEST_CASE("a value key read from a stored text agrees with the record parsed in full") {
    // Texts around each rule of the reader, then random cuts and byte changes of them.
    std::vector<std::string> texts = {R"({"k":"abc","z":1})",
                                      R"( {"a":[1,{"k":2}],"k":null} )",
                                      R"({"k":true,"k":false})",
                                      R"({"k":1,"k":[1]})",
                                      R"({"k\u0041":1,"kA":2,"k":"\u00e9\n"})",
                                      R"({"k":-0,"j":-9223372036854775808})",
                                      R"({"k":9223372036854775807})",
                                      R"({"k":9223372036854775808})",
                                      R"({"k":-9223372036854775809})",
                                      R"({"k":1.0})",
                                      R"({"k":1e2})",
                                      R"({"k":{"k":1}})",
                                      R"({})",
                                      R"({"k":"\ud83d\ude00"})",
                                      R"({"k":12ab})",
                                      R"({"k":"x"} x)",
                                      R"({"k":"x",})",
                                      R"({"k" "x"})",
                                      R"({"k":"\x"})",
                                      R"({"k":tru})",
                                      "{\"k\":\"\xff\"}",
                                      R"([1])",
                                      R"({"\u006b":5})",
                                      R"({"k":[]})",
                                      R"({"j":"k","k":"j"})"};
    std::mt19937_64 rng(31337);
    const std::size_t base = texts.size();
    for (int i = 0; i < 3000; ++i) {
        std::string t = texts[rng() % base];
        if (rng() % 2 && !t.empty()) t.resize(rng() % t.size());
        for (int k = static_cast<int>(rng() % 3); k > 0 && !t.empty(); --k)
            t[rng() % t.size()] = "\"{}[]:,k1-.e\\ "[rng() % 14];
        texts.push_back(t);
    }
    const std::string key = "k";
    for (const std::string& t : texts) {
        std::string got = "kept";
        const KeyValueKind kind = read_value_key(t, key, got);
        const auto parsed = metadata_from_json_text(t);
        KeyValueKind want = KeyValueKind::Unreadable;
        std::string want_key = "kept";
        if (parsed) {
            const MetadataValue* v = parsed->find(key);
            want = !v                                            ? KeyValueKind::Missing
                   : std::holds_alternative<MetadataArray>(v->v) ? KeyValueKind::Array
                   : append_value_key(*v, want_key)              ? KeyValueKind::Indexed
                                                                 : KeyValueKind::Unindexed;
        }
        if (kind != want || got != want_key) check::report(__FILE__, __LINE__, "read differently: " + t);
    }
}

TEST_CASE("key values: values that share hash bits keep exactly their own members") {
    std::mt19937_64 rng(77);
    KeyValues kv;
    std::map<std::uint64_t, std::uint64_t> holder;             // slot -> value
    std::map<std::uint64_t, std::set<std::uint64_t>> members;  // value -> slots
    // Three hash classes only: most values share their 32 hash bits with others.
    auto text = [](std::uint64_t v) { return "v" + std::to_string(v); };
    auto hash = [](std::uint64_t v) { return ((v % 3 + 1) << 32) | v; };
    auto check_value = [&](std::uint64_t v) {
        std::vector<std::uint64_t> got;
        kv.sets().list_first(kv.interned_set(text(v), hash(v)), ~std::uint64_t{0}, got);
        kv.for_each_single(hash(v), [&](std::uint64_t s) {
            if (holder.contains(s) && holder[s] == v) got.push_back(s);
        });
        std::sort(got.begin(), got.end());
        got.erase(std::unique(got.begin(), got.end()), got.end());
        const auto& want = members[v];
        CHECK(got == std::vector<std::uint64_t>(want.begin(), want.end()));
    };
    for (int step = 0; step < 30000; ++step) {
        if (rng() % 10 < 7 || holder.empty()) {
            std::uint64_t slot = rng() % 5000;
            if (rng() % 50 == 0) slot += std::uint64_t{1} << 32;  // beyond what a single holds
            if (rng() % 500 == 0) slot = ~std::uint64_t{0} - rng() % 4;
            std::uint64_t v = rng() % 3 ? rng() % 40 : 1000 + rng() % 100000;
            if (const auto it = holder.find(slot); it != holder.end()) v = it->second;  // added again
            REQUIRE(kv.add(slot, text(v), hash(v)));
            holder[slot] = v;
            members[v].insert(slot);
        } else {
            auto it = holder.begin();
            std::advance(it, static_cast<long>(rng() % holder.size()));
            const auto [slot, v] = *it;
            kv.remove(slot, text(v), hash(v));
            members[v].erase(slot);
            holder.erase(it);
            kv.remove(slot, text(v), hash(v));  // removing again changes nothing
        }
        if (step % 3000 == 2999)
            for (const auto& [v, m] : members) check_value(v);
    }
    check_value(999999);  // never added
    CHECK(kv.singles() > 0 && kv.interned() > 0);
}

TEST_CASE("slot sets: single slots, pool blocks and bitmaps against a set model") {
    std::mt19937_64 rng(5150);
    SlotSets sets;
    constexpr int kSets = 8;
    std::vector<SlotSets::Handle> handles(kSets, SlotSets::kEmpty);
    std::vector<std::set<std::uint64_t>> model(kSets);
    constexpr std::uint64_t kDense = 300000;  // slots the dense views cover
    // Each set draws from its own pattern: a dense run, a sparse spread over
    // many 65536-slot chunks, the top of the id space, or a mix.
    auto draw = [&](int i) -> std::uint64_t {
        switch (i % 4) {
            case 0:
                return 1000 + rng() % 9000;
            case 1:
                return (rng() % 200) * 65536 + rng() % 3;
            case 2:
                return ~std::uint64_t{0} - rng() % 3000;
            default:
                return rng() % 2 ? rng() % kDense : rng() % 100;
        }
    };
    for (int step = 0; step < 60000; ++step) {
        const int i = static_cast<int>(rng() % kSets);
        // Grow for a while, then shrink, so that every form is entered and left.
        const bool grow = (step / 15000) % 2 == 0 ? rng() % 10 < 8 : rng() % 10 < 2;
        if (grow) {
            const std::uint64_t s = draw(i);
            CHECK_EQ(sets.add(handles[i], s), model[i].insert(s).second);
        } else if (!model[i].empty()) {
            auto it = model[i].begin();
            std::advance(it, static_cast<long>(rng() % model[i].size()));
            CHECK(sets.remove(handles[i], *it));
            model[i].erase(it);
        }
        if (step % 5000 != 4999 && step != 59999) continue;
        for (int k = 0; k < kSets; ++k) {
            CHECK_EQ(sets.count(handles[k]), model[k].size());
            CHECK_EQ(handles[k] == SlotSets::kEmpty, model[k].empty());
            std::vector<std::uint64_t> listed{42};
            sets.list_first(handles[k], ~std::uint64_t{0}, listed);
            CHECK(std::vector<std::uint64_t>(listed.begin() + 1, listed.end()) ==
                  std::vector<std::uint64_t>(model[k].begin(), model[k].end()));
            const std::uint64_t max = rng() % 5;
            std::vector<std::uint64_t> first;
            sets.list_first(handles[k], max, first);
            const std::uint64_t want_first = std::min<std::uint64_t>(max, model[k].size());
            CHECK_EQ(first.size(), want_first);
            SlotBitmap dense(kDense - rng() % 100), want(dense.size());
            for (std::uint64_t s : model[k])
                if (s < want.size()) want.set(s);
            sets.or_into(handles[k], dense);
            CHECK(dense.words() == want.words());
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

TEST_CASE("value answers: absent values, doubles, array keys and keys of many values") {
    Model model;
    ValueIndex idx;
    idx.raise_universe(4);
    idx.begin_key("k");
    idx.begin_key("d");
    auto add = [&](std::uint64_t s, MetadataMap m) {
        if (model.records.size() <= s) model.records.resize(s + 1);
        idx.add(s, m);
        model.records[s] = std::move(m);
    };
    add(0, map_of({{"k", std::uint64_t{1}}, {"d", std::uint64_t{0}}}));
    add(1, map_of({{"k", std::string("x")}, {"d", std::uint64_t{1}}}));
    add(2, map_of({{"d", std::uint64_t{2}}}));
    CHECK_EQ(slots(idx.answer("k", CompareOp::Eq, std::string("zz"), model)), "");
    CHECK(!idx.answer("k", CompareOp::Eq, 1.5, model));
    CHECK(!idx.answer("other", CompareOp::Eq, std::uint64_t{1}, model));  // never begun
    // Ne covers every slot below the universe without the value, key or not.
    CHECK_EQ(slots(idx.answer("k", CompareOp::Ne, std::string("x"), model)), "0,2,3");
    CHECK(!idx.answer("k", CompareOp::In, array_of({std::uint64_t{1}, 2.5}), model));
    CHECK_EQ(slots(idx.answer("k", CompareOp::Nin, array_of({std::uint64_t{1}, 2.5}), model)), "1,2,3");

    // An array under "k" stops In and Nin on it, not Eq and Ne.
    add(3, map_of({{"k", array_of({std::uint64_t{1}})}}));
    CHECK(!idx.answer("k", CompareOp::In, array_of({std::uint64_t{1}}), model));
    CHECK(!idx.answer("k", CompareOp::Nin, array_of({std::uint64_t{1}}), model));
    CHECK_EQ(slots(idx.answer("k", CompareOp::Eq, std::uint64_t{1}, model)), "0");

    // "d" holds 5000 distinct values and is answered for each, old and new.
    for (std::uint64_t s = 4; s < 5000; ++s) add(s, map_of({{"d", s}}));
    CHECK_EQ(slots(idx.answer("d", CompareOp::Eq, std::uint64_t{999}, model)), "999");
    CHECK_EQ(slots(idx.answer("d", CompareOp::In, array_of({std::uint64_t{1}, std::uint64_t{4999}}), model)), "1,4999");
    add(5000, map_of({{"d", std::uint64_t{1}}}));
    CHECK_EQ(slots(idx.answer("d", CompareOp::Eq, std::uint64_t{1}, model)), "1,5000");

    idx.remove(0, map_of({{"k", std::uint64_t{1}}}));
    model.records[0].reset();
    CHECK_EQ(slots(idx.answer("k", CompareOp::Eq, std::uint64_t{1}, model)), "");
}

TEST_CASE("a key beyond its memory budget is declined until reset; keys of many values stay within it") {
    constexpr std::uint64_t kPoints = 200000;
    Model model;
    ValueIndex idx(ValueBudget{32, std::uint64_t{1} << 16});
    idx.raise_universe(kPoints);
    for (const char* key : {"name", "kind", "pairs"}) idx.begin_key(key);
    for (std::uint64_t s = 0; s < kPoints; ++s) {
        // Each "pairs" value is a 300-byte text held by two points: beyond 32 bytes a point.
        idx.add(s, map_of({{"name", "P" + std::to_string(s)},
                           {"kind", "k" + std::to_string(s % 10)},
                           {"pairs", std::string(300, 'x') + std::to_string(s / 2)}}));
    }
    CHECK(idx.knows("pairs"));
    CHECK(!idx.answer("pairs", CompareOp::Eq, std::string(300, 'x') + "7", model));
    CHECK_EQ(idx.key_memory_bytes("pairs"), 0u);
    // A unique key costs at most 32 bytes a point, a key of ten values what its bitmaps cost.
    CHECK(idx.key_memory_bytes("name") <= 32 * kPoints);
    CHECK(idx.key_memory_bytes("kind") <= 4 * kPoints);
    model.records.resize(kPoints + 1);
    model.records[123456] = map_of({{"name", std::string("P123456")}});
    CHECK_EQ(slots(idx.answer("name", CompareOp::Eq, std::string("P123456"), model)), "123456");

    // Declined for good: later points do not bring the key back, nor does building it again.
    idx.add(kPoints, map_of({{"pairs", std::string("short")}}));
    idx.begin_key("pairs");
    CHECK(!idx.answer("pairs", CompareOp::Eq, std::string("short"), model));
}

namespace {
struct TempStore {
    TempDir dir;
    std::unique_ptr<Storage> storage;
    TempStore() {
        auto st =
            Storage::open(OpenOptions{dir.path + "/geo.coords.mmap", dir.path + "/geo.metadata.mmap", 16, 0, false});
        REQUIRE(st.has_value());
        storage = std::move(*st);
    }
    std::uint64_t add(const std::string& text) {
        auto r = storage->insert_point(PendingPoint{0.0, 0.0, text});
        REQUIRE(r.has_value());
        return *r;
    }
};

// The Eq answer of the indexes to `key` = `v` (a condition refers to its filter).
std::optional<SlotBitmap> ask(MetadataIndexes& indexes, const RecordStore& records, const char* key, MetadataValue v) {
    const FilterExpr f = FilterExpr::compare(key, CompareOp::Eq, std::move(v));
    return indexes.answer(records, f.condition());
}
}  // namespace

TEST_CASE("value keys are built one at a time on first use, kept up by inserts and declined beyond budget") {
    TempStore store;
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i)
        texts.push_back("{\"u\":\"id-" + std::to_string(i) + "\",\"k\":" + std::to_string(i % 3) + "}");
    std::vector<PendingPoint> points;
    for (const auto& t : texts) points.push_back({0.0, 0.0, t});
    REQUIRE(!store.storage->write_points(points).has_value());
    // A budget of 8 bytes a point: the unique key "u" goes beyond it, "k" does not.
    MetadataIndexes indexes(ValueBudget{8, 4096});
    const auto& records = store.storage->records();
    CHECK(!indexes.any_built());
    CHECK(!ask(indexes, records, "u", std::string("id-7")));
    CHECK(!indexes.any_built());  // a declined key needs no upkeep
    CHECK_EQ(ask(indexes, records, "k", std::uint64_t{2})->count(), 1000u);
    CHECK(indexes.any_built());

    // Stored without upkeep: "k" was built before and misses it; "n", built after, holds it.
    const std::uint64_t missed = store.add("{\"k\":2,\"n\":\"x\"}");
    CHECK_EQ(ask(indexes, records, "k", std::uint64_t{2})->count(), 1000u);
    CHECK_EQ(slots(ask(indexes, records, "n", std::string("x"))), std::to_string(missed));
    const std::uint64_t kept = store.add("{\"k\":2,\"n\":\"x\"}");
    indexes.add(kept, std::vector<MetadataMap>{map_of({{"k", std::uint64_t{2}}, {"n", std::string("x")}})});
    CHECK_EQ(slots(ask(indexes, records, "n", std::string("x"))), std::to_string(missed) + "," + std::to_string(kept));
    CHECK_EQ(ask(indexes, records, "k", std::uint64_t{2})->count(), 1001u);
    const FilterExpr k2 = FilterExpr::compare("k", CompareOp::Eq, std::uint64_t{2});
    CHECK(*indexes.answer_slots(records, k2.condition(), 2) == std::vector<std::uint64_t>({2, 5}));

    // A reset forgets everything; the next answers build from the records again.
    indexes.reset();
    CHECK(!indexes.any_built());
    CHECK_EQ(ask(indexes, records, "k", std::uint64_t{2})->count(), 1002u);
}

TEST_CASE("a value key built from a store of several rounds of slots answers every slot") {
    TempStore store;
    constexpr std::uint64_t kPoints = (std::uint64_t{1} << 18) + 70000;
    std::vector<std::string> texts;
    std::vector<PendingPoint> points;
    for (std::uint64_t i = 0; i < kPoints; ++i)
        texts.push_back("{\"u\":\"P" + std::to_string(i) + "\",\"k\":" + std::to_string(i % 5) + "}");
    for (const auto& t : texts) points.push_back({0.0, 0.0, t});
    REQUIRE(!store.storage->write_points(points).has_value());
    std::vector<std::uint64_t> doomed;
    for (std::uint64_t i = 0; i < kPoints; i += 997) doomed.push_back(i);
    REQUIRE(store.storage->delete_slots(doomed).has_value());
    MetadataIndexes indexes;
    const auto& records = store.storage->records();
    for (std::uint64_t i : {std::uint64_t{1}, (std::uint64_t{1} << 18) - 1, std::uint64_t{1} << 18, kPoints - 1})
        CHECK_EQ(slots(ask(indexes, records, "u", "P" + std::to_string(i))), std::to_string(i));
    CHECK_EQ(slots(ask(indexes, records, "u", std::string("P997"))), "");  // deleted
    // Each value held once keeps the line where its slot's text starts,
    // through the table's growth while the key was built.
    for (std::uint64_t i = 3; i < kPoints; i += 4099) {
        if (i % 997 == 0) continue;
        const MetadataValue v = "P" + std::to_string(i);
        SingleCandidates singles;
        std::string vk;
        REQUIRE(indexes.equal_candidates(records, Condition{"u", CompareOp::Eq, v}, vk, singles));
        REQUIRE(singles.size == 1);
        CHECK_EQ(singles.slots[0], i);
        CHECK_EQ(singles.lines[0], records.metadata_line(i));
    }
    std::uint64_t want = 0;
    for (std::uint64_t i = 0; i < kPoints; ++i) want += i % 5 == 3 && i % 997 != 0;
    CHECK_EQ(ask(indexes, records, "k", std::uint64_t{3})->count(), want);
}
