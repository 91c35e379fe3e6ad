#include "CImageQueue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <utility>

#include "Mutex.h"
#include "MutexLock.h"
#include "ThreadAnnotations.h"

// Images wait in `images` (oldest first) until the consumer moves them out.
// One mutex guards everything; `notEmpty` wakes a consumer waiting for an image.
struct CImageQueue::State {
    mutable Mutex mutex;
    std::condition_variable notEmpty;
    // The producer thread pushes, the consumer thread pops.
    std::deque<CVyImage> images GUARDED_BY(mutex);
    uint32_t capacity GUARDED_BY(mutex) = 1;
    bool dropOldest GUARDED_BY(mutex) = false;
};

CImageQueue::CImageQueue() : state_(std::make_unique<State>()) {}

CImageQueue::~CImageQueue() = default;

void CImageQueue::Initialize(uint32_t capacity, bool dropOldest) {
    State& s = *state_;
    const MutexLock lock(s.mutex);
    s.capacity = std::max<uint32_t>(capacity, 1);
    s.dropOldest = dropOldest;
    s.images.clear();
}

bool CImageQueue::MoveIn(CVyImage& image) {
    State& s = *state_;
    {
        const MutexLock lock(s.mutex);
        if (s.images.size() >= s.capacity) {
            if (!s.dropOldest) {
                return false;
            }
            s.images.pop_front();
        }
        s.images.push_back(std::move(image));
    }
    s.notEmpty.notify_one();
    return true;
}

bool CImageQueue::WaitForNotEmpty(uint32_t milliseconds) {
    State& s = *state_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    MutexLock lock(s.mutex);
    while (s.images.empty()) {
        if (s.notEmpty.wait_until(lock.native(), deadline) == std::cv_status::timeout) {
            return !s.images.empty();
        }
    }
    return true;
}

bool CImageQueue::MoveOut(CVyImage& target) {
    State& s = *state_;
    CVyImage taken;
    {
        const MutexLock lock(s.mutex);
        if (s.images.empty()) {
            return false;
        }
        taken = std::move(s.images.front());
        s.images.pop_front();
    }
    // The target's old pixels are released outside the lock.
    target = std::move(taken);
    return true;
}

uint32_t CImageQueue::GetSize() const {
    const State& s = *state_;
    const MutexLock lock(s.mutex);
    return static_cast<uint32_t>(s.images.size());
}

uint32_t CImageQueue::GetCapacity() const {
    const State& s = *state_;
    const MutexLock lock(s.mutex);
    return s.capacity;
}
