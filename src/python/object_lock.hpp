// The locks of the modules' objects: a bus's lock, a group's round lock.
// Threads that hold the interpreter lock take them, and a thread may hold one
// after letting the interpreter lock go (a round waiting for replies). So a
// wait for one never keeps the interpreter lock, and it runs the signal
// handlers between tries: Ctrl-C ends it. In the child of a fork, a lock
// that another thread held is free again: that thread is not in the child.
#pragma once

#include <Python.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velkarin::python {

class ObjectLock {
public:
    // Called in the child of a fork for every live lock, after the lock was
    // freed if another thread held it: what the lock guards lets go of that
    // thread's state too.
    using ForkHook = void (*)(void* context);

    explicit ObjectLock(ForkHook on_fork_child = nullptr, void* context = nullptr);
    ~ObjectLock();
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

    // With the interpreter lock held. Uncontended: one try. Otherwise waits
    // with the interpreter lock released, and between waits of at most
    // kSlice runs the signal handlers. False, with the exception of a
    // handler that raised, when the lock was not taken.
    bool acquire();
    // The same for a thread that has let the interpreter lock go; `thread`
    // is its saved state, taken back to run the handlers and saved again.
    bool acquire_released(PyThreadState*& thread);
    // Takes the lock back after a signal's handlers ran with it released:
    // waits as long as it takes, the interpreter lock released meanwhile,
    // with no handlers (their exception, if any, is already set).
    void reacquire();
    // The same without the interpreter lock.
    void reacquire_released();
    void release();

    // How long one wait lasts before the handlers get their turn.
    static constexpr std::chrono::milliseconds kSlice{10};

private:
    friend struct ForkRegistry;

    bool try_take();
    // Takes it within kSlice; false when the slice ended first.
    bool take_within_slice();
    void taken();

    // A plain pthread mutex: std::timed_mutex would bring in
    // pthread_mutex_clocklock, which the oldest glibc the wheel serves lacks.
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<std::thread::id> holder_{};
    ForkHook on_fork_child_;
    void* context_;
    ObjectLock* prev_ = nullptr;  // the registry of live locks, for fork
    ObjectLock* next_ = nullptr;
};

// Holds an ObjectLock that is already taken, until the scope ends.
class HeldLock {
public:
    explicit HeldLock(ObjectLock& lock) : lock_(lock) {}
    ~HeldLock() { lock_.release(); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

private:
    ObjectLock& lock_;
};

}  // namespace velkarin::python
