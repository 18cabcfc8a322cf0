// The one place that talks to the operating system's file services: files,
// whole-file mappings, directory operations and the whole-file write lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>

#include "engine/util/error.hpp"

namespace orbisk {

// An open file descriptor, closed on destruction.
class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(File&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    File& operator=(File&& o) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close(); }

    // open(2) with O_CLOEXEC added; EINTR retried.
    static Result<File> open(const std::string& path, int flags, unsigned mode = 0644);
    // Read/write, created when missing, never truncated.
    static Result<File> open_rw_create(const std::string& path) { return open(path, O_RDWR | O_CREAT); }
    // Created here and now: fails with EEXIST when any file (or link) is already there.
    static Result<File> create_exclusive(const std::string& path);

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close();

    Result<std::uint64_t> length() const;
    Status set_length(std::uint64_t len);
    // Forces written data (and the length) to stable storage.
    Status sync();
    // Writes all of `data` at the current position. A write that
    // accepts no bytes fails with "failed to write whole buffer".
    Status write_all(const void* data, std::size_t len);
    // One write(2) at the current position; returns the number of bytes accepted (> 0).
    Result<std::size_t> write_some(const void* data, std::size_t len);
    // Reads up to `len` bytes at `offset`; returns the count read (short only at end of file).
    Result<std::size_t> pread_full(void* data, std::size_t len, std::uint64_t offset) const;

    // Exclusive lock over the whole file, owned by this open file description:
    // a second descriptor of the same file, in this process or another, waits.
    Status lock_exclusive();
    // Shared lock over the whole file (the descriptor needs only read access):
    // it waits for an exclusive holder and keeps exclusive lockers waiting.
    Status lock_shared();
    void unlock();

private:
    int fd_ = -1;
};

// A file together with a read/write shared mapping of all of it. Acquired
// together, released together.
class MappedFile {
public:
    MappedFile() = default;
    MappedFile(MappedFile&& o) noexcept;
    MappedFile& operator=(MappedFile&& o) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() { release(); }

    // Maps the whole file as it is now.
    static Result<MappedFile> map(File file);
    // A private view of a file opened for reading only, at least `min_len`
    // bytes long: the file's pages copied on first write, and zero pages past
    // its end. What is written through it stays in this process; the file
    // is never written, extended or forced through it.
    static Result<MappedFile> map_private(File file, std::uint64_t min_len);
    bool is_private() const { return private_; }

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::uint64_t size() const { return size_; }
    File& file() { return file_; }

    // Makes the file at least `required` bytes long: the new length is the larger
    // of 2 * required and 2 * the current length; the file is mapped anew. On
    // failure the old mapping stays in use.
    Status grow(std::uint64_t required);
    // Sets the file length to exactly `len` and maps it anew (old mapping kept on failure).
    Status resize_exact(std::uint64_t len);
    // Maps the file anew when another handle has made it longer than the
    // mapping; a file that is not longer keeps its mapping.
    Status follow_file_length();
    // Makes sure the first `end` bytes have storage allocated, so that writing
    // them through the mapping cannot fault on a full disk; allocates ahead in
    // large steps when `ahead`. A file system without allocation support is left as it is.
    Status reserve_backing(std::uint64_t end, bool ahead = true);
    // Writes `len` bytes at `offset`, where the file must be that long and its
    // storage reserved. New bytes go through the file, not the view: pages
    // written by the file system are not mapped into this process, so they
    // cost no page faults now, and the flush that forces them need not
    // write-protect them again in every thread's view. The view shows them
    // all the same (a private view takes them in itself). With `crc`, the
    // CRC of the bytes is continued over them, piece by piece, each just
    // before it is written, so that the bytes are read from memory once.
    // On failure some of the bytes may have been written.
    Status write_at(std::uint64_t offset, const void* data, std::size_t len, std::uint32_t* crc = nullptr);
    // Has the operating system start writing `len` bytes at `offset` back to
    // the disk, without waiting for them: only a head start for a flush that
    // follows, which forces them whatever happens here.
    void start_writeback(std::uint64_t offset, std::uint64_t len);
    // Writes the whole view back and forces the file to stable storage.
    Status flush();
    // Writes back the first `len` bytes of the view and forces the file.
    Status flush_prefix(std::uint64_t len);
    void release();

private:
    Status remap(std::uint64_t new_len);
    Status remap_private(std::uint64_t new_len);
    File file_;
    std::uint8_t* data_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t backed_ = 0;  // bytes known to have storage allocated
    bool allocation_unsupported_ = false;
    bool private_ = false;
};

// The first `len` bytes of an open file, mapped shared (the file must hold
// them), as raw memory that several processes may share. The mapping outlives
// the descriptor it was made from.
class SharedBytes {
public:
    SharedBytes() = default;
    SharedBytes(SharedBytes&& o) noexcept : data_(o.data_), size_(o.size_) {
        o.data_ = nullptr;
        o.size_ = 0;
    }
    SharedBytes& operator=(SharedBytes&& o) noexcept;
    SharedBytes(const SharedBytes&) = delete;
    SharedBytes& operator=(const SharedBytes&) = delete;
    ~SharedBytes() { release(); }

    static Result<SharedBytes> map(const File& file, std::size_t len);
    // The same bytes for reading only (the file may be open for reading only).
    static Result<SharedBytes> map_read_only(const File& file, std::size_t len);
    void* data() const { return data_; }

private:
    void release();
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

// The mapping length must fit a signed 64-bit size.
inline constexpr const char* kMapLengthOverflow = "memory map length overflows isize";

// rename(2) `from` over `to`.
Status rename_file(const std::string& from, const std::string& to);
// Forces the directory holding `path` to stable storage (so a rename in it is durable).
Status sync_parent_directory(const std::string& path);
// Deletes a file; a missing file is not an error for callers that ignore the result.
Status remove_file(const std::string& path);
// Names of the entries of directory `dir` ("." for the current directory).
Result<std::vector<std::string>> list_directory(const std::string& dir);
// True when a file, directory or link exists at `path` (links are not followed).
bool path_exists(const std::string& path);
// Reads a whole file. ENOENT is returned as an Os error with that code.
Result<std::string> read_whole_file(const std::string& path);

}  // namespace orbisk
