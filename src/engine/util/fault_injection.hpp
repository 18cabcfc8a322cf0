// A failure hook on the file layer's system calls, for tests of the error paths.
//
// The system calls with which util/fs creates, changes, maps, forces, renames,
// deletes, locks and lists a store's files go through `sys` below. In the engine that
// the module is built from, `sys` is the call itself and nothing else. Only the
// test build of the engine (ORBISK_FAULT_INJECTION defined, which CMake sets
// for the unit tests and the test-only probe module, never for the installed
// module) compiles the hook: it counts the calls,
// keeps a log of them and, when a test has armed it, makes a chosen call fail
// with an error number (once, or from then on, like a disk that stays bad) or
// kills the process right there.
#pragma once

#include <cstdint>
#include <utility>

#ifdef ORBISK_FAULT_INJECTION
#include <cerrno>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>
#include <sys/mman.h>
#endif

namespace orbisk {

enum class SysCall : std::uint8_t {
    Open,
    Write,
    Fdatasync,
    Fsync,
    Msync,
    Rename,
    Ftruncate,
    Fallocate,
    Mmap,
    Fcntl,
    Unlink,
    Opendir  // the open(2) of a directory to list it
};

#ifdef ORBISK_FAULT_INJECTION
namespace fault_injection {

const char* call_name(SysCall c);

struct Plan {
    std::vector<std::uint64_t> at;  // indexes of the calls to hit, counted from 0 at `arm`
    int error = EIO;                // errno of a failed call
    bool persistent = false;        // the first hit call and every later one fail
    bool kill = false;              // SIGKILL the process at the first hit call instead
};

struct Event {
    SysCall call;
    std::string path;     // the file (or directory) the call worked on, when known
    int error;            // 0 when the call succeeded
    bool created;         // an open that brought a new file into being
    std::string content;  // a rename that succeeded: what the file it renamed held
};

// Starts counting and logging calls afresh; with a plan, hits the calls it names.
void arm(std::optional<Plan> plan);
// Stops counting and hitting calls; the log stays readable.
void disarm();
std::vector<Event> events();

namespace detail {
// Decides the fate of a call about to be made: true fails it with errno set.
bool before(SysCall call, const char* path, bool& existed);
void after(SysCall call, int fd, const char* path, bool existed, bool failed, long result, int error);
}  // namespace detail

}  // namespace fault_injection
#endif

// Runs one system call `f` of the file layer; `fd` or `path` names what it works on.
template <class F>
inline auto sys(SysCall call, int fd, const char* path, F&& f) {
#ifdef ORBISK_FAULT_INJECTION
    using R = decltype(f());
    bool existed = false;
    if (fault_injection::detail::before(call, path, existed)) {
        const int error = errno;
        fault_injection::detail::after(call, fd, path, existed, true, -1, error);
        errno = error;
        if constexpr (std::is_pointer_v<R>)
            return static_cast<R>(MAP_FAILED);
        else
            return static_cast<R>(-1);
    }
    R r = f();
    const int error = errno;
    bool failed;
    if constexpr (std::is_pointer_v<R>)
        failed = r == static_cast<R>(MAP_FAILED);
    else
        failed = r == static_cast<R>(-1);
    long value = 0;
    if constexpr (!std::is_pointer_v<R>) value = static_cast<long>(r);
    fault_injection::detail::after(call, fd, path, existed, failed, value, failed ? error : 0);
    errno = error;
    return r;
#else
    (void)call;
    (void)fd;
    (void)path;
    return std::forward<F>(f)();
#endif
}

}  // namespace orbisk
