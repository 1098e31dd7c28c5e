#include "previewsandbox.h"

#include <seccomp.h>

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <initializer_list>

#if defined(__SANITIZE_ADDRESS__)
#define GLEANER_PREVIEW_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GLEANER_PREVIEW_ASAN 1
#endif
#endif

namespace {

bool setLimit(int resource, rlim_t value)
{
    const rlimit limit{value, value};
    return ::setrlimit(resource, &limit) == 0;
}

// Frees the filter context on every way out.
struct FilterContext {
    scmp_filter_ctx ctx;
    ~FilterContext()
    {
        if (ctx)
            seccomp_release(ctx);
    }
};

bool allow(scmp_filter_ctx ctx, std::initializer_list<int> calls)
{
    for (int call : calls)
        if (call != __NR_SCMP_ERROR && seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0) != 0)
            return false;
    return true;
}

} // namespace

bool previewAddressLimitAvailable()
{
#ifdef GLEANER_PREVIEW_ASAN
    return false;
#else
    return true;
#endif
}

bool enterPreviewSandbox(PreviewSandboxKind kind, const PreviewLimits& limits, int requestFd)
{
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    if (!setLimit(RLIMIT_CORE, 0))
        return false;
    if (previewAddressLimitAvailable() && !setLimit(RLIMIT_AS, rlim_t(limits.addressSpaceBytes)))
        return false;

    FilterContext filter{seccomp_init(SCMP_ACT_KILL_PROCESS)};
    scmp_filter_ctx ctx = filter.ctx;
    if (!ctx)
        return false;
    // Memory, time, signals and ending: what a decoder and the C++ runtime need while they work
    // (the TIFF library asks sysinfo for the memory size before large allocations).
    if (!allow(ctx, {SCMP_SYS(read),
                     SCMP_SYS(mmap),
                     SCMP_SYS(munmap),
                     SCMP_SYS(mremap),
                     SCMP_SYS(brk),
                     SCMP_SYS(madvise),
                     SCMP_SYS(mprotect),
                     SCMP_SYS(exit),
                     SCMP_SYS(exit_group),
                     SCMP_SYS(futex),
                     SCMP_SYS(clock_gettime),
                     SCMP_SYS(gettimeofday),
                     SCMP_SYS(clock_nanosleep),
                     SCMP_SYS(nanosleep),
                     SCMP_SYS(rt_sigreturn),
                     SCMP_SYS(rt_sigprocmask),
                     SCMP_SYS(rt_sigaction),
                     SCMP_SYS(sigaltstack),
                     SCMP_SYS(setitimer),
                     SCMP_SYS(getpid),
                     SCMP_SYS(gettid),
                     SCMP_SYS(tgkill),
                     SCMP_SYS(sched_yield),
                     SCMP_SYS(getrandom),
                     SCMP_SYS(fstat),
                     SCMP_SYS(newfstatat),
                     SCMP_SYS(restart_syscall),
                     SCMP_SYS(sched_getaffinity),
                     SCMP_SYS(sysinfo)}))
        return false;
    // Threads (the WebP decoder filters on one) but no new processes: clone only with CLONE_THREAD,
    // and clone3, whose flags a filter cannot see, answers "not implemented" so the C library
    // falls back to clone.
    if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                         SCMP_A0(SCMP_CMP_MASKED_EQ, scmp_datum_t(CLONE_THREAD), scmp_datum_t(CLONE_THREAD))) != 0 ||
        seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0 ||
        !allow(ctx, {SCMP_SYS(set_robust_list), SCMP_SYS(rseq)}))
        return false;

#ifdef GLEANER_PREVIEW_ASAN
    // AddressSanitizer's thread start talks to the new thread over a pipe of its own, so under it
    // writes go to any descriptor (files still cannot be opened).
    (void)requestFd;
    if (!allow(ctx, {SCMP_SYS(write), SCMP_SYS(writev), SCMP_SYS(pipe2), SCMP_SYS(close)}))
        return false;
#else
    // Writes go to the answer's descriptor and to the two message streams only.
    for (int fd : {1, 2, requestFd})
        for (int call : {SCMP_SYS(write), SCMP_SYS(writev)})
            if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(fd))) != 0)
                return false;
#endif
    if (kind == PreviewSandboxKind::ReadOnlyFiles) {
        // Fonts are read; a file opened for writing (a font cache, say) is refused, not fatal.
        const scmp_datum_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
        if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0)) != 0)
            return false;
        for (scmp_datum_t flag : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND})
            if (seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat), 1,
                                 SCMP_A2(SCMP_CMP_MASKED_EQ, flag, flag)) != 0)
                return false;
        if (!allow(ctx,
                   {SCMP_SYS(close), SCMP_SYS(lseek), SCMP_SYS(pread64), SCMP_SYS(statx), SCMP_SYS(stat),
                    SCMP_SYS(lstat), SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2), SCMP_SYS(getdents64),
                    SCMP_SYS(readlink), SCMP_SYS(readlinkat), SCMP_SYS(fcntl), SCMP_SYS(fadvise64), SCMP_SYS(getuid),
                    SCMP_SYS(geteuid), SCMP_SYS(getgid), SCMP_SYS(getegid), SCMP_SYS(uname)}))
            return false;
    }
    return seccomp_load(ctx) == 0;
}

bool startRequestTimer(uint32_t cpuMilliseconds)
{
    itimerval timer{};
    timer.it_value.tv_sec = time_t(cpuMilliseconds / 1000);
    timer.it_value.tv_usec = suseconds_t(cpuMilliseconds % 1000) * 1000;
    if (timer.it_value.tv_sec == 0 && timer.it_value.tv_usec == 0)
        timer.it_value.tv_usec = 1;
    return ::setitimer(ITIMER_PROF, &timer, nullptr) == 0;
}

void stopRequestTimer()
{
    const itimerval off{};
    ::setitimer(ITIMER_PROF, &off, nullptr);
}
