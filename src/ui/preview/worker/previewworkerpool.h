// The application's side of the preview workers: a small pool of long-lived worker processes
// (one kind for images, one for PDF pages), each serving one request at a time. It owns the
// processes; a worker that crashes, runs past its time or answers nonsense costs that one request
// (a null picture and a one-line reason) and is replaced by a fresh one at the next request.
#pragma once

#include "previewprotocol.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

struct PreviewWorkerOptions {
    std::string program; // the worker executable
    uint64_t addressSpaceBytes = 1ull << 30;
    uint32_t cpuMillisecondsPerRequest = 5000;
    // How long the application waits for an answer, whatever the worker's CPU time.
    uint32_t wallMillisecondsPerRequest = 15000;
};

// Where the worker is: beside the program, in <exe>/../libexec or the configured libexec folder,
// else the build tree's.
std::string previewWorkerPath();

class PreviewWorkerPool {
public:
    explicit PreviewWorkerPool(PreviewWorkerOptions options);
    ~PreviewWorkerPool();
    PreviewWorkerPool(const PreviewWorkerPool&) = delete;
    PreviewWorkerPool& operator=(const PreviewWorkerPool&) = delete;

    // The worker's answer: a picture, or a null one when the bytes make none. When the worker
    // failed instead, the picture is null and *failure says how (empty otherwise). Safe to call
    // from several threads at once: each call has a worker of its own.
    PreviewPicture decode(const PreviewRequest& request, std::string* failure);

    // The process ids of the idle workers, for the tests.
    std::vector<pid_t> idleWorkers() const;

private:
    struct Worker {
        pid_t pid = -1;
        int fd = -1;
        PreviewKind kind = PreviewKind::Image;
    };
    bool start(PreviewKind kind, Worker* worker, std::string* failure);
    // Kills (when alive) and reaps the worker; how it ended, for the failure line.
    static std::string finish(Worker& worker, bool kill);

    PreviewWorkerOptions options_;
    mutable std::mutex mutex_;
    std::vector<Worker> idle_;
};
