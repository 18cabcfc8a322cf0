#include "engine/storage/wal_scan.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/metadata/metadata.hpp"
#include "engine/storage/wal_writer.hpp"
#include "engine/util/crc.hpp"
#include "engine/util/format.hpp"

namespace orbisk {

namespace {

// Reads a file front to back in large blocks, keeping the unread rest.
class BlockReader {
public:
    BlockReader(const File& f, std::uint64_t len) : file_(f), len_(len) {}
    // Makes `n` bytes at `pos` available (pos never goes backwards).
    Result<const std::uint8_t*> view(std::uint64_t pos, std::uint64_t n) {
        if (pos < start_ || pos + n > start_ + buf_.size()) {
            const std::uint64_t want = std::max<std::uint64_t>(n, kBlock);
            const std::uint64_t take = std::min<std::uint64_t>(want, len_ - pos);
            buf_.resize(take);
            auto got = file_.pread_full(buf_.data(), take, pos);
            if (!got) return fail(got.error());
            if (*got < n) return fail(Error::os(EIO));
            buf_.resize(*got);
            start_ = pos;
        }
        return buf_.data() + (pos - start_);
    }

private:
    static constexpr std::uint64_t kBlock = 1 << 20;
    const File& file_;
    std::uint64_t len_;
    std::uint64_t start_ = 0;
    std::vector<std::uint8_t> buf_;
};

bool is_json_object_text(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    if (i == text.size() || text[i] != '{') return false;
    auto k = scan_json_value(text);
    return k && *k == text.size();
}

}  // namespace

Result<std::uint64_t> scan_wal(const File& log, std::uint64_t len,
                               const std::function<Status(const WalRecord&, std::uint64_t)>& on_record,
                               std::uint64_t from) {
    BlockReader reader(log, len);
    std::uint64_t p = std::min(from, len);
    for (;;) {
        if (len - p < 4) break;
        auto head = reader.view(p, std::min<std::uint64_t>(kWalHeaderSize, len - p));
        // A log we cannot read is not cut back: that would throw away records
        // that may well be intact.
        if (!head) return fail(head.error());
        if (std::memcmp(*head, kWalMagic, 4) != 0) break;
        if (len - p < kWalHeaderSize) break;
        const std::uint64_t n = load_u32(*head + 4);
        const std::uint32_t crc = load_u32(*head + 8);
        if (n > len - p - kWalHeaderSize) break;
        auto body = reader.view(p + kWalHeaderSize, n);
        if (!body) return fail(body.error());
        if (crc32(*body, n) != crc) break;
        auto rec = decode_wal_payload(std::string_view(reinterpret_cast<const char*>(*body), n));
        // No record can follow the last sequence number; one that claims it is not ours.
        if (!rec || rec->seq == ~std::uint64_t{0}) break;
        // Text that is not one JSON object would corrupt the boundaries of the
        // metadata entries; such a record does not decode.
        if (auto* ins = std::get_if<WalInsert>(&rec->op); ins && !is_json_object_text(ins->meta_json)) break;
        if (auto st = on_record(*rec, p); !st) return fail(st.error());
        p += kWalHeaderSize + n;
    }
    return p;
}

}  // namespace orbisk
