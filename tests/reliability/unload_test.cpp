// Unloading the library: while an acquisition runs, and many times in a row. The host must not
// crash, and no thread of the library may outlive the unload.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

using StartFn = int (*)(void*);
using IntFn = int (*)();
using RateFn = int (*)(int, int);

std::size_t threadsOfThisProcess() {
    // A sanitizer may start a thread of its own with the first thread the process creates: let
    // it do so before anything is counted.
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

template <typename Fn> Fn symbol(void* library, const char* name) {
    void* address = dlsym(library, name);
    EXPECT_NE(address, nullptr) << name;
    return reinterpret_cast<Fn>(address);
}

// Loads the library, starts an acquisition on the simulated instrument and waits for a block.
void* loadAndStart() {
    void* library = dlopen(MV620_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(library, nullptr) << dlerror();
    if (library == nullptr) {
        return nullptr;
    }
    symbol<RateFn>(library, "Set_Sample_Rate")(0, 10);
    EXPECT_EQ(symbol<StartFn>(library, "Start_Acquisition")(nullptr), 1);
    const auto blocks = symbol<IntFn>(library, "Get_Blocks_Transferred");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (blocks() < 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(blocks(), 1);
    return library;
}

TEST(Unload, WhileAnAcquisitionRunsStopsItsThread) {
    const std::size_t threadsBefore = threadsOfThisProcess();
    void* library = loadAndStart();
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore + 1) << "the acquisition thread runs";
    EXPECT_EQ(dlclose(library), 0);
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);
}

TEST(Unload, ManyLoadsAndUnloadsLeaveNoThread) {
    const std::size_t threadsBefore = threadsOfThisProcess();
    for (int round = 0; round < 25; ++round) {
        void* library = loadAndStart();
        ASSERT_NE(library, nullptr);
        if (round % 2 == 0) {
            EXPECT_EQ(reinterpret_cast<IntFn>(dlsym(library, "Stop_Acquisition"))(), 0);
        }
        ASSERT_EQ(dlclose(library), 0);
        ASSERT_EQ(threadsOfThisProcess(), threadsBefore) << "round " << round;
    }
}

// Every load builds the simulated instrument anew (its logs, its configuration memory): the
// unload must give all of it back, or a host that loads and unloads the library leaks each time.
TEST(Unload, ManyLoadsAndUnloadsGiveTheirMemoryBack) {
    const auto cycle = [] {
        void* library = loadAndStart();
        ASSERT_NE(library, nullptr);
        EXPECT_EQ(reinterpret_cast<IntFn>(dlsym(library, "Stop_Acquisition"))(), 0);
        ASSERT_EQ(dlclose(library), 0);
    };
    cycle(); // the first load's one-time allocations (the loader's own) are not the library's
    const std::size_t before = mallinfo2().uordblks;
    for (int round = 0; round < 100; ++round) {
        cycle();
    }
    const std::size_t after = mallinfo2().uordblks;
    // Far less than one load's worth: the simulated instrument alone holds over 100 KiB.
    EXPECT_LT(after, before + 64 * 1024) << "heap in use grew from " << before << " to " << after;
}

// A child forked while an acquisition runs has no acquisition thread: its exit, which unloads
// the library, has nothing to stop and must not wait for a thread that will never end. The child
// reports whether its unload sat in the wait; the parent's acquisition goes on untouched.
TEST(Unload, AChildForkedDuringAnAcquisitionExitsWithoutWaiting) {
    void* library = loadAndStart();
    ASSERT_NE(library, nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const auto before = std::chrono::steady_clock::now();
        dlclose(library);
        // The unload's wait for an acquisition thread lasts ten seconds.
        _exit(std::chrono::steady_clock::now() - before < std::chrono::seconds(5) ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's unload waited for a thread it does not have";
    const auto blocks = symbol<IntFn>(library, "Get_Blocks_Transferred");
    const int seen = blocks();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (blocks() == seen && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GT(blocks(), seen) << "the parent's acquisition streams on";
    EXPECT_EQ(symbol<IntFn>(library, "Stop_Acquisition")(), 0);
    EXPECT_EQ(dlclose(library), 0);
}

} // namespace
