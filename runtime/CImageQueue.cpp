#include "CImageQueue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

// Images wait in `images` (oldest first) until the consumer moves them out.
// One mutex guards everything; `notEmpty` wakes a consumer waiting for an image.
struct CImageQueue::State {
    mutable std::mutex mutex;
    std::condition_variable notEmpty;
    std::deque<CVyImage> images;
    uint32_t capacity = 1;
    bool dropOldest = false;
};

CImageQueue::CImageQueue() : state_(std::make_unique<State>()) {}

CImageQueue::~CImageQueue() = default;

void CImageQueue::Initialize(uint32_t capacity, bool dropOldest) {
    std::lock_guard lock(state_->mutex);
    state_->capacity = std::max<uint32_t>(capacity, 1);
    state_->dropOldest = dropOldest;
    state_->images.clear();
}

bool CImageQueue::MoveIn(CVyImage& image) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->images.size() >= state_->capacity) {
            if (!state_->dropOldest) {
                return false;
            }
            state_->images.pop_front();
        }
        state_->images.push_back(std::move(image));
    }
    state_->notEmpty.notify_one();
    return true;
}

bool CImageQueue::WaitForNotEmpty(uint32_t milliseconds) {
    std::unique_lock lock(state_->mutex);
    return state_->notEmpty.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                     [this] { return !state_->images.empty(); });
}

bool CImageQueue::MoveOut(CVyImage& target) {
    CVyImage taken;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->images.empty()) {
            return false;
        }
        taken = std::move(state_->images.front());
        state_->images.pop_front();
    }
    // The target's old pixels are released outside the lock.
    target = std::move(taken);
    return true;
}

uint32_t CImageQueue::GetSize() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<uint32_t>(state_->images.size());
}

uint32_t CImageQueue::GetCapacity() const {
    std::lock_guard lock(state_->mutex);
    return state_->capacity;
}
