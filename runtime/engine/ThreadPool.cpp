#include "ThreadPool.h"

#include <algorithm>

namespace Vy::Engine {

ThreadPool::ThreadPool(unsigned threads) {
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
    }
    // Worker threads run chunks of the ParallelFor in flight; the caller is the last worker.
    for (unsigned i = 1; i < threads; ++i) {
        workers_.emplace_back([this] { WorkerLoop(); });
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) {
        worker.join();
    }
}

void ThreadPool::ParallelFor(size_t count, size_t grain, const std::function<void(size_t, size_t)>& body) {
    if (count == 0) {
        return;
    }
    grain = std::max<size_t>(1, grain);
    if (workers_.empty() || count <= grain) {
        body(0, count);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        body_ = &body;
        count_ = count;
        grain_ = grain;
        next_ = 0;
        busy_ = 0;
        error_ = nullptr;
        ++generation_;
    }
    wake_.notify_all();
    RunChunks();
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return next_ >= count_ && busy_ == 0; });
    body_ = nullptr;
    if (error_) {
        std::rethrow_exception(error_);
    }
}

void ThreadPool::RunChunks() {
    std::unique_lock lock(mutex_);
    while (body_ != nullptr && next_ < count_) {
        const size_t begin = next_;
        const size_t end = std::min(count_, begin + grain_);
        next_ = end;
        ++busy_;
        const auto* body = body_;
        lock.unlock();
        try {
            (*body)(begin, end);
        } catch (...) {
            std::lock_guard errorLock(mutex_);
            if (!error_) {
                error_ = std::current_exception();
            }
        }
        lock.lock();
        --busy_;
    }
    if (next_ >= count_ && busy_ == 0) {
        done_.notify_all();
    }
}

void ThreadPool::WorkerLoop() {
    unsigned seen = 0;
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) {
            return;
        }
        seen = generation_;
        lock.unlock();
        RunChunks();
        lock.lock();
    }
}

}  // namespace Vy::Engine
