// The test build's failure hook on the file layer (see fault_injection.hpp).
// Compiled to nothing unless ORBISK_FAULT_INJECTION is defined.
#ifdef ORBISK_FAULT_INJECTION

#include "engine/util/fault_injection.hpp"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <unordered_map>
#include <sys/stat.h>
#include <unistd.h>

namespace orbisk::fault_injection {

namespace {

struct State {
    std::mutex mutex;
    bool active = false;
    std::optional<Plan> plan;
    std::uint64_t count = 0;
    std::vector<Event> events;
    std::unordered_map<int, std::string> fd_paths;  // the path each open descriptor was opened with
};

State& state() {
    static State s;
    return s;
}

}  // namespace

const char* call_name(SysCall c) {
    switch (c) {
        case SysCall::Open:
            return "open";
        case SysCall::Write:
            return "write";
        case SysCall::Fdatasync:
            return "fdatasync";
        case SysCall::Fsync:
            return "fsync";
        case SysCall::Msync:
            return "msync";
        case SysCall::Rename:
            return "rename";
        case SysCall::Ftruncate:
            return "ftruncate";
        case SysCall::Fallocate:
            return "fallocate";
        case SysCall::Mmap:
            return "mmap";
        case SysCall::Fcntl:
            return "fcntl";
        case SysCall::Unlink:
            return "unlink";
        case SysCall::Opendir:
            return "opendir";
    }
    return "?";
}

void arm(std::optional<Plan> plan) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.active = true;
    s.plan = plan;
    s.count = 0;
    s.events.clear();
}

void disarm() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.active = false;
    s.plan.reset();
}

std::vector<Event> events() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.events;
}

namespace detail {

bool before(SysCall call, const char* path, bool& existed) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.active) return false;
    if (call == SysCall::Open && path) {
        struct stat st;
        existed = ::lstat(path, &st) == 0;
    }
    const std::uint64_t index = s.count++;
    if (!s.plan || s.plan->at.empty()) return false;
    const auto& at = s.plan->at;
    const bool hit = s.plan->persistent ? index >= *std::min_element(at.begin(), at.end())
                                        : std::find(at.begin(), at.end(), index) != at.end();
    if (!hit) return false;
    if (s.plan->kill) {
        ::kill(::getpid(), SIGKILL);
        for (;;) ::pause();
    }
    errno = s.plan->error;
    return true;
}

void after(SysCall call, int fd, const char* path, bool existed, bool failed, long result, int error) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    // Descriptors are named whether or not the hook is armed: a store opened
    // before a test arms it is still told apart from its files.
    if (call == SysCall::Open && !failed && path) s.fd_paths[static_cast<int>(result)] = path;
    if (!s.active) return;
    std::string name;
    if (path) {
        name = path;
    } else if (auto it = s.fd_paths.find(fd); it != s.fd_paths.end()) {
        name = it->second;
    }
    std::string content;
    if (call == SysCall::Rename && !failed && path) {
        // Read past the hook: these are not calls of the store.
        if (int f = ::open(path, O_RDONLY | O_CLOEXEC); f >= 0) {
            char buf[4096];
            for (ssize_t n; (n = ::read(f, buf, sizeof buf)) > 0;) content.append(buf, static_cast<std::size_t>(n));
            ::close(f);
        }
    }
    s.events.push_back(
        Event{call, std::move(name), error, call == SysCall::Open && !failed && !existed, std::move(content)});
}

}  // namespace detail

}  // namespace orbisk::fault_injection

#endif
