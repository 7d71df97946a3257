// Preloaded into Debian's linux.uml by tools/vcan-run.
//
// The user-mode-linux kernel saves and restores each guest process's FPU
// state with PTRACE_GETREGSET/PTRACE_SETREGSET NT_X86_XSTATE, in a buffer of
// the size it was built for (2,696 bytes: x87 to AVX-512 and PKRU). The host
// kernel fills a shorter buffer on a get, but a set must be exactly the host's
// whole XSAVE size, so on a host with more state (AMX's tile data makes it
// about 11 KB) every set fails with EFAULT and the guest's first process dies
// ("ptrace set fp regs failed, errno = 14").
//
// This passes every ptrace call through unchanged except such a short set,
// which it sends at the host's size: the guest's bytes first, zeros after.
// The header's XSTATE_BV comes from the guest's bytes, and no guest process
// asks for AMX, so the components past the guest's buffer stay in their init
// state and the zeros are never read as state.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

typedef long (*ptrace_fn)(int, pid_t, void*, void*);

// Comfortably above any XSAVE area a CPU has today.
enum { kProbeSize = 64 * 1024 };

static size_t host_xstate_size;   // learnt from the first set that failed
static __thread unsigned char* padded;

static long raw_ptrace(long request, pid_t pid, void* addr, void* data) {
    return syscall(SYS_ptrace, request, pid, addr, data);
}

// The host's XSAVE size for a stopped tracee: a get reports how much it filled.
static size_t probe_size(pid_t pid) {
    void* probe = malloc(kProbeSize);
    if (probe == NULL) return 0;
    struct iovec iov = {probe, kProbeSize};
    size_t size = raw_ptrace(PTRACE_GETREGSET, pid, (void*)NT_X86_XSTATE, &iov) == 0 ? iov.iov_len : 0;
    free(probe);
    return size;
}

static long set_padded(pid_t pid, const struct iovec* short_iov) {
    if (padded == NULL && (padded = malloc(host_xstate_size)) == NULL) {
        errno = ENOMEM;
        return -1;
    }
    memcpy(padded, short_iov->iov_base, short_iov->iov_len);
    memset(padded + short_iov->iov_len, 0, host_xstate_size - short_iov->iov_len);
    struct iovec iov = {padded, host_xstate_size};
    return raw_ptrace(PTRACE_SETREGSET, pid, (void*)NT_X86_XSTATE, &iov);
}

long ptrace(enum __ptrace_request request, ...) {
    static ptrace_fn next;
    if (next == NULL) next = (ptrace_fn)dlsym(RTLD_NEXT, "ptrace");
    va_list ap;
    va_start(ap, request);
    pid_t pid = va_arg(ap, pid_t);
    void* addr = va_arg(ap, void*);
    void* data = va_arg(ap, void*);
    va_end(ap);

    if (request != PTRACE_SETREGSET || (long)addr != NT_X86_XSTATE || data == NULL)
        return next(request, pid, addr, data);
    const struct iovec* iov = data;
    // Once the host's size is known, a short set goes out padded at once.
    if (host_xstate_size > iov->iov_len) return set_padded(pid, iov);
    long result = next(request, pid, addr, data);
    if (result == -1 && errno == EFAULT && host_xstate_size == 0) {
        host_xstate_size = probe_size(pid);
        if (host_xstate_size > iov->iov_len) return set_padded(pid, iov);
        errno = EFAULT;
    }
    return result;
}
