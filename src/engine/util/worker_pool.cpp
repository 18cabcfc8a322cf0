#include "engine/util/worker_pool.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "engine/util/thread_annotations.hpp"

namespace orbisk {

namespace {

// One call of run(): pieces are claimed by index; `done` counts finished ones.
struct Job {
    const std::function<void(std::size_t)>* fn;
    std::size_t count;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    Mutex m;
    std::condition_variable finished;
    std::exception_ptr error GUARDED_BY(m);  // the first piece's exception

    // Claims and runs pieces until none is left.
    void work() {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count) return;
            try {
                (*fn)(i);
            } catch (...) {
                MutexLock lock(m);
                if (!error) error = std::current_exception();
            }
            if (done.fetch_add(1) + 1 == count) {
                MutexLock lock(m);
                finished.notify_all();
            }
        }
    }
};

}  // namespace

struct WorkerPool::Shared {
    Mutex m;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Job>> queue GUARDED_BY(m);
    pid_t pid = ::getpid();

    void loop() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                MutexLock lock(m);
                while (queue.empty()) wake.wait(lock.native());
                job = std::move(queue.front());
                queue.pop_front();
            }
            // A job whose pieces are all claimed is a no-op here; its caller
            // may already have returned (the job itself is kept alive).
            job->work();
        }
    }
};

WorkerPool& WorkerPool::instance() {
    // Never destroyed: its threads run until the process ends.
    static WorkerPool* pool = new WorkerPool();
    return *pool;
}

WorkerPool::WorkerPool() : shared_(new Shared()) {
    const unsigned hw = std::thread::hardware_concurrency();
    const std::size_t wanted = hw > 1 ? hw - 1 : 1;
    // Without threads (none could be started) every caller runs its pieces itself.
    try {
        for (; threads_ < wanted; ++threads_) std::thread([s = shared_] { s->loop(); }).detach();
    } catch (const std::system_error&) {}
}

void WorkerPool::run(std::size_t pieces, const std::function<void(std::size_t)>& fn) {
    if (pieces == 0) return;
    auto job = std::make_shared<Job>();
    job->fn = &fn;
    job->count = pieces;
    // A forked child has none of the parent's threads: it runs every piece itself.
    if (pieces > 1 && ::getpid() == shared_->pid) {
        const std::size_t helpers = std::min(threads_, pieces - 1);
        {
            MutexLock lock(shared_->m);
            for (std::size_t i = 0; i < helpers; ++i) shared_->queue.push_back(job);
        }
        if (helpers == 1)
            shared_->wake.notify_one();
        else
            shared_->wake.notify_all();
    }
    job->work();
    std::exception_ptr error;
    {
        MutexLock lock(job->m);
        job->finished.wait(lock.native(), [&] { return job->done.load() == pieces; });
        error = job->error;
    }
    if (error) std::rethrow_exception(error);
}

std::vector<std::size_t> halve_into_pieces(std::size_t n, std::size_t grain) {
    std::vector<std::size_t> bounds{0};
    // Depth-first, left half first, so the boundaries come out in order.
    auto split = [&](auto& self, std::size_t begin, std::size_t end) -> void {
        if (end - begin <= grain) {
            bounds.push_back(end);
            return;
        }
        const std::size_t mid = begin + (end - begin) / 2;
        self(self, begin, mid);
        self(self, mid, end);
    };
    if (n > 0)
        split(split, 0, n);
    else
        bounds.push_back(0);
    return bounds;
}

}  // namespace orbisk
