#include "FileWriterThread.h"

#include <utility>

#include "MutexLock.h"

namespace Vy::Synth {

FileWriterThread::FileWriterThread(size_t capacity) : capacity(capacity == 0 ? 1 : capacity) {
    thread = std::thread([this] { work(); });
}

FileWriterThread::~FileWriterThread() {
    {
        MutexLock lock(mutex);
        closing = true;
    }
    changed.notify_all();
    thread.join();
}

void FileWriterThread::rethrowFailure() {
    if (failure) {
        jobs.clear();
        std::rethrow_exception(failure);
    }
}

void FileWriterThread::add(std::function<void()> job) {
    {
        MutexLock lock(mutex);
        while (!failure && jobs.size() >= capacity) changed.wait(lock.native());
        rethrowFailure();
        jobs.push_back(std::move(job));
    }
    changed.notify_all();
}

void FileWriterThread::finish() {
    MutexLock lock(mutex);
    while (!failure && (!jobs.empty() || running)) changed.wait(lock.native());
    rethrowFailure();
}

void FileWriterThread::work() {
    for (;;) {
        std::function<void()> job;
        {
            MutexLock lock(mutex);
            while (jobs.empty() && !closing) changed.wait(lock.native());
            if (jobs.empty() || failure) return;
            job = std::move(jobs.front());
            jobs.pop_front();
            running = true;
        }
        changed.notify_all();  // room in the queue
        std::exception_ptr error;
        try {
            job();
        } catch (...) {
            error = std::current_exception();
        }
        {
            MutexLock lock(mutex);
            running = false;
            if (error && !failure) failure = error;
        }
        changed.notify_all();
    }
}

}  // namespace Vy::Synth
