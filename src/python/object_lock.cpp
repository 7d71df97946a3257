// Taking the objects' locks from Python threads, and freeing them in the
// child of a fork.
#include "python/object_lock.hpp"

#include <pthread.h>

#include <ctime>

namespace velkarin::python {

// Every live lock of this module, so that the child of a fork can free the
// ones held by threads that did not come along. A fork holds the registry's
// own mutex across the fork, so the child never sees it half changed.
struct ForkRegistry {
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static ObjectLock*& head() {
        static ObjectLock* first = nullptr;
        return first;
    }

    static void add(ObjectLock* lock) {
        static const bool registered = [] {
            ::pthread_atfork(prepare, parent, child);
            return true;
        }();
        (void)registered;
        std::lock_guard guard(mutex());
        lock->next_ = head();
        if (head() != nullptr) head()->prev_ = lock;
        head() = lock;
    }
    static void remove(ObjectLock* lock) {
        std::lock_guard guard(mutex());
        if (lock->prev_ != nullptr) lock->prev_->next_ = lock->next_;
        else head() = lock->next_;
        if (lock->next_ != nullptr) lock->next_->prev_ = lock->prev_;
    }

    static void prepare() { mutex().lock(); }
    static void parent() { mutex().unlock(); }
    // The forking thread is the only one in the child: a lock another
    // thread held will never be released, so it starts over unlocked.
    static void child() {
        const auto self = std::this_thread::get_id();
        for (ObjectLock* l = head(); l != nullptr; l = l->next_) {
            const auto holder = l->holder_.load(std::memory_order_relaxed);
            if (holder != std::thread::id{} && holder != self) {
                pthread_mutex_init(&l->mutex_, nullptr);
                l->holder_.store(std::thread::id{}, std::memory_order_relaxed);
            }
            if (l->on_fork_child_ != nullptr) l->on_fork_child_(l->context_);
        }
        mutex().unlock();
    }
};

ObjectLock::ObjectLock(ForkHook on_fork_child, void* context)
    : on_fork_child_(on_fork_child), context_(context) {
    ForkRegistry::add(this);
}

ObjectLock::~ObjectLock() { ForkRegistry::remove(this); }

bool ObjectLock::try_take() {
    if (pthread_mutex_trylock(&mutex_) != 0) return false;
    taken();
    return true;
}

// pthread_mutex_timedlock waits to a CLOCK_REALTIME instant: a step of the
// wall clock only makes one slice longer or shorter.
bool ObjectLock::take_within_slice() {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += std::chrono::duration_cast<std::chrono::nanoseconds>(kSlice).count();
    if (until.tv_nsec >= 1'000'000'000) {
        until.tv_sec += 1;
        until.tv_nsec -= 1'000'000'000;
    }
    return pthread_mutex_timedlock(&mutex_, &until) == 0;
}

void ObjectLock::taken() { holder_.store(std::this_thread::get_id(), std::memory_order_relaxed); }

bool ObjectLock::acquire() {
    if (try_take()) return true;
    for (;;) {
        bool got = false;
        Py_BEGIN_ALLOW_THREADS
        got = take_within_slice();
        Py_END_ALLOW_THREADS
        if (got) {
            taken();
            return true;
        }
        if (PyErr_CheckSignals() != 0) return false;
    }
}

bool ObjectLock::acquire_released(PyThreadState*& thread) {
    if (try_take()) return true;
    for (;;) {
        if (take_within_slice()) {
            taken();
            return true;
        }
        PyEval_RestoreThread(thread);
        const bool raised = PyErr_CheckSignals() != 0;
        thread = PyEval_SaveThread();
        if (raised) return false;
    }
}

void ObjectLock::reacquire() {
    if (try_take()) return;
    Py_BEGIN_ALLOW_THREADS
    pthread_mutex_lock(&mutex_);
    Py_END_ALLOW_THREADS
    taken();
}

void ObjectLock::reacquire_released() {
    pthread_mutex_lock(&mutex_);
    taken();
}

void ObjectLock::release() {
    holder_.store(std::thread::id{}, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex_);
}

}  // namespace velkarin::python
