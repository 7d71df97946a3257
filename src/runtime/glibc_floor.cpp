// glibc_floor: linked into the Python modules of a release build (VELKARIN_STATIC_RUNTIME), so
// that a module built against this machine's glibc loads on glibc 2.17 (manylinux2014) and later.
//
// The static libstdc++ of GCC 12 was compiled against a recent glibc and refers to symbols that
// older C libraries lack or export under an older version only. Each is defined here, hidden (it
// resolves inside the module, never exported, never interposed):
//   __libc_single_threaded (2.32)      always 0: the library then takes its atomic paths
//   pthread_once, __pthread_key_create, pthread_mutex_trylock, pthread_mutex_timedlock
//                                      forwarded to the versions every glibc has (2.34 moved
//                                      them into libc.so.6 under a new version)
//   getentropy (2.25), arc4random (2.36)  std::random_device's sources (linked with the string
//                                      code, never called by the module), on the getrandom call
// The module also needs libpthread.so.0 (see CMakeLists.txt): before glibc 2.34 the pthread
// functions above live there; since 2.34 it is an empty file kept for such programs.
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

// The first symbol version of each architecture's glibc.
#if defined(__x86_64__)
#define VELKARIN_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define VELKARIN_GLIBC_BASE "GLIBC_2.17"
#else
#error "glibc_floor knows the base symbol version of x86_64 and aarch64 only"
#endif

#define VELKARIN_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

VELKARIN_HIDDEN char __libc_single_threaded = 0;

// The same functions under the versions that every glibc exports.
int velkarin_base_pthread_once(pthread_once_t* once, void (*init)());
int velkarin_base_pthread_key_create(pthread_key_t* key, void (*destroy)(void*));
int velkarin_base_pthread_mutex_trylock(pthread_mutex_t* mutex);
int velkarin_base_pthread_mutex_timedlock(pthread_mutex_t* mutex, const struct timespec* until);
__asm__(".symver velkarin_base_pthread_once, pthread_once@" VELKARIN_GLIBC_BASE);
__asm__(".symver velkarin_base_pthread_key_create, __pthread_key_create@" VELKARIN_GLIBC_BASE);
__asm__(".symver velkarin_base_pthread_mutex_trylock, pthread_mutex_trylock@" VELKARIN_GLIBC_BASE);
__asm__(".symver velkarin_base_pthread_mutex_timedlock, pthread_mutex_timedlock@" VELKARIN_GLIBC_BASE);

VELKARIN_HIDDEN int pthread_once(pthread_once_t* once, void (*init)()) {
    return velkarin_base_pthread_once(once, init);
}

VELKARIN_HIDDEN int __pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
    return velkarin_base_pthread_key_create(key, destroy);
}

// std::mutex::try_lock, and the modules' object locks.
VELKARIN_HIDDEN int pthread_mutex_trylock(pthread_mutex_t* mutex) noexcept {
    return velkarin_base_pthread_mutex_trylock(mutex);
}

// The modules' object locks, waiting a slice at a time.
VELKARIN_HIDDEN int pthread_mutex_timedlock(pthread_mutex_t* mutex, const struct timespec* until) noexcept {
    return velkarin_base_pthread_mutex_timedlock(mutex, until);
}

}  // extern "C"

namespace {

// Fills `buffer` from the kernel's random pool (Linux 3.17 and later); false with errno set.
bool fill_random(void* buffer, size_t length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const long got = syscall(SYS_getrandom, bytes, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

extern "C" {

// At most 256 bytes, as glibc's getentropy: 0, or -1 with errno (EIO for a longer request).
VELKARIN_HIDDEN int getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    return fill_random(buffer, length) ? 0 : -1;
}

// glibc's arc4random cannot fail; without getrandom there is no source, so the process ends.
VELKARIN_HIDDEN uint32_t arc4random() noexcept {
    uint32_t value = 0;
    if (!fill_random(&value, sizeof value)) abort();
    return value;
}

}  // extern "C"
