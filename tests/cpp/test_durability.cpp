// The engine under failing system calls where Python cannot reach yet: a
// delete whose record cannot be taken back out of the log, a checkpoint whose
// directory force fails, and a delete logged as several records.
#include <algorithm>
#include <filesystem>
#include <string>

#include "check.hpp"
#include "engine/storage/manifest.hpp"
#include "engine/storage/storage.hpp"
#include "engine/storage/wal_scan.hpp"
#include "engine/util/fault_injection.hpp"
#include "engine/util/format.hpp"

using namespace orbisk;
namespace fi = orbisk::fault_injection;

namespace {

struct Scratch {
    std::string path;
    Scratch() {
        char tmpl[] = "/tmp/orbisk-durability-test-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~Scratch() {
        fi::disarm();
        std::filesystem::remove_all(path);
    }
    std::unique_ptr<Storage> open() const {
        auto st = Storage::open(OpenOptions{path + "/geo.coords.mmap", path + "/geo.metadata.mmap", 16, 0, false});
        REQUIRE(st.has_value());
        return std::move(*st);
    }
};

// Index of the first call of kind `c` that `run` makes.
template <class F>
std::uint64_t first_call(SysCall c, F run) {
    fi::arm(std::nullopt);
    run();
    const auto ev = fi::events();
    fi::disarm();
    const auto it = std::find_if(ev.begin(), ev.end(), [&](const fi::Event& e) { return e.call == c; });
    REQUIRE(it != ev.end());
    return static_cast<std::uint64_t>(it - ev.begin());
}

}  // namespace

TEST_CASE("a delete that cannot be taken back out of the log leaves the store refusing writes") {
    Scratch dir;
    auto s = dir.open();
    for (int i = 0; i < 4; ++i) REQUIRE(s->insert_point(PendingPoint{1.0 * i, 2.0, "{}"}).has_value());
    const std::uint64_t first[] = {0};
    const auto force = first_call(SysCall::Fdatasync, [&] { REQUIRE(s->delete_slots(first).has_value()); });

    // The log force of the next delete fails, and so does cutting its record back.
    fi::arm(fi::Plan{{force, force + 1}, EIO, false, false});
    const std::uint64_t second[] = {2};
    auto r = s->delete_slots(second);
    fi::disarm();
    REQUIRE(!r.has_value());
    const std::string eio = os_error_text(EIO);
    CHECK_EQ(r.error().message, "Input/output error (os error 5); the log could not be cut back (" + eio +
                                    "), so the deletion may still be stored");
    CHECK_EQ(s->live_count(), 3u);

    const std::string refusal = "the store must be opened again: a write failed (" + eio +
                                ") and could not be taken back out of the log (" + eio + ")";
    auto ins = s->insert_point(PendingPoint{0, 0, "{}"});
    REQUIRE(!ins.has_value());
    CHECK(ins.error().kind == ErrorKind::Reopen);
    CHECK_EQ(ins.error().message, refusal);
    auto del = s->delete_slots(second);
    REQUIRE(!del.has_value());
    CHECK_EQ(del.error().message, refusal);
    auto cp = s->checkpoint(true);
    REQUIRE(!cp.has_value());
    CHECK_EQ(cp.error().message, refusal);
    const PendingPoint batch[] = {{0, 0, "{}"}};
    auto w = s->write_points(batch);
    REQUIRE(w.has_value());
    CHECK(!w->kept && w->error.kind == ErrorKind::Reopen);
    CHECK_EQ(s->next_slot(), 4u);

    // The record stayed in the log: opening the store again replays the delete.
    s.reset();
    auto again = dir.open();
    CHECK_EQ(again->next_slot(), 4u);
    CHECK_EQ(again->live_count(), 2u);
    CHECK(!again->records().read_live_record(2));
    CHECK(again->insert_point(PendingPoint{5, 5, "{}"}).value_or(0) == 4u);
}

TEST_CASE("a checkpoint whose directory force fails keeps the log and the header counts") {
    Scratch dir;
    auto s = dir.open();
    REQUIRE(s->checkpoint(true).has_value());
    for (int i = 0; i < 3; ++i) REQUIRE(s->insert_point(PendingPoint{1.0 * i, 2.0, "{\"a\":1}"}).has_value());
    const auto wal_len = std::filesystem::file_size(s->wal_path());
    REQUIRE(wal_len > 0);

    // The directory force fails: the new manifest stands, but is not durable.
    std::uint64_t force = 0;
    {
        Scratch probe_dir;
        auto p = probe_dir.open();
        REQUIRE(p->insert_point(PendingPoint{0, 0, "{}"}).has_value());
        force = first_call(SysCall::Fsync, [&] { (void)p->checkpoint(true); });
    }
    fi::arm(fi::Plan{{force}, EIO, false, false});
    bool committed = false;
    auto r = s->checkpoint(true, &committed);
    fi::disarm();
    REQUIRE(!r.has_value());
    CHECK_EQ(r.error().message, os_error_text(EIO));
    CHECK(committed);
    auto m = read_manifest(s->manifest_path());
    REQUIRE(m.has_value() && m->has_value());
    CHECK_EQ((*m)->next_slot, 3u);
    // Should the old manifest (0 slots) come back, the log still holds the three points.
    CHECK_EQ(std::filesystem::file_size(s->wal_path()), wal_len);
    CHECK_EQ(load_u64(s->records().coords().data() + 8), 0u);
    CHECK_EQ(load_u64(s->records().metadata().data() + 8), 0u);

    // The next checkpoint that is durable empties the log.
    REQUIRE(s->checkpoint(true).has_value());
    CHECK_EQ(std::filesystem::file_size(s->wal_path()), 0u);
    CHECK_EQ(load_u64(s->records().coords().data() + 8), 3u);
}

TEST_CASE("a large delete is logged as several records, forced once, and replayed whole") {
    Scratch dir;
    auto s = dir.open();
    for (int i = 0; i < 6; ++i) REQUIRE(s->insert_point(PendingPoint{1.0 * i, 2.0, "{}"}).has_value());
    REQUIRE(s->checkpoint(true).has_value());
    const std::uint64_t seq = s->wal_seq();
    const std::uint64_t doomed[] = {5, 0, 3, 1, 4};
    // The checkpoint after the delete fails at once: the records stay in the log.
    const auto msync = first_call(SysCall::Msync, [&] { REQUIRE(s->checkpoint(true).has_value()); });
    fi::arm(fi::Plan{{msync + 2}, EIO, false, false});
    auto r = s->delete_slots(doomed, 2);
    const auto events = fi::events();
    fi::disarm();
    REQUIRE(r.has_value());
    CHECK_EQ(*r, 5u);
    CHECK_EQ(s->wal_seq(), seq + 3);
    CHECK_EQ(std::count_if(events.begin(), events.end(),
                           [&](const fi::Event& e) { return e.call == SysCall::Fdatasync && e.path == s->wal_path(); }),
             2);  // the records' force, and the checkpoint's before it failed

    auto wal = read_whole_file(s->wal_path());
    REQUIRE(wal.has_value());
    std::vector<WalRecord> records;
    auto file = File::open(s->wal_path(), O_RDONLY);
    REQUIRE(file.has_value());
    auto end = scan_wal(*file, wal->size(), [&](const WalRecord& rec, std::uint64_t) -> Status {
        records.push_back(rec);
        return {};
    });
    REQUIRE(end.has_value() && *end == wal->size());
    REQUIRE(records.size() == 3);
    const std::vector<std::vector<std::uint64_t>> parts{{5, 0}, {3, 1}, {4}};
    for (std::size_t i = 0; i < 3; ++i) {
        CHECK_EQ(records[i].seq, seq + i);
        const auto& del = std::get<WalDelete>(records[i].op);
        CHECK(del.ids == parts[i]);
        REQUIRE(del.prev.size() == parts[i].size());
        CHECK_EQ(load_f64(del.prev[0].data()), 1.0 * parts[i][0]);
    }
    s.reset();
    auto again = dir.open();
    CHECK_EQ(again->live_count(), 1u);
    CHECK_EQ(again->wal_seq(), seq + 3);
    CHECK(again->records().read_live_record(2).has_value());
}
