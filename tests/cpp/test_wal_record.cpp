#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/storage/wal_record.hpp"

using namespace orbisk;

namespace {

std::string insert_payload(std::uint64_t seq, double lat, double lon, std::string_view meta) {
    std::string out;
    append_insert_payload(out, seq, lat, lon, meta);
    return out;
}

std::string delete_payload(std::uint64_t seq, std::vector<std::uint64_t> ids) {
    std::string out;
    append_delete_payload(out, seq, ids);
    return out;
}

bool decodes(std::string_view payload) { return decode_wal_payload(payload).has_value(); }

// An insert payload with the given body of the Insert object.
std::string with_insert_fields(std::string_view fields) {
    return "{\"seq\":1,\"op\":{\"Insert\":{" + std::string(fields) + "}}}";
}

}  // namespace

TEST_CASE("payloads are encoded exactly") {
    CHECK_EQ(insert_payload(7, 1.5, -2.0, "{\"a\":1}"),
             std::string(R"({"seq":7,"op":{"Insert":{"lat":1.5,"lon":-2.0,"meta_json":"{\"a\":1}"}}})"));
    CHECK_EQ(delete_payload(8, {3, 4}), std::string(R"({"seq":8,"op":{"Delete":{"ids":[3,4]}}})"));
    CHECK_EQ(delete_payload(0, {}), std::string(R"({"seq":0,"op":{"Delete":{"ids":[]}}})"));
    CHECK_EQ(delete_payload(std::numeric_limits<std::uint64_t>::max(), {std::numeric_limits<std::uint64_t>::max()}),
             std::string(R"({"seq":18446744073709551615,"op":{"Delete":{"ids":[18446744073709551615]}}})"));
    CHECK_EQ(
        insert_payload(0, 0.1, 1e-7, "{\"s\":\"a\\nb\"}\n\x01"),
        std::string(R"({"seq":0,"op":{"Insert":{"lat":0.1,"lon":1e-07,"meta_json":"{\"s\":\"a\\nb\"}\n\u0001"}}})"));
    // Appending keeps what the buffer already holds.
    std::string buf = "HEAD";
    append_delete_payload(buf, 1, std::vector<std::uint64_t>{2});
    CHECK_EQ(buf, std::string(R"(HEAD{"seq":1,"op":{"Delete":{"ids":[2]}}})"));
}

TEST_CASE("payloads decode back to the record that was encoded") {
    const std::string meta = "{\"name\":\"caf\xc3\xa9 \\\"x\\\"\",\"t\":\"\t\"}";
    for (double lat : {0.0, -0.0, 90.0, -89.999999999, 5e-324, 1.7976931348623157e308}) {
        auto rec = decode_wal_payload(insert_payload(42, lat, -lat, meta));
        REQUIRE(rec);
        CHECK_EQ(rec->seq, std::uint64_t{42});
        REQUIRE(std::holds_alternative<WalInsert>(rec->op));
        const auto& ins = std::get<WalInsert>(rec->op);
        CHECK_EQ(std::bit_cast<std::uint64_t>(ins.lat), std::bit_cast<std::uint64_t>(lat));
        CHECK_EQ(std::bit_cast<std::uint64_t>(ins.lon), std::bit_cast<std::uint64_t>(-lat));
        CHECK_EQ(ins.meta_json, meta);
    }
    const std::vector<std::uint64_t> ids{0, 1, 18446744073709551615ULL, 7, 7};
    auto del = decode_wal_payload(delete_payload(9, ids));
    REQUIRE(del);
    CHECK(*del == (WalRecord{9, WalDelete{ids}}));
    auto empty = decode_wal_payload(delete_payload(3, {}));
    REQUIRE(empty);
    CHECK(*empty == (WalRecord{3, WalDelete{}}));
}

TEST_CASE("decoding tolerates whitespace, any key order, unknown keys and escaped key names") {
    auto rec = decode_wal_payload(
        " \n{ \"op\" : { \"Insert\" : { \"meta_json\" : \"{}\" , \"x\" : [ {\"y\":[1,2.5e3,\"z\"]} , null ] ,"
        " \"lon\" : 2 , \"lat\" : -3.25 } } , \"extra\" : {\"seq\":\"not this one\"} , \"seq\" : 5 } \r\n\t ");
    REQUIRE(rec);
    CHECK(*rec == (WalRecord{5, WalInsert{-3.25, 2.0, "{}"}}));

    auto del = decode_wal_payload(R"({"seq":1,"op":{"Delete":{"more":true,"ids":[ 1 , 2 ]}},"seq2":9})");
    REQUIRE(del);
    CHECK(*del == (WalRecord{1, WalDelete{{1, 2}}}));

    auto escaped = decode_wal_payload(R"({"\u0073eq":4,"o\u0070":{"D\u0065lete":{"id\u0073":[]}}})");
    REQUIRE(escaped);
    CHECK(*escaped == (WalRecord{4, WalDelete{}}));

    // Any valid escaping of the metadata text is accepted.
    auto meta = decode_wal_payload(with_insert_fields(R"("lat":0,"lon":0,"meta_json":"{\u0022a\"\/:1}")"));
    REQUIRE(meta);
    CHECK_EQ(std::get<WalInsert>(meta->op).meta_json, std::string("{\"a\"/:1}"));
}

TEST_CASE("coordinates accept any JSON number and refuse the rest") {
    auto lat_of = [](std::string_view text) -> std::optional<double> {
        auto rec =
            decode_wal_payload(with_insert_fields("\"lat\":" + std::string(text) + ",\"lon\":0,\"meta_json\":\"{}\""));
        if (!rec) return std::nullopt;
        return std::get<WalInsert>(rec->op).lat;
    };
    CHECK(lat_of("12") == std::optional<double>(12.0));
    CHECK(lat_of("-12") == std::optional<double>(-12.0));
    CHECK(lat_of("18446744073709551615") == std::optional<double>(18446744073709551615.0));
    CHECK(lat_of("1e2") == std::optional<double>(100.0));
    CHECK(lat_of("1e-400") == std::optional<double>(0.0));
    for (const char* bad :
         {"1e400", "-1e400", "\"1\"", "null", "true", "[1]", "{}", "NaN", "01", "1.", "+1", "Infinity"})
        CHECK(!lat_of(bad));
}

TEST_CASE("seq and ids must be unsigned 64-bit integers") {
    auto seq_ok = [](std::string_view seq) {
        return decodes("{\"seq\":" + std::string(seq) + ",\"op\":{\"Delete\":{\"ids\":[]}}}");
    };
    CHECK(seq_ok("0"));
    CHECK(seq_ok("18446744073709551615"));
    for (const char* bad : {"18446744073709551616", "-1", "1.0", "1e3", "\"1\"", "null", "[1]", "00", "0x1"})
        CHECK(!seq_ok(bad));

    auto ids_ok = [](std::string_view ids) {
        return decodes("{\"seq\":0,\"op\":{\"Delete\":{\"ids\":" + std::string(ids) + "}}}");
    };
    CHECK(ids_ok("[]"));
    CHECK(ids_ok("[ 0 ,18446744073709551615 ]"));
    for (const char* bad : {"[-1]", "[1.5]", "[1e0]", "[18446744073709551616]", "[\"1\"]", "[null]", "[1,]", "[,1]",
                            "[1 2]", "[[1]]", "{}", "1", "null", "[1"})
        CHECK(!ids_ok(bad));
}

TEST_CASE("missing, repeated or misplaced known keys fail") {
    for (const char* bad : {
             R"({"op":{"Delete":{"ids":[]}}})",
             R"({"seq":1})",
             R"({})",
             "",
             " ",
             R"("seq")",
             R"([1,{"Delete":{"ids":[]}}])",
             R"({"seq":1,"seq":1,"op":{"Delete":{"ids":[]}}})",
             R"({"seq":1,"op":{"Delete":{"ids":[]}},"op":{"Delete":{"ids":[]}}})",
             R"({"seq":1,"op":{"Delete":{"ids":[],"ids":[]}}})",
             R"({"seq":1,"op":{"Delete":{}}})",
             // op: exactly one member naming a variant, holding an object
             R"({"seq":1,"op":{}})",
             R"({"seq":1,"op":{"Delete":{"ids":[]},"x":1}})",
             R"({"seq":1,"op":{"Delete":{"ids":[]},"Insert":{"lat":0,"lon":0,"meta_json":""}}})",
             R"({"seq":1,"op":{"Update":{"ids":[]}}})",
             R"({"seq":1,"op":{"delete":{"ids":[]}}})",
             R"({"seq":1,"op":"Delete"})",
             R"({"seq":1,"op":[]})",
             R"({"seq":1,"op":{"Delete":[[]]}})",
             // Insert fields
             R"({"seq":1,"op":{"Insert":{"lat":0,"lon":0}}})",
             R"({"seq":1,"op":{"Insert":{"lat":0,"meta_json":""}}})",
             R"({"seq":1,"op":{"Insert":{"lon":0,"meta_json":""}}})",
             R"({"seq":1,"op":{"Insert":{"lat":0,"lat":0,"lon":0,"meta_json":""}}})",
             R"({"seq":1,"op":{"Insert":{"lat":0,"lon":0,"meta_json":"","meta_json":""}}})",
             R"({"seq":1,"op":{"Insert":{"lat":0,"lon":0,"meta_json":{}}}})",
             R"({"seq":1,"op":{"Insert":{"lat":0,"lon":0,"meta_json":null}}})",
         }) {
        if (decodes(bad)) std::cerr << "accepted: " << bad << "\n";
        CHECK(!decodes(bad));
    }
}

TEST_CASE("anything but whitespace after the record fails, as does any truncation") {
    const std::string good = insert_payload(3, 1.25, -7.5, "{\"k\":[1,\"\\u00e9\"]}");
    REQUIRE(decodes(good));
    CHECK(decodes(good + " \t\r\n"));
    for (const char* tail : {"x", "{}", ",", "\f", "0", "\"\""}) CHECK(!decodes(good + tail));
    CHECK(!decodes(good + std::string(1, '\0')));
    int accepted_prefixes = 0;
    for (std::size_t n = 0; n < good.size(); ++n) accepted_prefixes += decodes(std::string_view(good).substr(0, n));
    CHECK_EQ(accepted_prefixes, 0);
}

TEST_CASE("unknown values must still be valid JSON within the depth limit") {
    CHECK(!decodes(R"({"seq":1,"x":[1,],"op":{"Delete":{"ids":[]}}})"));
    CHECK(!decodes(R"({"seq":1,"x":tru,"op":{"Delete":{"ids":[]}}})"));
    CHECK(!decodes(R"({"seq":1,"x":"\ud800","op":{"Delete":{"ids":[]}}})"));
    CHECK(!decodes(R"({"seq":1,"x":1e999,"op":{"Delete":{"ids":[]}}})"));
    CHECK(!decodes("{\"seq\":1,\"x\":\"\xc0\xaf\",\"op\":{\"Delete\":{\"ids\":[]}}}"));
    CHECK(!decodes(with_insert_fields("\"lat\":0,\"lon\":0,\"meta_json\":\"\xed\xa0\x80\"")));
    CHECK(!decodes(with_insert_fields("\"lat\":0,\"lon\":0,\"meta_json\":\"a\nb\"")));

    // The record is level 1: an unknown member of it may open 126 more levels.
    auto at_record = [](int levels) {
        return R"({"seq":1,"x":)" + std::string(levels, '[') + std::string(levels, ']') +
               R"(,"op":{"Delete":{"ids":[]}}})";
    };
    CHECK(decodes(at_record(126)));
    CHECK(!decodes(at_record(127)));
    // The Insert fields are level 3: 124 more levels.
    auto at_fields = [](int levels) {
        return with_insert_fields(R"("lat":0,"lon":0,"meta_json":"","x":)" + std::string(levels, '[') +
                                  std::string(levels, ']'));
    };
    CHECK(decodes(at_fields(124)));
    CHECK(!decodes(at_fields(125)));
}

TEST_CASE("a delete's previous records round-trip, and any other shape of them reads as none") {
    const std::vector<std::uint64_t> ids{4, 9};
    std::vector<CoordBytes> prev(2);
    for (std::size_t i = 0; i < 16; ++i) {
        prev[0][i] = static_cast<std::uint8_t>(i);
        prev[1][i] = static_cast<std::uint8_t>(0xf0 + i);
    }
    std::string out;
    append_delete_payload(out, 3, ids, prev);
    CHECK_EQ(out, std::string(R"({"seq":3,"op":{"Delete":{"ids":[4,9],"prev_coords":)"
                              R"(["000102030405060708090a0b0c0d0e0f","f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"]}}})"));
    auto rec = decode_wal_payload(out);
    REQUIRE(rec);
    CHECK(*rec == (WalRecord{3, WalDelete{ids, prev}}));

    const std::string a = "\"000102030405060708090A0B0C0D0E0F\"", b = "\"f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff\"";
    auto prev_of = [](const std::string& field) -> std::optional<std::size_t> {
        auto r = decode_wal_payload(R"({"seq":1,"op":{"Delete":{)" + field + R"(,"ids":[4,9]}}})");
        if (!r) return std::nullopt;
        return std::get<WalDelete>(r->op).prev.size();
    };
    CHECK(prev_of("\"prev_coords\":[" + a + "," + b + "]") == std::optional<std::size_t>(2));  // either case of hex
    const std::string key = "\"prev_coords\":";
    const std::vector<std::string> unusable{
        key + "[" + a + "]",                                    // fewer than the ids
        key + "[" + a + "," + b + "," + b + "]",                // more
        key + "[" + a + ",\"00\"]",                             // a record too short
        key + "[" + a + ",\"" + std::string(31, '0') + "g\"]",  // not hex
        key + "[" + a + ",[1,{\"x\":2}]]",                      // not a string
        key + a,                                                // not an array
        key + "null",
        key + "[" + a + "," + b + "]," + key + "[]",  // twice
    };
    for (const auto& field : unusable) CHECK(prev_of(field) == std::optional<std::size_t>(0));
    // Broken JSON inside it breaks the record, as anywhere else.
    CHECK(!prev_of("\"prev_coords\":[" + a + ","));
    CHECK(!prev_of("\"prev_coords\":[" + a + " " + b + "]"));
}
