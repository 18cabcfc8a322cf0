#include "engine/util/fs.hpp"

#include "engine/util/crc.hpp"
#include "engine/util/fault_injection.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace orbisk {

namespace {

template <class F>
auto retry_eintr(F f) {
    for (;;) {
        auto r = f();
        if (r != -1 || errno != EINTR) return r;
    }
}

// One system call on a file of a store, retried while it is interrupted. `fd`
// or `path` tells the test build's failure hook what the call works on.
template <class F>
auto os_call(SysCall call, int fd, const char* path, F f) {
    for (;;) {
        auto r = sys(call, fd, path, f);
        bool failed;
        if constexpr (std::is_pointer_v<decltype(r)>)
            failed = r == MAP_FAILED;
        else
            failed = r == -1;
        if (!failed || errno != EINTR) return r;
    }
}

Status os_fail() { return fail(Error::os(errno)); }

std::string parent_directory(const std::string& path) {
    std::filesystem::path p(path);
    auto parent = p.parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

}  // namespace

File& File::operator=(File&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

void File::close() {
    if (fd_ >= 0) {
        ::close(fd_);  // the descriptor is gone even when close reports an error
        fd_ = -1;
    }
}

Result<File> File::open(const std::string& path, int flags, unsigned mode) {
    int fd = os_call(SysCall::Open, -1, path.c_str(), [&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
    if (fd < 0) return fail(Error::os(errno));
    return File(fd);
}

Result<File> File::create_exclusive(const std::string& path) {
    return open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
}

Result<std::uint64_t> File::length() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return fail(Error::os(errno));
    return static_cast<std::uint64_t>(st.st_size);
}

Status File::set_length(std::uint64_t len) {
    if (len > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return fail(Error::os(EFBIG));
    if (os_call(SysCall::Ftruncate, fd_, nullptr, [&] { return ::ftruncate(fd_, static_cast<off_t>(len)); }) != 0)
        return os_fail();
    return {};
}

Status File::sync() {
    if (os_call(SysCall::Fdatasync, fd_, nullptr, [&] { return ::fdatasync(fd_); }) != 0) return os_fail();
    return {};
}

Result<std::size_t> File::write_some(const void* data, std::size_t len) {
    ssize_t n = os_call(SysCall::Write, fd_, nullptr, [&] { return ::write(fd_, data, len); });
    if (n < 0) return fail(Error::os(errno));
    if (n == 0) return fail(Error::os_message("failed to write whole buffer"));
    return static_cast<std::size_t>(n);
}

Status File::write_all(const void* data, std::size_t len) {
    auto p = static_cast<const std::uint8_t*>(data);
    while (len > 0) {
        auto n = write_some(p, len);
        if (!n) return fail(n.error());
        p += *n;
        len -= *n;
    }
    return {};
}

Result<std::size_t> File::pread_full(void* data, std::size_t len, std::uint64_t offset) const {
    auto p = static_cast<std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = retry_eintr([&] { return ::pread(fd_, p + done, len - done, static_cast<off_t>(offset + done)); });
        if (n < 0) return fail(Error::os(errno));
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

namespace {
// An open-file-description lock request over the whole file.
int ofd_lock(int fd, short type, int cmd) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;  // l_start 0, l_len 0: to the end of the file, however long it gets
    return os_call(SysCall::Fcntl, fd, nullptr, [&] { return ::fcntl(fd, cmd, &fl); });
}
}  // namespace

Status File::lock_exclusive() {
    if (ofd_lock(fd_, F_WRLCK, F_OFD_SETLKW) != 0) return os_fail();
    return {};
}

Status File::lock_shared() {
    if (ofd_lock(fd_, F_RDLCK, F_OFD_SETLKW) != 0) return os_fail();
    return {};
}

void File::unlock() { ofd_lock(fd_, F_UNLCK, F_OFD_SETLK); }

MappedFile::MappedFile(MappedFile&& o) noexcept
    : file_(std::move(o.file_)),
      data_(o.data_),
      size_(o.size_),
      backed_(o.backed_),
      allocation_unsupported_(o.allocation_unsupported_),
      private_(o.private_) {
    o.data_ = nullptr;
    o.size_ = 0;
    o.backed_ = 0;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
    if (this != &o) {
        release();
        file_ = std::move(o.file_);
        data_ = o.data_;
        size_ = o.size_;
        backed_ = o.backed_;
        allocation_unsupported_ = o.allocation_unsupported_;
        private_ = o.private_;
        o.data_ = nullptr;
        o.size_ = 0;
        o.backed_ = 0;
    }
    return *this;
}

void MappedFile::release() {
    if (data_) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
    backed_ = 0;
    file_.close();
}

Result<MappedFile> MappedFile::map(File file) {
    auto len = file.length();
    if (!len) return fail(len.error());
    MappedFile m;
    m.file_ = std::move(file);
    if (auto st = m.remap(*len); !st) return fail(st.error());
    return m;
}

Result<MappedFile> MappedFile::map_private(File file, std::uint64_t min_len) {
    auto len = file.length();
    if (!len) return fail(len.error());
    MappedFile m;
    m.file_ = std::move(file);
    m.private_ = true;
    if (auto st = m.remap_private(std::max(*len, min_len)); !st) return fail(st.error());
    return m;
}

Status MappedFile::remap_private(std::uint64_t new_len) {
    if (new_len > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return fail(Error::os_message(kMapLengthOverflow));
    const std::uint64_t len = std::max<std::uint64_t>(new_len, 1);
    // Zero pages first, then the file's pages over their front: pages past the
    // end of a file mapping would fault, these read as zeros.
    void* v = os_call(SysCall::Mmap, -1, nullptr, [&] {
        return ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    });
    if (v == MAP_FAILED) return os_fail();
    auto* p = static_cast<std::uint8_t*>(v);
    if (data_) {
        // What this view holds already, this process's writes included.
        std::memcpy(p, data_, std::min(size_, new_len));
    } else {
        auto file_len = file_.length();
        if (!file_len) {
            ::munmap(v, len);
            return fail(file_len.error());
        }
        const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const std::uint64_t part = std::min(*file_len, len);
        const std::uint64_t part_pages = (part + page - 1) / page * page;
        if (part_pages > 0) {
            void* f = os_call(SysCall::Mmap, file_.fd(), nullptr, [&] {
                return ::mmap(v, part_pages, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED | MAP_NORESERVE,
                              file_.fd(), 0);
            });
            if (f == MAP_FAILED) {
                const int err = errno;
                ::munmap(v, len);
                return fail(Error::os(err));
            }
        }
    }
    if (data_) ::munmap(data_, size_);
    data_ = p;
    size_ = new_len;
    return {};
}

Status MappedFile::remap(std::uint64_t new_len) {
    if (private_) return remap_private(new_len);
    if (new_len > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return fail(Error::os_message(kMapLengthOverflow));
    std::uint8_t* p = nullptr;
    if (new_len > 0) {
        void* v = os_call(SysCall::Mmap, file_.fd(), nullptr,
                          [&] { return ::mmap(nullptr, new_len, PROT_READ | PROT_WRITE, MAP_SHARED, file_.fd(), 0); });
        if (v == MAP_FAILED) return os_fail();
        p = static_cast<std::uint8_t*>(v);
    }
    if (data_) ::munmap(data_, size_);
    data_ = p;
    size_ = new_len;
    return {};
}

Status MappedFile::grow(std::uint64_t required) {
    if (required <= size_) return {};
    constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (required > kMax) return fail(Error::os_message(kMapLengthOverflow));
    // Another handle of the store may have grown the file past this mapping:
    // setting a length from the mapping's would cut its records off.
    if (!private_)
        if (auto st = follow_file_length(); !st) return st;
    if (required <= size_) return {};
    // Doubling keeps remappings logarithmic; near the limit take what fits.
    std::uint64_t target = std::max(required, size_) <= kMax / 2 ? 2 * std::max(required, size_) : kMax;
    return resize_exact(target);
}

Status MappedFile::resize_exact(std::uint64_t len) {
    if (private_) return remap_private(len);
    const std::uint64_t old = size_;
    if (auto st = file_.set_length(len); !st) return st;
    // Storage past a shorter length is gone with it.
    backed_ = std::min(backed_, len);
    if (auto st = remap(len); !st) {
        // Keep the file as long as the mapping still in use.
        if (len < old) (void)file_.set_length(old);
        return st;
    }
    return {};
}

Status MappedFile::follow_file_length() {
    // A private view is a snapshot with this process's writes: it is replaced whole, never followed.
    if (private_) return {};
    auto len = file_.length();
    if (!len) return fail(len.error());
    if (*len <= size_) return {};
    return remap(*len);
}

Status MappedFile::reserve_backing(std::uint64_t end, bool ahead) {
    end = std::min(end, size_);
    if (private_ || end <= backed_ || allocation_unsupported_) return {};
    auto allocate = [&](std::uint64_t from, std::uint64_t to) {
        return os_call(SysCall::Fallocate, file_.fd(), nullptr, [&] {
            return ::fallocate(file_.fd(), 0, static_cast<off_t>(from), static_cast<off_t>(to - from));
        });
    };
    constexpr std::uint64_t kStep = 4 << 20;
    const std::uint64_t target = ahead ? std::min(size_, std::max(end, backed_ + std::max(kStep, backed_ / 8))) : end;
    // When a step ahead does not fit, what is needed now still may.
    if (allocate(backed_, target) == 0) {
        backed_ = target;
        return {};
    }
    if (errno == EOPNOTSUPP || errno == ENOSYS) {
        allocation_unsupported_ = true;
        return {};
    }
    if (target == end || allocate(backed_, end) != 0) return os_fail();
    backed_ = end;
    return {};
}

Status MappedFile::write_at(std::uint64_t offset, const void* data, std::size_t len, std::uint32_t* crc) {
    // Pieces small enough to stay in the cache between the CRC's read and the copy's.
    constexpr std::size_t kPiece = 256 << 10;
    const auto* from = static_cast<const std::uint8_t*>(data);
    for (std::size_t done = 0; done < len;) {
        const std::size_t n = std::min(kPiece, len - done);
        if (crc) *crc = crc32_continue(*crc, from + done, n);
        if (private_) {
            std::memcpy(data_ + offset + done, from + done, n);
            done += n;
            continue;
        }
        for (std::size_t put = 0; put < n;) {
            const ssize_t w = os_call(SysCall::Write, file_.fd(), nullptr, [&] {
                return ::pwrite(file_.fd(), from + done + put, n - put, static_cast<off_t>(offset + done + put));
            });
            if (w < 0) return os_fail();
            if (w == 0) return fail(Error::os_message("failed to write whole buffer"));
            put += static_cast<std::size_t>(w);
        }
        done += n;
    }
    return {};
}

void MappedFile::start_writeback(std::uint64_t offset, std::uint64_t len) {
    if (private_ || len == 0) return;
    (void)::sync_file_range(file_.fd(), static_cast<off_t>(offset), static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
}

Status MappedFile::flush() { return flush_prefix(size_); }

Status MappedFile::flush_prefix(std::uint64_t len) {
    if (private_) return fail(Error::os(EROFS));
    len = std::min(len, size_);
    if (data_ && len > 0 &&
        os_call(SysCall::Msync, file_.fd(), nullptr, [&] { return ::msync(data_, len, MS_SYNC); }) != 0)
        return os_fail();
    return file_.sync();
}

SharedBytes& SharedBytes::operator=(SharedBytes&& o) noexcept {
    if (this != &o) {
        release();
        data_ = o.data_;
        size_ = o.size_;
        o.data_ = nullptr;
        o.size_ = 0;
    }
    return *this;
}

Result<SharedBytes> SharedBytes::map(const File& file, std::size_t len) {
    void* v = os_call(SysCall::Mmap, file.fd(), nullptr,
                      [&] { return ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, file.fd(), 0); });
    if (v == MAP_FAILED) return fail(Error::os(errno));
    SharedBytes out;
    out.data_ = v;
    out.size_ = len;
    return out;
}

Result<SharedBytes> SharedBytes::map_read_only(const File& file, std::size_t len) {
    void* v = os_call(SysCall::Mmap, file.fd(), nullptr,
                      [&] { return ::mmap(nullptr, len, PROT_READ, MAP_SHARED, file.fd(), 0); });
    if (v == MAP_FAILED) return fail(Error::os(errno));
    SharedBytes out;
    out.data_ = v;
    out.size_ = len;
    return out;
}

void SharedBytes::release() {
    if (data_) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

Status rename_file(const std::string& from, const std::string& to) {
    if (os_call(SysCall::Rename, -1, to.c_str(), [&] { return ::rename(from.c_str(), to.c_str()); }) != 0)
        return os_fail();
    return {};
}

Status sync_parent_directory(const std::string& path) {
    auto dir = File::open(parent_directory(path), O_RDONLY | O_DIRECTORY);
    if (!dir) return fail(dir.error());
    if (os_call(SysCall::Fsync, dir->fd(), nullptr, [&] { return ::fsync(dir->fd()); }) != 0) return os_fail();
    return {};
}

Status remove_file(const std::string& path) {
    if (os_call(SysCall::Unlink, -1, path.c_str(), [&] { return ::unlink(path.c_str()); }) != 0) return os_fail();
    return {};
}

Result<std::vector<std::string>> list_directory(const std::string& dir) {
    // Opened as every other file is (an interrupted open is retried), then read.
    const char* path = dir.empty() ? "." : dir.c_str();
    const int fd =
        os_call(SysCall::Opendir, -1, path, [&] { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return fail(Error::os(errno));
    DIR* d = ::fdopendir(fd);
    if (!d) {
        const int error = errno;
        ::close(fd);
        return fail(Error::os(error));
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

Result<std::string> read_whole_file(const std::string& path) {
    auto f = File::open(path, O_RDONLY);
    if (!f) return fail(f.error());
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = retry_eintr([&] { return ::read(f->fd(), buf, sizeof buf); });
        if (n < 0) return fail(Error::os(errno));
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace orbisk
