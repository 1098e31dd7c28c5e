// The limits the preview worker puts on itself before it reads its first request: no new
// privileges, no core files, an address-space limit, and a seccomp filter that
// kills the process on any system call decoding does not need. Owns nothing; a limit that cannot
// be set is reported as false and the worker does not serve without it.
#pragma once

#include <cstdint>

enum class PreviewSandboxKind {
    // The image decoder works from memory: no file may be opened at all.
    NoFiles,
    // The PDF renderer looks up fonts: files may be opened for reading, never for writing.
    ReadOnlyFiles,
};

struct PreviewLimits {
    uint64_t addressSpaceBytes = 2048ull * 1024 * 1024;
    uint32_t cpuMillisecondsPerRequest = 5000;
};

// Whether this build can limit the address space: AddressSanitizer reserves terabytes of shadow
// memory at start-up, so under it the worker has no address-space limit (the sanitizer's own
// allocator refuses impossible sizes instead).
bool previewAddressLimitAvailable();

// Applies the process limits, then the seccomp filter. After it, writes are allowed only on
// standard output, standard error and the request descriptor.
bool enterPreviewSandbox(PreviewSandboxKind kind, const PreviewLimits& limits, int requestFd);

// Starts the CPU-time budget of one request: past it the kernel ends the process (SIGPROF's
// default action). stop clears it.
bool startRequestTimer(uint32_t cpuMilliseconds);
void stopRequestTimer();
