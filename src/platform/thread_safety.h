// Locks the compiler checks: Clang's thread-safety analysis (-Wthread-safety, on in every Clang
// build, see cmake/Warnings.cmake) proves that every field marked MV620_GUARDED_BY is touched only
// with its lock held, and that a function marked MV620_REQUIRES is called only with it. The
// standard library's mutexes and guards carry no such attributes (libstdc++), so the locks that
// guard annotated fields are the ones below. On other compilers the attributes expand to nothing.
#pragma once

#include <mutex>

#if defined(__clang__)
#define MV620_THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define MV620_THREAD_ANNOTATION(attribute)
#endif

// A type that is a lock.
#define MV620_CAPABILITY(name) MV620_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock for their lifetime.
#define MV620_SCOPED_CAPABILITY MV620_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only with the lock held.
#define MV620_GUARDED_BY(lock) MV620_THREAD_ANNOTATION(guarded_by(lock))
// A function called only with the locks held.
#define MV620_REQUIRES(...) MV620_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function called only without the locks (it takes them itself).
#define MV620_EXCLUDES(...) MV620_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes the lock, or (without arguments, in a scoped lock) gives it back.
#define MV620_ACQUIRE(...) MV620_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define MV620_RELEASE(...) MV620_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A lock taken before another whenever both are held (checked by -Wthread-safety-beta).
#define MV620_ACQUIRED_BEFORE(...) MV620_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
// A function the analysis cannot follow; its comment says why it is right.
#define MV620_NO_THREAD_SAFETY_ANALYSIS MV620_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace mv620::platform {

// std::mutex, as the analysis sees a lock.
class MV620_CAPABILITY("mutex") Mutex {
public:
    void lock() noexcept MV620_ACQUIRE() { mutex_.lock(); }
    void unlock() noexcept MV620_RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// std::lock_guard for any annotated lock: held from construction to the end of the scope.
template <typename Lock> class MV620_SCOPED_CAPABILITY ScopedLock {
public:
    explicit ScopedLock(Lock& lock) noexcept MV620_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
    ~ScopedLock() MV620_RELEASE() { lock_.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Lock& lock_;
};

} // namespace mv620::platform
