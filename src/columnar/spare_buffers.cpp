#include "columnar/spare_buffers.hpp"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

#include "engine/util/free_later.hpp"

namespace orbisk::columnar {

namespace {

std::size_t bytes_of(const std::vector<PointBatch>& parts) {
    std::size_t bytes = 0;
    for (const PointBatch& part : parts) bytes += part.capacity_bytes();
    return bytes;
}

// The kept buffers and the thread that frees them when they expire.
struct Spare {
    std::mutex m;
    std::condition_variable changed;
    std::vector<PointBatch> parts;
    std::chrono::steady_clock::time_point expires;
    bool sweeper = false;

    void sweep() {
        std::unique_lock lock(m);
        for (;;) {
            if (parts.empty()) {
                changed.wait(lock);
                continue;
            }
            changed.wait_until(lock, expires);
            if (parts.empty() || std::chrono::steady_clock::now() < expires) continue;
            std::vector<PointBatch> gone = std::exchange(parts, {});
            lock.unlock();
            gone = {};
            lock.lock();
        }
    }
};

Spare& spare() {
    // Never destroyed: its thread runs until the process ends.
    static Spare* s = new Spare();
    return *s;
}

// The process that keeps buffers: a child made by fork has no thread to free
// them, and its copy of the lock may have been taken when it was made.
const pid_t keeper = ::getpid();

}  // namespace

std::vector<PointBatch> take_spare_buffers() {
    if (::getpid() != keeper) return {};
    Spare& s = spare();
    std::lock_guard lock(s.m);
    return std::exchange(s.parts, {});
}

void keep_spare_buffers(std::vector<PointBatch> parts) {
    const std::size_t bytes = bytes_of(parts);
    if (bytes < kFreeLaterBytes || bytes > kKeepSpareBytes || ::getpid() != keeper)
        return free_later(std::move(parts), bytes);
    for (PointBatch& part : parts) part.clear();
    Spare& s = spare();
    std::vector<PointBatch> old;
    {
        std::lock_guard lock(s.m);
        if (!s.sweeper) {
            try {
                std::thread([&s] { s.sweep(); }).detach();
                s.sweeper = true;
            } catch (const std::system_error&) {
                // Nothing would free them: they are not kept.
            }
        }
        if (s.sweeper) {
            old = std::exchange(s.parts, std::move(parts));
            s.expires = std::chrono::steady_clock::now() + kKeepSpareFor;
        } else {
            old = std::move(parts);
        }
    }
    s.changed.notify_one();
    const std::size_t old_bytes = bytes_of(old);
    free_later(std::move(old), old_bytes);
}

}  // namespace orbisk::columnar
