#include "previewworkerpool.h"

#include "resourcedir.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kWorkerName = "gleaner-preview-worker";
constexpr int kRequestFd = 3;
// The workers' scheduling priority (a nice value; the application keeps its own).
constexpr int kWorkerNice = 5;
// Idle workers kept beyond this are ended: more never run at once than the callers that share them.
constexpr size_t kMaxIdle = 8;

} // namespace

std::string previewWorkerPath()
{
    const std::string here = executableDirectory();
    std::vector<std::string> candidates;
    if (!here.empty()) {
        candidates.push_back(here + "/" + kWorkerName);
        candidates.push_back(here + "/../libexec/" + kWorkerName);
    }
    candidates.push_back(std::string(GLEANER_PREVIEW_WORKER_INSTALL_DIR) + "/" + kWorkerName);
    for (const std::string& candidate : candidates)
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    return GLEANER_PREVIEW_WORKER_BUILD_PATH;
}

PreviewWorkerPool::PreviewWorkerPool(PreviewWorkerOptions options) : options_(std::move(options)) {}

PreviewWorkerPool::~PreviewWorkerPool()
{
    std::lock_guard lock(mutex_);
    for (Worker& worker : idle_)
        finish(worker, true);
    idle_.clear();
}

std::vector<pid_t> PreviewWorkerPool::idleWorkers() const
{
    std::lock_guard lock(mutex_);
    std::vector<pid_t> pids;
    for (const Worker& worker : idle_)
        pids.push_back(worker.pid);
    return pids;
}

bool PreviewWorkerPool::start(PreviewKind kind, Worker* worker, std::string* failure)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        *failure = std::string("no socket for the preview worker: ") + std::strerror(errno);
        return false;
    }
    // Everything the child needs is made before the fork: after it, only async-signal-safe calls.
    const std::string addressSpace = std::to_string(options_.addressSpaceBytes);
    const std::string cpu = std::to_string(options_.cpuMillisecondsPerRequest);
    const char* mode = kind == PreviewKind::Pdf ? "pdf" : "image";
    const char* argv[] = {options_.program.c_str(), mode, addressSpace.c_str(), cpu.c_str(), nullptr};
    const pid_t pid = ::fork();
    if (pid < 0) {
        *failure = std::string("cannot start the preview worker: ") + std::strerror(errno);
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    if (pid == 0) {
        // The request descriptor becomes 3; nothing else of the application's is passed on.
        if (ends[1] == kRequestFd) {
            ::fcntl(kRequestFd, F_SETFD, 0);
        } else if (::dup2(ends[1], kRequestFd) < 0) {
            _exit(127);
        }
        ::close_range(kRequestFd + 1, ~0u, 0);
        // The CPU budget ends the worker through SIGPROF's default action: neither an ignored
        // signal nor a blocked one may be inherited from the calling thread.
        sigset_t none;
        ::sigemptyset(&none);
        ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGPROF, SIG_DFL);
        // Decoding yields the cores to the window's main thread.
        ::setpriority(PRIO_PROCESS, 0, kWorkerNice);
        ::execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    ::close(ends[1]);
    worker->pid = pid;
    worker->fd = ends[0];
    worker->kind = kind;
    return true;
}

std::string PreviewWorkerPool::finish(Worker& worker, bool kill)
{
    if (worker.fd >= 0)
        ::close(worker.fd);
    worker.fd = -1;
    if (worker.pid <= 0)
        return {};
    int status = 0;
    pid_t reaped = 0;
    // A worker that closed its end is usually dying already: give it a moment, so that the reason
    // given is its own (a crash, its CPU time) rather than the kill.
    for (int tries = 0; kill && tries < 50 && reaped == 0; ++tries) {
        reaped = ::waitpid(worker.pid, &status, WNOHANG);
        if (reaped == 0)
            ::usleep(2000);
    }
    if (reaped == 0 || !kill) {
        if (kill)
            ::kill(worker.pid, SIGKILL);
        do {
            reaped = ::waitpid(worker.pid, &status, 0);
        } while (reaped < 0 && errno == EINTR);
    }
    worker.pid = -1;
    if (reaped <= 0)
        return "ended";
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = ::sigabbrev_np(signal);
        return std::string("ended by signal ") + std::to_string(signal) +
               (name ? std::string(" (SIG") + name + ")" : "");
    }
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

PreviewPicture PreviewWorkerPool::decode(const PreviewRequest& request, std::string* failure)
{
    failure->clear();
    Worker worker;
    {
        std::lock_guard lock(mutex_);
        const auto found =
            std::find_if(idle_.begin(), idle_.end(), [&](const Worker& idle) { return idle.kind == request.kind; });
        if (found != idle_.end()) {
            worker = *found;
            idle_.erase(found);
        }
    }
    // One that died while idle (killed from outside, say) is replaced before it costs a picture.
    int status = 0;
    if (worker.pid > 0 && ::waitpid(worker.pid, &status, WNOHANG) == worker.pid) {
        ::close(worker.fd);
        worker = Worker();
    }
    if (worker.pid <= 0 && !start(request.kind, &worker, failure))
        return {};

    const int64_t deadline = monotonicMilliseconds() + options_.wallMillisecondsPerRequest;
    // A picture is never larger than the request (an image is scaled down into it, a page fills it).
    const int maxWidth = std::max(request.width, 1), maxHeight = std::max(request.height, 1);
    PreviewPicture picture;
    const bool sent = writePreviewRequest(worker.fd, request, deadline);
    const bool answered = sent && readPreviewPicture(worker.fd, maxWidth, maxHeight, &picture, deadline);
    if (!answered) {
        const bool late = monotonicMilliseconds() >= deadline;
        // Killed either way: one that is late may still be working, one that answered nonsense
        // cannot be trusted with the next request.
        if (late)
            ::kill(worker.pid, SIGKILL);
        const std::string how = finish(worker, true);
        *failure = "preview worker " + std::string(late ? "timed out, " : "failed, ") + how;
        return {};
    }
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdle)
        idle_.push_back(worker);
    else
        finish(worker, true);
    return picture;
}
