#include "OutputStage.h"

#include "MutexLock.h"

void OutputStage::start() {
    {
        const MutexLock lock(mutex);
        finishing = false;
    }
    if (!thread.joinable()) {
        thread = std::thread([this] { run(); });
    }
}

void OutputStage::hand(ComputedFrame frame) {
    MutexLock lock(mutex);
    while (waiting) {
        changed.wait(lock.native());
    }
    waiting.emplace(std::move(frame));
    changed.notify_all();
}

void OutputStage::drain() {
    MutexLock lock(mutex);
    while (waiting || busy) {
        changed.wait(lock.native());
    }
}

void OutputStage::finish() {
    {
        const MutexLock lock(mutex);
        finishing = true;
    }
    changed.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void OutputStage::run() {
    for (;;) {
        ComputedFrame frame;
        {
            MutexLock lock(mutex);
            while (!waiting && !finishing) {
                changed.wait(lock.native());
            }
            if (!waiting) {
                return;  // finishing, and every frame is done
            }
            frame = std::move(*waiting);
            waiting.reset();
            busy = true;
        }
        changed.notify_all();
        work(frame);
        // The frame's images are let go before the next is taken, so the engine can reuse their buffers.
        frame = ComputedFrame{};
        {
            const MutexLock lock(mutex);
            busy = false;
        }
        changed.notify_all();
    }
}
