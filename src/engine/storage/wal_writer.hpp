// The buffered appender of the write-ahead log and the framing of its records:
// "OWR2", payload length (u32), CRC-32 of the payload (u32), payload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/util/error.hpp"
#include "engine/util/fs.hpp"

namespace orbisk {

inline constexpr std::size_t kWalBufferSize = 8192;
inline constexpr std::size_t kWalHeaderSize = 12;
inline constexpr char kWalMagic[4] = {'O', 'W', 'R', '2'};

// Fills the 12-byte frame header at the front of `frame` for the payload that
// follows it. The payload must be shorter than 2^32 bytes.
void seal_wal_frame(std::string& frame);

class WalWriter {
public:
    // Installs `file` (opened for appending, `offset` bytes long) with an empty buffer.
    void attach(File file, std::uint64_t offset);
    // The file is now `offset` bytes long (after replay cut it back); empties the buffer.
    void reposition(std::uint64_t offset) {
        buf_.clear();
        file_len_ = offset;
    }
    File& file() { return file_; }

    // Buffered append: bytes may stay in memory until the buffer overflows or is flushed.
    Status append(std::string_view bytes);
    // Hands every buffered byte to the operating system.
    Status flush_buffer();
    Status sync() { return file_.sync(); }
    // Logical end of the log: bytes in the file plus bytes in the buffer.
    std::uint64_t position() const { return file_len_ + buf_.size(); }
    // Takes back everything after `pos`, from the buffer and, when needed, from
    // the file (whose new length is then forced to stable storage).
    Status truncate_to(std::uint64_t pos);
    // Empties the log file (forcing the new length when `force`) and the buffer.
    Status reset(bool force);

private:
    Status write_through(const char* data, std::size_t len, bool from_buffer);
    File file_;
    std::string buf_;
    std::uint64_t file_len_ = 0;
};

}  // namespace orbisk
