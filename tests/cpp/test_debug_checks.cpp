// The test build of the engine checks its invariants and the bounds of the
// standard containers: a broken one stops the process with its name, where
// the module would go on with memory it does not own.
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "check.hpp"
#include "engine/util/slot_bitmap.hpp"

namespace {

// Runs `f` in a child process; returns how it ended and what it wrote to stderr.
template <class F>
std::pair<int, std::string> in_child(F f) {
    int fds[2];
    REQUIRE(::pipe(fds) == 0);
    const pid_t pid = ::fork();
    REQUIRE(pid >= 0);
    if (pid == 0) {
        ::dup2(fds[1], 2);
        f();
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string err;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) err.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {status, err};
}

}  // namespace

TEST_CASE("the test build stops at a broken invariant and at an out-of-bounds access") {
    auto [status, err] = in_child([] {
        orbisk::SlotBitmap b(3);
        b.set(3);
    });
    CHECK(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
    CHECK(err.find("slot_bitmap.hpp") != std::string::npos &&
          err.find("invariant broken: i < size_") != std::string::npos);

    auto [status2, err2] = in_child([] {
        std::vector<int> v(2);
        volatile std::size_t i = 2;
        std::fprintf(stderr, "%d", v[i]);
    });
    CHECK(WIFSIGNALED(status2) && WTERMSIG(status2) == SIGABRT);
    CHECK(err2.find("__n < this->size()") != std::string::npos);
}
