#include "platform/thread.h"

namespace mv620::platform {
namespace {

// The installed replacement, or null. Written and read only by the host thread that starts
// acquisitions, so a plain pointer suffices.
ThreadStarter installedStarter = nullptr;

} // namespace

bool startHighPriorityThread(ThreadEntry entry, void* parameter) noexcept {
    return installedStarter != nullptr ? installedStarter(entry, parameter)
                                       : detail::startSystemThread(entry, parameter);
}

void setThreadStarter(ThreadStarter starter) noexcept { installedStarter = starter; }

} // namespace mv620::platform
