// The process-wide pool of worker threads behind the parallel scans. Work is
// handed over as a number of pieces; pool threads and the calling thread claim
// pieces until none is left, and the call returns when every piece is done. The
// caller keeps each piece's result in its own place, so joining the pieces in
// index order keeps their order whatever thread ran them.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace orbisk {

class WorkerPool {
public:
    // The pool of this process, started on first use with one thread fewer than
    // the machine's hardware threads (the caller makes up the number), at least one.
    static WorkerPool& instance();

    // Runs fn(i) for every i in [0, pieces), in parallel, and returns when all
    // have run. An exception thrown by a piece is rethrown here once all
    // pieces have finished.
    void run(std::size_t pieces, const std::function<void(std::size_t)>& fn);

    std::size_t threads() const { return threads_; }

private:
    WorkerPool();
    struct Shared;
    Shared* shared_;
    std::size_t threads_ = 0;
};

// Cuts [0, n) into contiguous pieces by halving it recursively until a piece
// holds at most `grain` items (`grain` >= 1), and returns the piece boundaries
// from left to right: piece i is [bounds[i], bounds[i + 1]).
std::vector<std::size_t> halve_into_pieces(std::size_t n, std::size_t grain);

// Fork-join over halves: fn(begin, end) -> T on every piece of [0, n), run on
// the pool, with the results in piece order (left before right).
template <class T, class F>
std::vector<T> fork_join(std::size_t n, std::size_t grain, F&& fn) {
    const std::vector<std::size_t> bounds = halve_into_pieces(n, grain);
    const std::size_t pieces = bounds.size() - 1;
    std::vector<T> parts(pieces);
    WorkerPool::instance().run(pieces, [&](std::size_t i) { parts[i] = fn(bounds[i], bounds[i + 1]); });
    return parts;
}

}  // namespace orbisk
