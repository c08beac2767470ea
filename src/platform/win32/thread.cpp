#include <windows.h>

#include "platform/thread.h"

namespace mv620::platform {
namespace {

struct ThreadStart {
    ThreadEntry entry;
    void* parameter;
    HMODULE module;
};

// The start of the thread being created. A new thread is started only after the previous one
// has signalled its end, long after it read this record, so one record serves every start.
ThreadStart threadStart;

DWORD WINAPI runEntry(LPVOID start) {
    const ThreadStart run = *static_cast<const ThreadStart*>(start);
    run.entry(run.parameter);
    // Never return into the library's code: release the module reference taken at start and end
    // the thread inside the system, so that a host that unloads the library right after the
    // thread's last signal cannot have the code unmapped under it.
    FreeLibraryAndExitThread(run.module, 0);
}

} // namespace

bool detail::startSystemThread(ThreadEntry entry, void* parameter) noexcept {
    HMODULE module = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(&runEntry), &module) == FALSE) {
        return false;
    }
    threadStart = ThreadStart{entry, parameter, module};
    HANDLE thread = CreateThread(nullptr, 0, runEntry, &threadStart, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) {
        FreeLibrary(module);
        return false;
    }
    // The priority is set while the thread is still suspended, before its entry begins.
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(thread);
    CloseHandle(thread); // the library keeps no handle; it learns of the end through its event
    return true;
}

void joinFinishedThread() noexcept {}

bool inChildForkedSinceThreadStart() noexcept { return false; }

} // namespace mv620::platform
