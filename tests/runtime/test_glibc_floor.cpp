// The release modules' glibc floor (src/runtime/glibc_floor.cpp) against glibc itself: this
// program is linked like a release module (static libstdc++, the process's libgcc_s, the floor's
// symbols taking the place of glibc's), so its exceptions, and the unwinding of a thread that
// pthread_exit ends, go through the same run-time as a module's.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

extern "C" {
extern char __libc_single_threaded;
int getentropy(void* buffer, size_t length);
}

namespace {

[[gnu::noinline]] int throw_through(int depth) {
    if (depth == 0) throw std::runtime_error("deep");
    return throw_through(depth - 1) + 1;
}

// What the interpreter does to a daemon thread that wants the lock back at exit: pthread_exit
// inside C++ frames, whose destructors must run and whose catch (...) must rethrow.
struct Counted {
    int* destroyed;
    ~Counted() { ++*destroyed; }
};

[[gnu::noinline]] void exit_inside(int* destroyed, int* rethrown) {
    Counted outer{destroyed};
    try {
        Counted inner{destroyed};
        pthread_exit(nullptr);
    } catch (...) {
        ++*rethrown;
        throw;
    }
}

TEST(GlibcFloor, PthreadExitUnwindsThroughCppFramesAndEndsTheThread) {
    int destroyed = 0, rethrown = 0;
    struct Args {
        int* destroyed;
        int* rethrown;
    } args{&destroyed, &rethrown};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, [](void* p) -> void* {
        auto* a = static_cast<Args*>(p);
        exit_inside(a->destroyed, a->rethrown);
        return p;  // never reached
    }, &args), 0);
    void* result = &args;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(rethrown, 1);
}

TEST(GlibcFloor, ExceptionsUnwindThroughSeveralFramesAndAreCaught) {
    std::string caught;
    try {
        throw_through(5);
    } catch (const std::exception& e) {
        caught = e.what();
    }
    EXPECT_EQ(caught, "deep");
}

pthread_once_t once = PTHREAD_ONCE_INIT;
int once_runs = 0;

TEST(GlibcFloor, ForwardsThePthreadCallsAndKeepsTheLibraryOnItsAtomicPaths) {
    auto init = [] { ++once_runs; };
    ASSERT_EQ(pthread_once(&once, init), 0);
    ASSERT_EQ(pthread_once(&once, init), 0);
    EXPECT_EQ(once_runs, 1);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    ASSERT_EQ(pthread_mutex_trylock(&mutex), 0);
    EXPECT_EQ(pthread_mutex_trylock(&mutex), EBUSY);
    EXPECT_EQ(pthread_mutex_unlock(&mutex), 0);
    EXPECT_EQ(__libc_single_threaded, 0);
}

TEST(GlibcFloor, GetentropyFillsUpTo256BytesAndRefusesMore) {
    std::array<unsigned char, 257> buffer{};
    ASSERT_EQ(getentropy(buffer.data(), 256), 0);
    EXPECT_TRUE(std::any_of(buffer.begin(), buffer.end() - 1, [](unsigned char b) { return b != 0; }));
    errno = 0;
    EXPECT_EQ(getentropy(buffer.data(), buffer.size()), -1);
    EXPECT_EQ(errno, EIO);
}

}  // namespace
