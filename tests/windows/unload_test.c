/*
 * Unloading the simulating DLL, under Wine: while an acquisition runs, and many times in a row.
 *
 * While an acquisition runs, the acquisition thread holds a reference on the DLL, so a host's
 * FreeLibrary cannot unmap the code under it: the DLL stays loaded (and the thread running) and
 * the host does not crash. Once the acquisition has stopped, FreeLibrary unloads the DLL, and
 * loading and unloading it many times leaves no thread behind.
 *
 * The last line is "N passed, M failed"; the exit status is 0 when nothing failed.
 */
#include <windows.h>

#include <stdio.h>
#include <tlhelp32.h>

typedef int(__cdecl* StartFn)(HWND);
typedef int(__cdecl* VoidFn)(void);
typedef int(__cdecl* RateFn)(int, int);

static const char kDll[] = "MV620ACQm-sim.dll";
static int passed, failed;

static void check(int holds, const char* what) {
    if (holds) {
        ++passed;
    } else {
        ++failed;
        printf("FAILED: %s\n", what);
    }
}

static int threadsOfThisProcess(void) {
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry;
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    entry.dwSize = sizeof entry;
    if (Thread32First(snapshot, &entry)) {
        do {
            count += entry.th32OwnerProcessID == self;
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}

/* A thread that has ended may take a moment to leave the snapshot. */
static int threadsSettleAt(int expected) {
    int tries;
    for (tries = 0; tries < 500; ++tries) {
        if (threadsOfThisProcess() == expected) {
            return 1;
        }
        Sleep(10);
    }
    return 0;
}

/* The acquisition thread releases its reference on the DLL as its very last act, just after it
 * has signalled its end: the unload completes a moment after the host's FreeLibrary. */
static int unloadedSoon(void) {
    int tries;
    for (tries = 0; tries < 500; ++tries) {
        if (GetModuleHandleA(kDll) == NULL) {
            return 1;
        }
        Sleep(10);
    }
    return 0;
}

static HMODULE loadAndStart(void) {
    HMODULE dll = LoadLibraryA(kDll);
    int tries;
    VoidFn blocks;
    check(dll != NULL, "the simulating DLL loads");
    if (dll == NULL) {
        return NULL;
    }
    ((RateFn)(void (*)(void))GetProcAddress(dll, "Set_Sample_Rate"))(0, 10);
    check(((StartFn)(void (*)(void))GetProcAddress(dll, "Start_Acquisition"))(NULL) == 1,
          "the acquisition starts");
    blocks = (VoidFn)(void (*)(void))GetProcAddress(dll, "Get_Blocks_Transferred");
    for (tries = 0; tries < 3000 && blocks() < 1; ++tries) {
        Sleep(10);
    }
    check(blocks() >= 1, "a block arrives");
    return dll;
}

int main(void) {
    const int threadsBefore = threadsOfThisProcess();
    int round;
    HMODULE dll;

    /* Many loads and unloads, each with an acquisition started and stopped. */
    for (round = 0; round < 10; ++round) {
        dll = loadAndStart();
        if (dll == NULL) {
            break;
        }
        check(((VoidFn)(void (*)(void))GetProcAddress(dll, "Stop_Acquisition"))() == 0,
              "the acquisition stops");
        check(FreeLibrary(dll) != 0, "FreeLibrary");
        check(unloadedSoon(), "a stopped library is unloaded");
        check(threadsSettleAt(threadsBefore), "no thread is left after a load and unload");
    }

    /* Unloaded while the acquisition runs: the thread's reference keeps the code in place. */
    dll = loadAndStart();
    if (dll != NULL) {
        check(FreeLibrary(dll) != 0, "FreeLibrary while running");
        Sleep(200); /* the thread keeps streaming in code that is still mapped */
        check(GetModuleHandleA(kDll) != NULL, "the running acquisition keeps the library loaded");
    }
    printf("%d passed, %d failed\n", passed, failed);
    fflush(stdout);
    /* The process ends with the acquisition still running, as a host that never stopped it. */
    ExitProcess(failed == 0 ? 0 : 1);
}
