// A small fixed pool of worker threads for the engine's data-parallel loops.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Vy::Engine {

class ThreadPool {
public:
    // threads = 0 picks the number of hardware threads.
    explicit ThreadPool(unsigned threads = 0);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned Size() const { return static_cast<unsigned>(workers_.size()) + 1; }

    // Runs body(begin, end) over [0, count) split into chunks of at most grain
    // items; the calling thread works too and returns when all chunks are done.
    // The first exception thrown by a chunk is rethrown here.
    void ParallelFor(size_t count, size_t grain, const std::function<void(size_t, size_t)>& body);

private:
    void WorkerLoop();
    void RunChunks();

    // Workers sleep on wake_ until a new job generation appears, take chunks
    // under mutex_ until none are left, and report back on done_. The pool
    // owns the workers; the job (body_, counts) belongs to the ParallelFor
    // call in flight, which only one thread makes at a time.
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(size_t, size_t)>* body_ = nullptr;
    size_t count_ = 0;
    size_t grain_ = 1;
    size_t next_ = 0;
    size_t busy_ = 0;
    unsigned generation_ = 0;
    bool stopping_ = false;
    std::exception_ptr error_;
};

}  // namespace Vy::Engine
