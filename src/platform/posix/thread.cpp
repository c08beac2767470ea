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

void* runEntry(void* started) noexcept {
    const auto* thread = static_cast<const StartedThread*>(started);
    thread->entry(thread->parameter);
    return nullptr;
}

} // namespace

// Default policy and priority on purpose: see thread.h. A busy-polling thread under SCHED_FIFO
// would starve every ordinary thread on its core, including the host thread that wants to stop it.
bool detail::startSystemThread(ThreadEntry entry, void* parameter) noexcept {
    joinFinishedThread();
    startedThread.entry = entry;
    startedThread.parameter = parameter;
    if (pthread_create(&startedThread.id, nullptr, runEntry, &startedThread) != 0) {
        return false;
    }
    startedThread.joinable = true;
    return true;
}

void joinFinishedThread() noexcept {
    if (startedThread.joinable) {
        pthread_join(startedThread.id, nullptr);
        startedThread.joinable = false;
    }
}

} // namespace mv620::platform
