#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "check.hpp"
#include "engine/metadata/json_reader.hpp"
#include "engine/metadata/metadata.hpp"

using namespace orbisk;

namespace {

// The value stored under `key` when `text` reads as a map holding it.
std::optional<MetadataValue> read_key(std::string_view text, std::string_view key) {
    auto map = metadata_from_json_text(text);
    if (!map) return std::nullopt;
    const MetadataValue* v = map->find(key);
    if (!v) return std::nullopt;
    return *v;
}

// A single-member document {"v":<value_text>} read back, or nothing.
std::optional<MetadataValue> read_value(const std::string& value_text) {
    return read_key("{\"v\":" + value_text + "}", "v");
}

bool readable(std::string_view text) { return metadata_from_json_text(text).has_value(); }

// One random edit of a text: a byte replaced, removed or added.
void damage(std::string& t, std::mt19937& rng, const std::string& alphabet) {
    const std::size_t pos = rng() % t.size();
    switch (rng() % 3) {
        case 0:
            t[pos] = alphabet[rng() % alphabet.size()];
            break;
        case 1:
            t.erase(pos, 1);
            break;
        default:
            t.insert(pos, 1, alphabet[rng() % alphabet.size()]);
            break;
    }
}

std::string nested(std::string_view top_open, int levels) {
    // `levels` containers in total: the outer object plus arrays inside it.
    std::string s(top_open);
    s += std::string(static_cast<std::size_t>(levels - 1), '[');
    s += std::string(static_cast<std::size_t>(levels - 1), ']');
    s += '}';
    return s;
}

std::string text_of(std::initializer_list<std::pair<std::string, MetadataValue>> members) {
    MetadataMap m;
    for (const auto& [k, v] : members) m.insert_or_assign(k, v);
    return metadata_to_json_text(m);
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

TEST_CASE("stored text is compact, in insertion order, integers in plain decimal") {
    MetadataObject inner{{"a", MetadataValue(std::uint64_t{2})}, {"b", MetadataValue(std::int64_t{-1})}};
    MetadataArray arr{MetadataValue{}, MetadataValue(true), MetadataValue(false), MetadataValue(std::string("x"))};
    CHECK_EQ(
        text_of({{"z", std::uint64_t{0}}, {"o", inner}, {"l", arr}, {"e", MetadataArray{}}, {"m", MetadataObject{}}}),
        std::string(R"({"z":0,"o":{"a":2,"b":-1},"l":[null,true,false,"x"],"e":[],"m":{}})"));
    CHECK_EQ(metadata_to_json_text(MetadataMap{}), std::string("{}"));
    CHECK_EQ(
        text_of({{"u", std::numeric_limits<std::uint64_t>::max()}, {"i", std::numeric_limits<std::int64_t>::min()}}),
        std::string(R"({"u":18446744073709551615,"i":-9223372036854775808})"));
}

TEST_CASE("doubles always carry a fraction or an exponent") {
    auto d = [](double x) {
        std::string s;
        append_json_double(s, x);
        return s;
    };
    CHECK_EQ(d(1.0), std::string("1.0"));
    CHECK_EQ(d(-0.0), std::string("-0.0"));
    CHECK_EQ(d(0.0), std::string("0.0"));
    CHECK_EQ(d(0.1), std::string("0.1"));
    CHECK_EQ(d(-2.5), std::string("-2.5"));
    CHECK_EQ(d(1e16), std::string("1e+16"));
    CHECK_EQ(d(1e-7), std::string("1e-07"));
    // Large integral values spelled out in full still read back as doubles.
    const std::string big = d(123456789012345680000.0);
    CHECK(big.find_first_of(".e") != std::string::npos);
    auto back = read_value(big);
    REQUIRE(back && std::holds_alternative<double>(back->v));
    CHECK_EQ(std::get<double>(back->v), 123456789012345680000.0);
}

TEST_CASE("short decimals are spelled as the general shortest-form search spells them") {
    // The general search: std::to_chars' shortest form, ".0" added to an integer.
    auto general = [](double x) {
        char buf[kJsonDoubleMax];
        char* end = std::to_chars(buf, buf + sizeof buf, x).ptr;
        std::string s(buf, end);
        if (s.find_first_of(".e") == std::string::npos) s += ".0";
        return s;
    };
    auto ours = [](double x) {
        char buf[kJsonDoubleMax];
        return std::string(buf, write_json_double(buf, x));
    };
    std::mt19937_64 rng(20261209);
    std::size_t checked = 0, wrong = 0;
    auto check = [&](double x) {
        if (!std::isfinite(x)) return;
        ++checked;
        const std::string want = general(x), got = ours(x);
        if (want != got && ++wrong <= 5) CHECK_EQ(got, want);
    };
    // Decimals of 1 to 17 digits with 0 to 9 decimals, both signs, and their
    // neighbouring doubles; powers of ten and the fixed/scientific turning points.
    for (int i = 0; i < 400000; ++i) {
        const int digits = 1 + static_cast<int>(rng() % 17);
        std::uint64_t m = rng() % 100000000000000000ULL;
        for (int k = digits; k < 17; ++k) m /= 10;
        const int k = static_cast<int>(rng() % 10);
        double x = static_cast<double>(m) / std::pow(10.0, k);
        if (rng() & 1) x = -x;
        check(x);
        check(std::nextafter(x, 0.0));
        check(std::nextafter(x, 1e300));
    }
    for (int e = -12; e <= 20; ++e) {
        for (double lead : {1.0, 1.5, 9.0, 9.99, 12.0, 123.0}) {
            const double x = lead * std::pow(10.0, e);
            check(x);
            check(std::nextafter(x, 0.0));
            check(std::nextafter(x, 1e300));
        }
    }
    for (double x : {999999999999999.0, 1e15, 0.001, 0.00099, 0.0015, 1e-3 * 9.99, 100000.0, 1200000.0, 0.5, 2.675})
        check(x);
    // Doubles of every magnitude, from random bits.
    for (int i = 0; i < 200000; ++i) check(std::bit_cast<double>(rng()));
    CHECK(checked > 1300000);
    CHECK_EQ(wrong, std::size_t{0});
}

TEST_CASE("strings escape quote, backslash and control characters only") {
    std::string raw = "q\"b\\ \b\f\n\r\t";
    raw += '\x01';
    raw += '\x1f';
    raw += '\x00';
    raw += "\x7f/\xc3\xa9\xf0\x9f\x98\x80";
    std::string out;
    append_json_string(out, raw);
    CHECK_EQ(out, std::string("\"q\\\"b\\\\ \\b\\f\\n\\r\\t\\u0001\\u001f\\u0000\x7f/\xc3\xa9\xf0\x9f\x98\x80\""));
    // The escaped text reads back to the original bytes, and keys escape the same way.
    CHECK(read_key(text_of({{raw, raw}}), raw) == MetadataValue(raw));
}

// ---------------------------------------------------------------------------
// Reading: numbers
// ---------------------------------------------------------------------------

TEST_CASE("integer literals become unsigned or negative integers, the rest doubles") {
    CHECK(read_value("0") == MetadataValue(std::uint64_t{0}));
    CHECK(read_value("-0") == MetadataValue(std::uint64_t{0}));
    CHECK(read_value("18446744073709551615") == MetadataValue(std::numeric_limits<std::uint64_t>::max()));
    CHECK(read_value("18446744073709551616") == MetadataValue(18446744073709551616.0));
    CHECK(read_value("99999999999999999999") == MetadataValue(1e20));
    CHECK(read_value("-1") == MetadataValue(std::int64_t{-1}));
    CHECK(read_value("-9223372036854775808") == MetadataValue(std::numeric_limits<std::int64_t>::min()));
    CHECK(read_value("-9223372036854775809") == MetadataValue(-9223372036854775809.0));
    CHECK(read_value("1.0") == MetadataValue(1.0));
    CHECK(read_value("1e2") == MetadataValue(100.0));
    CHECK(read_value("1E+2") == MetadataValue(100.0));
    CHECK(read_value("25e-1") == MetadataValue(2.5));
    auto negzero = read_value("-0.0");
    REQUIRE(negzero && std::holds_alternative<double>(negzero->v));
    CHECK(std::signbit(std::get<double>(negzero->v)));
}

TEST_CASE("numbers follow the strict grammar") {
    for (const char* bad : {"01", "-01", "-", "1.", ".5", "+1", "1e", "1e+", "1.e5", "0x10", "NaN", "Infinity",
                            "-Infinity", "1.5e", "--1", "1..2", "1e5.5"}) {
        if (read_value(bad)) std::cerr << "accepted: " << bad << "\n";
        CHECK(!read_value(bad));
    }
}

TEST_CASE("a number beyond the double range is unreadable, an underflow reads as zero") {
    CHECK(!read_value("1e400"));
    CHECK(!read_value("-1e400"));
    CHECK(!read_value("1.7976931348623159e308"));
    CHECK(!read_value(std::string(400, '9')));
    CHECK(!read_value("0.0000000000000000000000000000000000001e400"));
    CHECK(read_value("1.7976931348623157e308") == MetadataValue(1.7976931348623157e308));
    CHECK(read_value(std::string(300, '9')) == MetadataValue(1e300));
    CHECK(read_value("1e-400") == MetadataValue(0.0));
    CHECK(read_value("123456e-400") == MetadataValue(0.0));
    auto neg = read_value("-1e-400");
    REQUIRE(neg && std::holds_alternative<double>(neg->v));
    CHECK(std::signbit(std::get<double>(neg->v)));
    CHECK(read_value("0e999999999999999999999") == MetadataValue(0.0));
    CHECK(read_value("5e-324") == MetadataValue(5e-324));
}

TEST_CASE("doubles round-trip bit for bit through the stored text") {
    std::mt19937_64 rng(12345);
    int failures = 0;
    for (int i = 0; i < 20000; ++i) {
        double d = std::bit_cast<double>(rng());
        if (!std::isfinite(d)) continue;
        MetadataMap m;
        m.insert_or_assign("d", d);
        auto back = read_key(metadata_to_json_text(m), "d");
        if (!back || !std::holds_alternative<double>(back->v) ||
            std::bit_cast<std::uint64_t>(std::get<double>(back->v)) != std::bit_cast<std::uint64_t>(d))
            ++failures;
    }
    CHECK_EQ(failures, 0);
}

TEST_CASE("short decimals read as the full conversion reads them") {
    // Few digits and small exponents, where the reader takes its quick route,
    // and around its edges: 2^53, 19 digits, powers of ten beyond 1e22.
    std::mt19937_64 rng(20261209);
    auto digits = [&](int count) {
        std::string s;
        for (int i = 0; i < count; ++i) s += static_cast<char>('0' + rng() % 10);
        if (s.size() > 1 && s[0] == '0') s[0] = static_cast<char>('1' + rng() % 9);
        return s;
    };
    int failures = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string text = rng() % 4 == 0 ? "-" : "";
        const int whole = 1 + static_cast<int>(rng() % 20);
        text += rng() % 8 == 0 ? "0" : digits(whole);
        if (rng() % 4 != 0) text += "." + digits(1 + static_cast<int>(rng() % 20));
        if (rng() % 3 == 0) {
            text += rng() % 2 ? "e" : "E";
            const int sign = static_cast<int>(rng() % 3);
            text += sign == 0 ? "" : sign == 1 ? "+" : "-";
            text += std::to_string(rng() % 40);
        }
        if (i % 7 == 0) text = std::to_string((std::uint64_t{1} << 53) + rng() % 5 - 2) + "." + digits(1) + "e-1";
        double want = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), want);
        if (r.ec != std::errc{}) continue;
        const auto got = read_value(text);
        const double* d = got ? std::get_if<double>(&got->v) : nullptr;
        if (!d) continue;  // an integer literal
        if (std::bit_cast<std::uint64_t>(*d) != std::bit_cast<std::uint64_t>(want)) {
            if (++failures < 5) std::cerr << "read differently: " << text << "\n";
        }
    }
    CHECK_EQ(failures, 0);
}

// ---------------------------------------------------------------------------
// Reading: strings
// ---------------------------------------------------------------------------

TEST_CASE("escapes decode, including surrogate pairs; lone surrogates are unreadable") {
    CHECK(read_value(R"("\"\\\/\b\f\n\r\t")") == MetadataValue(std::string("\"\\/\b\f\n\r\t")));
    CHECK(read_value(R"("\u00e9\u00C9\u0000x")") == MetadataValue(std::string("\xc3\xa9\xc3\x89\0x", 6)));
    CHECK(read_value(R"("\u20ac")") == MetadataValue(std::string("\xe2\x82\xac")));
    CHECK(read_value(R"("a\ud83d\ude00b")") == MetadataValue(std::string("a\xf0\x9f\x98\x80"
                                                                         "b")));
    CHECK(read_value(R"("\uDBFF\uDFFF")") == MetadataValue(std::string("\xf4\x8f\xbf\xbf")));
    for (const char* bad : {R"("\ud83d")", R"("\ud83dx")", R"("\ud83d\u0041")", R"("\ud83d\ud83d")", R"("\ude00")",
                            R"("\ude00\ud83d")", R"("\ude00\ude00")", R"("\x41")", R"("\'")", R"("\u12")",
                            R"("\u12g4")", R"("\U0041")", R"("abc)", R"("abc\")"}) {
        if (read_value(bad)) std::cerr << "accepted: " << bad << "\n";
        CHECK(!read_value(bad));
    }
}

TEST_CASE("raw control characters and invalid UTF-8 make a string unreadable") {
    CHECK(!read_value("\"a\tb\""));
    CHECK(!read_value("\"a\nb\""));
    CHECK(!read_value(std::string("\"a\0b\"", 5)));
    CHECK(read_value("\"\x7f\"") == MetadataValue(std::string("\x7f")));
    CHECK(read_value("\"\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\""));
    for (const char* bad :
         {"\x80", "\xbf", "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf",
          "\xf0\x80\x80\x80", "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff", "\xe2\x82", "\xc3",
          "\xf0\x9f\x98", "\xc3\x28", "\xe2\x28\xa1"}) {
        // Placed both in a short string and after 8+ plain bytes (the word-at-a-time path).
        for (const std::string& body : {std::string(bad), std::string("abcdefghijkl") + bad + "mnopqrstuvwx"}) {
            CHECK(!read_value("\"" + body + "\""));
            CHECK(!readable("{\"" + body + "\":1}"));
            CHECK(!scan_json_value("\"" + body + "\""));
        }
    }
}

// ---------------------------------------------------------------------------
// Reading: documents
// ---------------------------------------------------------------------------

TEST_CASE("only one object, with surrounding whitespace, is readable") {
    CHECK(readable(" \t\r\n{ \"a\" : [ 1 , 2 ] , \"b\" : { } }\n "));
    CHECK(readable("{}"));
    for (const char* bad : {"",
                            " ",
                            "[1]",
                            "5",
                            "\"x\"",
                            "null",
                            "{} x",
                            "{}{}",
                            "{},",
                            "{\"a\":1,}",
                            "{\"a\":[1,]}",
                            "{\"a\":[1 2]}",
                            "{\"a\" 1}",
                            "{\"a\":}",
                            "{a:1}",
                            "{'a':1}",
                            "{\"a\":1",
                            "{\"a\":[1}",
                            "{\"a\":{}]}",
                            "{\"a\":tru}",
                            "{\"a\":True}",
                            "{\"a\":nulll}",
                            "\xef\xbb\xbf{}"}) {
        if (readable(bad)) std::cerr << "accepted: " << bad << "\n";
        CHECK(!readable(bad));
    }
    CHECK(!readable(std::string("{}\0", 3)));
    CHECK(!readable("\f{}"));  // form feed is not JSON whitespace
}

TEST_CASE("at most 127 levels of containers are readable") {
    CHECK(readable(nested("{\"a\":", 127)));
    CHECK(!readable(nested("{\"a\":", 128)));
    std::string objects = "{";
    for (int i = 1; i < 127; ++i) objects += "\"k\":{";
    objects += std::string(127, '}');
    CHECK(readable(objects));
    CHECK(!readable("{\"k\":{" + objects.substr(1) + "}"));
}

TEST_CASE("duplicate keys keep the last value; nested objects end up sorted and unique") {
    auto m = metadata_from_json_text(R"({"a":1,"b":2,"a":3})");
    REQUIRE(m);
    CHECK_EQ(m->size(), std::size_t{2});
    CHECK(*m->find("a") == MetadataValue(std::uint64_t{3}));
    CHECK_EQ(m->begin()->first, std::string("a"));  // the replaced key keeps its place

    auto o = read_value(R"({"b":1,"ab":2,"a":3,"b":4,"\u00e9":5,"z":6,"":7,"a":8})");
    REQUIRE(o && std::holds_alternative<MetadataObject>(o->v));
    const MetadataObject expected{{"", std::uint64_t{7}},  {"a", std::uint64_t{8}}, {"ab", std::uint64_t{2}},
                                  {"b", std::uint64_t{4}}, {"z", std::uint64_t{6}}, {"\xc3\xa9", std::uint64_t{5}}};
    CHECK(std::get<MetadataObject>(o->v) == expected);
    // Deeper levels are normalised as well.
    CHECK(read_value(R"([{"y":{"d":1,"c":2}}])") ==
          MetadataValue(
              MetadataArray{MetadataObject{{"y", MetadataObject{{"c", std::uint64_t{2}}, {"d", std::uint64_t{1}}}}}}));
}

TEST_CASE("a document round-trips through its stored text") {
    MetadataMap m;
    m.insert_or_assign("name", std::string("caf\xc3\xa9 \"du\" coin\n"));
    m.insert_or_assign("n", std::int64_t{-42});
    m.insert_or_assign("big", std::numeric_limits<std::uint64_t>::max());
    m.insert_or_assign("x", 0.1);
    m.insert_or_assign("one", 1.0);
    m.insert_or_assign("nil", MetadataValue{});
    m.insert_or_assign("tags", MetadataArray{std::string("a"), MetadataArray{}, MetadataObject{}, false});
    m.insert_or_assign("o", MetadataObject{{"a", MetadataObject{{"b", MetadataArray{1.5, std::uint64_t{2}}}}},
                                           {"c", std::string("")}});
    const std::string text = metadata_to_json_text(m);
    auto back = metadata_from_json_text(text);
    REQUIRE(back);
    CHECK(*back == m);
    CHECK_EQ(metadata_to_json_text(*back), text);
}

// ---------------------------------------------------------------------------
// MetadataMap
// ---------------------------------------------------------------------------

TEST_CASE("map keeps unique keys and finds them at any size") {
    MetadataMap m;
    const int n = 100000;
    for (int i = 0; i < n; ++i) m.insert_or_assign("key" + std::to_string(i), std::uint64_t(i));
    for (int i = 0; i < n; i += 3) m.insert_or_assign("key" + std::to_string(i), std::int64_t{-1});
    REQUIRE(m.size() == std::size_t(n));
    int wrong = 0;
    for (int i = 0; i < n; ++i) {
        const MetadataValue* v = m.find("key" + std::to_string(i));
        wrong += !v || !(i % 3 == 0 ? *v == MetadataValue(std::int64_t{-1}) : *v == MetadataValue(std::uint64_t(i)));
    }
    CHECK_EQ(wrong, 0);
    CHECK(!m.find("key") && !m.find("key100000"));
    CHECK_EQ(m.begin()->first, std::string("key0"));  // replaced keys keep their place

    // A copy has its own index; equality ignores order but not kinds.
    MetadataMap copy = m;
    copy.insert_or_assign("key5", 5.0);
    CHECK(*m.find("key5") == MetadataValue(std::uint64_t{5}));
    CHECK(!(copy == m));
    copy.insert_or_assign("key5", std::uint64_t{5});
    CHECK(copy == m);
    MetadataMap reversed;
    for (auto it = m.end(); it != m.begin();) {
        --it;
        reversed.insert_or_assign(it->first, it->second);
    }
    CHECK(reversed == m);
    reversed.insert_or_assign("extra", true);
    CHECK(!(reversed == m) && !(m == reversed));

    auto back = metadata_from_json_text(metadata_to_json_text(m));
    REQUIRE(back);
    CHECK(*back == m);
}

// ---------------------------------------------------------------------------
// scan_json_value
// ---------------------------------------------------------------------------

TEST_CASE("scan measures one value including leading whitespace") {
    CHECK(scan_json_value("{\"a\":1}{\"b\":2}") == std::optional<std::size_t>(7));
    CHECK(scan_json_value("  \n{\"a\":[1,{\"b\":null}]} {}") == std::optional<std::size_t>(23));
    CHECK(scan_json_value("[1, 2] x") == std::optional<std::size_t>(6));
    CHECK(scan_json_value("\"s\"x") == std::optional<std::size_t>(3));
    CHECK(scan_json_value("{}x") == std::optional<std::size_t>(2));
    CHECK(!scan_json_value(""));
    CHECK(!scan_json_value(" \t\r\n"));
    CHECK(!scan_json_value(std::string("\0\0\0", 3)));
    CHECK(!scan_json_value("{\"a\":1"));
    CHECK(!scan_json_value("{\"a\":1,}"));
    CHECK(!scan_json_value("]"));
}

TEST_CASE("scan requires a delimiter after a bare number or literal") {
    CHECK(scan_json_value("12") == std::optional<std::size_t>(2));
    CHECK(scan_json_value(" -1.5e3 ") == std::optional<std::size_t>(7));
    for (const char* ok : {"12,", "12:", "12\"", "12[", "12]", "12{", "12}", "12\t", "12\n", "12\r"})
        CHECK(scan_json_value(ok) == std::optional<std::size_t>(2));
    CHECK(scan_json_value("true}") == std::optional<std::size_t>(4));
    CHECK(scan_json_value("null") == std::optional<std::size_t>(4));
    CHECK(scan_json_value("false{") == std::optional<std::size_t>(5));
    for (const char* bad : {"12x", "12.5.1", "0123", "-", "1.", "truex", "true1", "nul", "nulls", "12/", "1e400 "})
        CHECK(!scan_json_value(bad));
    // A number that overflows a double is not a value, however it is spelled.
    CHECK(!scan_json_value(std::string(400, '9') + " "));
    CHECK(!scan_json_value("[-" + std::string(400, '9') + ".5]"));
    CHECK(scan_json_value("[" + std::string(300, '9') + ",1e-999]"));
}

TEST_CASE("scan applies the same 127-level limit") {
    CHECK(scan_json_value(std::string(127, '[') + std::string(127, ']')) == std::optional<std::size_t>(254));
    CHECK(!scan_json_value(std::string(128, '[') + std::string(128, ']')));
    CHECK(scan_json_value(nested("{\"a\":", 127)));
    CHECK(!scan_json_value(nested("{\"a\":", 128)));
}

TEST_CASE("scan and the reader agree on damaged documents") {
    // Random single-byte damage to typical records: whatever the reader
    // accepts, the scanner measures in full, and the other way round. Reading
    // only some keys accepts the same texts and gives those keys' values.
    const std::string base =
        R"({"name":"caf\u00e9 \"x\" \ud83d\ude00","cat":"shop","rating":4.5,"n":-12,"tags":["a",{"k":[true,false,null]}],"id":123456789,"e":1e-3,"\u0063at":"again"})";
    const std::string wanted[] = {"cat", "n", "tags"};
    const std::string alphabet = "{}[]\",:\\ -+.0123456789eEtrufalsn\xc3\xa9\x80\x01ux";
    std::mt19937 rng(7);
    int disagreements = 0;
    for (int i = 0; i < 50000; ++i) {
        std::string t = base;
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits; ++e) damage(t, rng, alphabet);
        const bool read = readable(t);
        const auto n = scan_json_value(t);
        const std::size_t first = t.find_first_not_of(" \t\r\n");
        const bool whole = n && first != std::string::npos && t[first] == '{' &&
                           t.find_first_not_of(" \t\r\n", *n) == std::string::npos;
        const auto full = metadata_from_json_text(t);
        const auto part = metadata_subset_from_json_text(t, wanted);
        bool same_part = part.has_value() == read;
        if (full && part) {
            for (const auto& [k, v] : *full) {
                const bool want = k == "cat" || k == "n" || k == "tags";
                const MetadataValue* got = part->find(k);
                same_part &= want ? got && *got == v : !got;
            }
        }
        if (read != whole || !same_part) {
            if (++disagreements < 5) std::cerr << "disagree (read=" << read << "): " << t << "\n";
        }
    }
    CHECK_EQ(disagreements, 0);
}

// A random JSON value as a writer other than ours may write it: whitespace,
// escapes, every kind of number, nesting up to `depth` more levels.
std::string random_json(std::mt19937& rng, int depth) {
    static const char* const atoms[] = {"0",
                                        "-0",
                                        "7",
                                        "-12",
                                        "18446744073709551615",
                                        "18446744073709551616",
                                        "-9223372036854775808",
                                        "-9223372036854775809",
                                        "1.5",
                                        "-2e5",
                                        "1E-3",
                                        "0.1",
                                        "1e400",
                                        "1e-400",
                                        "123456789012345678901234",
                                        "true",
                                        "false",
                                        "null",
                                        R"("")",
                                        R"("t3")",
                                        R"("caf\u00e9")",
                                        R"("\ud83d\ude00")",
                                        R"("a\"b\\c\/\n")",
                                        "\"\xc3\xa9t\xc3\xa9\"",
                                        R"("\u0000")",
                                        R"("\ud800")"};
    const auto ws = [&] { return std::string(rng() % 4 == 0 ? rng() % 3 : 0, " \n\t"[rng() % 3]); };
    const int pick = depth > 0 ? static_cast<int>(rng() % 6) : 0;
    if (pick >= 2) {
        const bool object = pick == 5;
        std::string t(1, object ? '{' : '[');
        const int n = static_cast<int>(rng() % 4);
        for (int i = 0; i < n; ++i) {
            if (i) t += ",";
            t += ws();
            if (object) t += std::string("\"") + "bab"[rng() % 3] + "\"" + ws() + ":" + ws();
            t += random_json(rng, depth - 1) + ws();
        }
        return t + (object ? '}' : ']');
    }
    return atoms[rng() % std::size(atoms)];
}

TEST_CASE("copying a JSON value gives the text of the value read, for every text") {
    // Random values, some of them damaged, some nested to the limit: copying
    // accepts what reading accepts, stops at the same byte, and writes the
    // text the writer writes for the value read.
    const std::string alphabet = "{}[]\",:\\ -+.0123456789eEtrufalsn\xc3\xa9\x80\x01ux";
    std::mt19937 rng(2612);
    int disagreements = 0, accepted = 0, stored_form = 0;
    for (int i = 0; i < 60000; ++i) {
        std::string t = random_json(rng, 4);
        if (i % 3 == 0) damage(t, rng, alphabet);
        if (i % 1000 == 0) {  // nested at and beyond the limit
            const int levels = 126 + static_cast<int>(rng() % 3);
            t = std::string(static_cast<std::size_t>(levels), '[') + t +
                std::string(static_cast<std::size_t>(levels), ']');
        }
        const int parent = static_cast<int>(rng() % 2);
        json::JsonCursor read{t.data(), t.data() + t.size()}, copy = read;
        MetadataValue v;
        const bool ok = read.read_value(v, parent);
        std::string want, got = "x";
        if (ok) append_json_value(want, v);
        const bool copied = copy.copy_value(got, parent);
        accepted += ok;
        if (ok != copied || (ok && ("x" + want != got || read.p != copy.p))) {
            if (++disagreements < 5) std::cerr << "disagree (read=" << ok << "): " << t << " -> " << got << "\n";
        }
        // A text taken to be in its stored form is one value whose copy is itself.
        if (json::is_stored_form(t, parent)) {
            ++stored_form;
            if (!ok || want != t || read.p != t.data() + t.size()) {
                if (++disagreements < 5) std::cerr << "not its stored form: " << t << " -> " << want << "\n";
            }
        }
    }
    CHECK_EQ(disagreements, 0);
    CHECK(accepted > 20000);
    CHECK(stored_form > 5000);
}

// ---------------------------------------------------------------------------
// format_coordinate
// ---------------------------------------------------------------------------

TEST_CASE("coordinates are shown in shortest fixed notation") {
    CHECK_EQ(format_coordinate(90.0), std::string("90"));
    CHECK_EQ(format_coordinate(-180.0), std::string("-180"));
    CHECK_EQ(format_coordinate(1e-4), std::string("0.0001"));
    CHECK_EQ(format_coordinate(90.0000001), std::string("90.0000001"));
    CHECK_EQ(format_coordinate(-12.5), std::string("-12.5"));
    CHECK_EQ(format_coordinate(1e21), std::string("1000000000000000000000"));
    CHECK_EQ(format_coordinate(std::nan("")), std::string("NaN"));
    CHECK_EQ(format_coordinate(-std::nan("")), std::string("NaN"));
    CHECK_EQ(format_coordinate(std::numeric_limits<double>::infinity()), std::string("inf"));
    CHECK_EQ(format_coordinate(-std::numeric_limits<double>::infinity()), std::string("-inf"));
    // Extremes stay in fixed notation and still read back exactly.
    for (double d : {5e-324, 1e-300, 1.7976931348623157e308, 123.456e100}) {
        const std::string s = format_coordinate(d);
        CHECK(s.find('e') == std::string::npos);
        CHECK(read_value(s.find('.') == std::string::npos ? s + ".0" : s) == MetadataValue(d));
    }
}
