// The release modules' glibc floor (src/runtime/glibc_floor.cpp) against glibc itself: this
// program is linked like a release module (static libstdc++ and libgcc, the floor's symbols
// taking the place of glibc's), so its exceptions unwind through the floor's _dl_find_object.
#include <dlfcn.h>
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

using FindObject = int (*)(void*, dl_find_object*);

int local_function() { return 1; }

[[gnu::noinline]] int throw_through(int depth) {
    if (depth == 0) throw std::runtime_error("deep");
    return throw_through(depth - 1) + 1;
}

TEST(GlibcFloor, FindsTheSameUnwindTablesAsGlibcForEveryKindOfAddress) {
    // The floor's definition is hidden: the global lookup finds glibc's own.
    auto glibc = reinterpret_cast<FindObject>(dlsym(RTLD_DEFAULT, "_dl_find_object"));
    ASSERT_NE(glibc, nullptr) << "this test needs glibc 2.35 or later";
    ASSERT_NE(glibc, &_dl_find_object);
    const std::array<void*, 4> inside = {
        reinterpret_cast<void*>(&local_function),  // this program
        reinterpret_cast<void*>(&printf),          // libc.so.6
        reinterpret_cast<void*>(&dlsym),           // libc.so.6 (2.34+) or libdl
        reinterpret_cast<void*>(&__libc_single_threaded),  // this program's data
    };
    for (void* address : inside) {
        dl_find_object ours{}, theirs{};
        ASSERT_EQ(_dl_find_object(address, &ours), 0) << address;
        ASSERT_EQ(glibc(address, &theirs), 0) << address;
        EXPECT_EQ(ours.dlfo_eh_frame, theirs.dlfo_eh_frame) << address;
        EXPECT_LE(ours.dlfo_map_start, address);
        EXPECT_GT(ours.dlfo_map_end, address);
    }
    dl_find_object none{};
    EXPECT_EQ(_dl_find_object(reinterpret_cast<void*>(std::uintptr_t{16}), &none), -1);
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
