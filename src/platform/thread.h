// The one background thread of the library: the acquisition thread.
#pragma once

namespace mv620::platform {

using ThreadEntry = void (*)(void* parameter) noexcept;

// Starts a new thread running entry(parameter) at the highest priority this platform can give a
// busy-polling thread safely, set before entry begins. Returns false when no thread could be
// created; entry then never runs. Called from one host thread at a time.
//
// Windows: THREAD_PRIORITY_TIME_CRITICAL. The thread holds a reference on the library's module
// and ends with FreeLibraryAndExitThread, so the module's code cannot be unmapped under it.
//
// POSIX: the default scheduling policy and priority. A thread that polls the instrument back to
// back under a real-time policy (SCHED_FIFO or SCHED_RR) is never preempted by ordinary threads
// and can lock up a small machine, so no real-time priority is asked for. The thread is joinable
// and is joined by joinFinishedThread.
bool startHighPriorityThread(ThreadEntry entry, void* parameter) noexcept;

// Replaces startHighPriorityThread, or restores it when null: tests use it to make the platform
// refuse a thread. Host thread only.
using ThreadStarter = bool (*)(ThreadEntry entry, void* parameter) noexcept;
void setThreadStarter(ThreadStarter starter) noexcept;

// Waits until the thread started last has returned from its entry and released it (POSIX join),
// so that nothing of it runs in the library's code afterwards. Returns at once when no such thread
// exists. Call only after the thread has signalled its end (or is about to), never from the thread
// itself. On Windows it does nothing: the thread's module reference already protects the code.
void joinFinishedThread() noexcept;

// Whether this process is a child forked after the thread started last was started: the thread
// does not exist in the child, so there is nothing to stop, wait for or join. POSIX only; always
// false on Windows.
bool inChildForkedSinceThreadStart() noexcept;

} // namespace mv620::platform

namespace mv620::platform::detail {
// The platform's own thread start, defined by each platform (posix/ or win32/thread.cpp).
bool startSystemThread(ThreadEntry entry, void* parameter) noexcept;
} // namespace mv620::platform::detail
