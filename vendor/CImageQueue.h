// A bounded, thread-safe queue of images between one producer and one consumer.
#pragma once

#include <cstdint>
#include <memory>

#include "CVyImage.h"

class CImageQueue {
public:
    CImageQueue();
    ~CImageQueue();
    CImageQueue(const CImageQueue&) = delete;
    CImageQueue& operator=(const CImageQueue&) = delete;

    // Sets the capacity (at least 1) and empties the queue. dropOldest true makes a
    // full queue discard its oldest image to take a new one; false makes it refuse.
    void Initialize(uint32_t capacity, bool dropOldest);

    // Full: returns false at once and leaves image untouched (never waits).
    // Otherwise takes over the image's contents (image is left empty) and returns true.
    bool MoveIn(CVyImage& image);
    // Empty: waits up to milliseconds for an image; true when one waits.
    bool WaitForNotEmpty(uint32_t milliseconds);
    // Empty: returns false at once. Otherwise moves the oldest image into target.
    bool MoveOut(CVyImage& target);
    // Images waiting.
    uint32_t GetSize() const;
    uint32_t GetCapacity() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
