#include "engine/storage/wal_writer.hpp"

#include <cstring>

#include "engine/util/crc.hpp"
#include "engine/util/debug_check.hpp"
#include "engine/util/format.hpp"

namespace orbisk {

void seal_wal_frame(std::string& frame) {
    const auto* payload = reinterpret_cast<const std::uint8_t*>(frame.data()) + kWalHeaderSize;
    const std::size_t n = frame.size() - kWalHeaderSize;
    auto* h = reinterpret_cast<std::uint8_t*>(frame.data());
    std::memcpy(h, kWalMagic, 4);
    store_u32(h + 4, static_cast<std::uint32_t>(n));
    store_u32(h + 8, crc32(payload, n));
}

void WalWriter::attach(File file, std::uint64_t offset) {
    file_ = std::move(file);
    buf_.clear();
    buf_.reserve(kWalBufferSize);
    file_len_ = offset;
}

Status WalWriter::append(std::string_view bytes) {
    if (buf_.size() + bytes.size() > kWalBufferSize)
        if (auto st = flush_buffer(); !st) return st;
    if (bytes.size() >= kWalBufferSize) return write_through(bytes.data(), bytes.size(), false);
    buf_.append(bytes);
    return {};
}

Status WalWriter::flush_buffer() { return write_through(buf_.data(), buf_.size(), true); }

// Writes bytes to the file, counting every byte the file accepted even when a
// later write fails, so that `file_len_` always matches the file. When the
// bytes are the buffer's own, the written ones leave the buffer.
Status WalWriter::write_through(const char* data, std::size_t len, bool from_buffer) {
    std::size_t done = 0;
    Status st;
    while (done < len) {
        auto n = file_.write_some(data + done, len - done);
        if (!n) {
            st = fail(n.error());
            break;
        }
        done += *n;
        file_len_ += *n;
    }
    if (from_buffer) buf_.erase(0, done);
    return st;
}

Status WalWriter::truncate_to(std::uint64_t pos) {
    ORBISK_DCHECK(pos <= position());
    if (pos >= file_len_) {
        buf_.resize(pos - file_len_);
        return {};
    }
    buf_.clear();
    if (auto st = file_.set_length(pos); !st) return st;
    file_len_ = pos;
    return file_.sync();
}

Status WalWriter::reset(bool force) {
    buf_.clear();
    if (auto st = file_.set_length(0); !st) return st;
    file_len_ = 0;
    if (force) return file_.sync();
    return {};
}

}  // namespace orbisk
