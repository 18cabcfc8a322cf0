// The text precheck never rules out a record that matches: random documents,
// each written in several valid ways (compact, spaced out, letters of strings
// escaped, zero as "-0", integers among doubles), and random filters, checked
// against the full evaluation of the text as read.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/metadata/metadata.hpp"
#include "engine/query/filter.hpp"
#include "engine/query/text_precheck.hpp"

using namespace orbisk;

namespace {

std::vector<MetadataValue> pool() {
    return {MetadataValue{},
            true,
            false,
            std::uint64_t{0},
            std::uint64_t{42},
            std::uint64_t{420},
            std::int64_t{-42},
            2.5,
            42.0,
            std::string("town"),
            std::string("towns"),
            std::string(""),
            std::string("t\xc3\xa9"),
            std::string("a\"b"),
            MetadataArray{std::uint64_t{42}, std::string("town")},
            MetadataObject{{"k", std::uint64_t{42}}}};
}

// A JSON writer that takes liberties the store's own writer does not.
class LooseWriter {
public:
    explicit LooseWriter(std::mt19937_64& rng) : rng_(rng) {}

    std::string document(const MetadataMap& m) {
        std::string out = "{";
        bool first = true;
        for (const auto& [k, v] : m) {
            if (!first) out += space() + ",";
            first = false;
            out += space() + string(k) + space() + ":" + space() + value(v);
        }
        return out + space() + "}";
    }

private:
    std::string space() { return rng_() % 4 == 0 ? std::string(" \n\t").substr(0, 1 + rng_() % 3) : ""; }
    std::string string(const std::string& s) {
        std::string out = "\"";
        for (unsigned char c : s) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x80 && rng_() % 3 == 0) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out + "\"";
    }
    std::string value(const MetadataValue& v) {
        if (v.is_null()) return "null";
        if (const auto* b = std::get_if<bool>(&v.v)) return *b ? "true" : "false";
        if (const auto* u = std::get_if<std::uint64_t>(&v.v)) return *u == 0 && rng_() % 2 ? "-0" : std::to_string(*u);
        if (const auto* i = std::get_if<std::int64_t>(&v.v)) return std::to_string(*i);
        if (const auto* d = std::get_if<double>(&v.v)) {
            if (*d == 2.5) return rng_() % 2 ? "2.50" : "25e-1";
            return rng_() % 2 ? "42.0" : "4.2e1";
        }
        if (const auto* s = std::get_if<std::string>(&v.v)) return string(*s);
        if (const auto* a = std::get_if<MetadataArray>(&v.v)) {
            std::string out = "[";
            for (std::size_t i = 0; i < a->size(); ++i) out += (i ? "," : "") + space() + value((*a)[i]);
            return out + "]";
        }
        std::string out = "{";
        const auto& o = std::get<MetadataObject>(v.v);
        for (std::size_t i = 0; i < o.size(); ++i)
            out += (i ? "," : "") + string(o[i].first) + ":" + value(o[i].second);
        return out + "}";
    }

    std::mt19937_64& rng_;
};

FilterExpr random_filter(std::mt19937_64& rng, const std::vector<MetadataValue>& values, int depth = 0) {
    const std::vector<std::string> keys{"a", "b", "c"};
    const auto r = rng() % 10;
    if (depth < 3 && r < 2)
        return FilterExpr::group(r == 0 ? FilterExpr::Kind::And : FilterExpr::Kind::Or,
                                 {random_filter(rng, values, depth + 1), random_filter(rng, values, depth + 1)});
    if (depth < 3 && r == 2) return FilterExpr::group(FilterExpr::Kind::Not, {random_filter(rng, values, depth + 1)});
    const std::string& key = keys[rng() % keys.size()];
    const CompareOp ops[] = {CompareOp::Eq, CompareOp::Eq, CompareOp::In, CompareOp::Ne, CompareOp::Gt, CompareOp::Nin};
    const CompareOp op = ops[rng() % 6];
    if (op == CompareOp::In || op == CompareOp::Nin) {
        MetadataArray choices;
        for (std::size_t k = rng() % 3; k > 0; --k) choices.push_back(values[rng() % values.size()]);
        return FilterExpr::compare(key, op, choices);
    }
    return FilterExpr::compare(key, op, values[rng() % values.size()]);
}

}  // namespace

TEST_CASE("text precheck: a text it rules out never matches, however the text is written") {
    std::mt19937_64 rng(0x707265);
    const auto values = pool();
    LooseWriter loose(rng);
    std::size_t matched = 0, ruled_out = 0;
    for (int round = 0; round < 3000; ++round) {
        MetadataMap m;
        for (const char* k : {"a", "b", "c", "d"})
            if (rng() % 4) m.insert_or_assign(k, values[rng() % values.size()]);
        std::vector<std::string> texts{metadata_to_json_text(m)};
        for (int k = 0; k < 3; ++k) texts.push_back(loose.document(m));
        for (int f = 0; f < 10; ++f) {
            const FilterExpr filter = random_filter(rng, values);
            const TextPrecheck precheck(filter);
            for (const std::string& text : texts) {
                const auto read = metadata_from_json_text(text);
                REQUIRE(read.has_value());
                const bool matches = filter_matches(filter, *read);
                const bool may = precheck.may_match(text);
                if (matches && !may) {
                    check::report(__FILE__, __LINE__, "ruled out a matching text: " + text);
                    REQUIRE(false);
                }
                matched += matches;
                ruled_out += !may;
            }
        }
    }
    // Worth something only if both happen often.
    CHECK(matched > 10000);
    CHECK(ruled_out > 10000);
}
