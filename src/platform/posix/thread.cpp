#include <pthread.h>

#include "platform/thread.h"

namespace mv620::platform {
namespace {

struct StartedThread {
    pthread_t id{};
    bool joinable = false;
    ThreadEntry entry = nullptr;
    void* parameter = nullptr;
};

// The thread started last. Touched only by the host thread that starts and joins (the library's
// state-changing calls come from one host thread at a time) and by the unload hook.
StartedThread startedThread;

// Set in a forked child, by the fork handler, when a thread had been started in the parent. Only
// the forking thread runs in the child, and it runs the handler before anything else.
bool forkedSinceThreadStart = false;

void markForkedChild() noexcept {
    forkedSinceThreadStart = forkedSinceThreadStart || startedThread.joinable;
}

void* runEntry(void* started) noexcept {
    const auto* thread = static_cast<const StartedThread*>(started);
    thread->entry(thread->parameter);
    return nullptr;
}

} // namespace

// Default policy and priority on purpose: see thread.h. A busy-polling thread under SCHED_FIFO
// would starve every ordinary thread on its core, including the host thread that wants to stop it.
bool detail::startSystemThread(ThreadEntry entry, void* parameter) noexcept {
    // Registered once, by the first start: before it no child can inherit a thread. The C library
    // drops the handler when the library is unloaded.
    static const bool forkWatched = pthread_atfork(nullptr, nullptr, markForkedChild) == 0;
    static_cast<void>(forkWatched);
    joinFinishedThread();
    forkedSinceThreadStart = false;
    startedThread.entry = entry;
    startedThread.parameter = parameter;
    if (pthread_create(&startedThread.id, nullptr, runEntry, &startedThread) != 0) {
        return false;
    }
    startedThread.joinable = true;
    return true;
}

void joinFinishedThread() noexcept {
    if (forkedSinceThreadStart) {
        startedThread.joinable = false; // the parent's thread: not ours to join
        return;
    }
    if (startedThread.joinable) {
        pthread_join(startedThread.id, nullptr);
        startedThread.joinable = false;
    }
}

bool inChildForkedSinceThreadStart() noexcept { return forkedSinceThreadStart; }

} // namespace mv620::platform
