#include "privilegedopen.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The message on the socket: the helper's errno, 0 with a descriptor attached.
struct HelperReply {
    int32_t error;
};

bool refusedPath(const char* path)
{
    if (!path || std::strncmp(path, "/dev/", 5) != 0 || std::strlen(path) >= PATH_MAX)
        return true;
    // Every component after /dev/ must be a plain name: no empty, "." or ".." ones.
    for (const char* component = path + 5;;) {
        const char* slash = std::strchr(component, '/');
        const size_t length = slash ? size_t(slash - component) : std::strlen(component);
        if (length == 0 || (length == 1 && component[0] == '.') ||
            (length == 2 && component[0] == '.' && component[1] == '.'))
            return true;
        if (!slash)
            return false;
        component = slash + 1;
    }
}

} // namespace

int receiveDescriptor(int socket, int* error)
{
    HelperReply reply{EPROTO};
    iovec part{&reply, sizeof reply};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);

    int descriptor = -1;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        // Take every descriptor sent, so none leaks; only a single one is accepted.
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (descriptor < 0 && count == 1)
                descriptor = fd;
            else
                ::close(fd);
        }
    }
    if (n != ssize_t(sizeof reply) || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || reply.error != 0 ||
        descriptor < 0) {
        if (descriptor >= 0)
            ::close(descriptor);
        // Only a positive errno is one; anything else from the other end is a broken message.
        *error = n == ssize_t(sizeof reply) && reply.error > 0 ? reply.error : EPROTO;
        return -1;
    }
    return descriptor;
}

int openBlockDeviceReadOnly(const char* devicePath, int* error)
{
    int ignored = 0;
    if (!error)
        error = &ignored;
    if (refusedPath(devicePath)) {
        *error = EINVAL;
        return -1;
    }
    // Look before opening: opening a terminal or a tape is not harmless. O_PATH opens nothing.
    const int probe = ::open(devicePath, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (probe < 0) {
        *error = errno == ELOOP ? ENOTBLK : errno;
        return -1;
    }
    struct stat looked;
    const bool block = ::fstat(probe, &looked) == 0 && S_ISBLK(looked.st_mode);
    ::close(probe);
    if (!block) {
        *error = ENOTBLK;
        return -1;
    }
    const int fd = ::open(devicePath, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    // The node may have been replaced between the look and the open.
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || !S_ISBLK(opened.st_mode) || opened.st_rdev != looked.st_rdev) {
        ::close(fd);
        *error = ENOTBLK;
        return -1;
    }
    return fd;
}

bool sendDescriptor(int socket, int descriptor, int error)
{
    HelperReply reply{descriptor >= 0 ? 0 : (error != 0 ? error : EIO)};
    iovec part{&reply, sizeof reply};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (descriptor >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &descriptor, sizeof descriptor);
    }
    ssize_t n;
    do {
        n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == ssize_t(sizeof reply);
}

PrivilegedOpenOutcome runProgramReceivingDescriptor(const std::vector<std::string>& arguments)
{
    PrivilegedOpenOutcome outcome;
    outcome.tool = arguments.empty() ? std::string() : arguments[0];
    // Standard output is the one descriptor pkexec passes on to the program it runs.
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        outcome.error = outcome.process.error = errno;
        return outcome;
    }
    int descriptor = -1;
    int receiveError = 0;
    outcome.process = runProgramWithOutput(arguments, pair[0], pair[1],
                                           [&](int socket) { descriptor = receiveDescriptor(socket, &receiveError); });
    if (!outcome.process.started) {
        outcome.error = outcome.process.error;
        return outcome;
    }
    if (descriptor >= 0 && outcome.process.succeeded()) {
        outcome.status = PrivilegedOpenOutcome::Opened;
        outcome.descriptor = descriptor;
        return outcome;
    }
    if (descriptor >= 0)
        ::close(descriptor);
    outcome.error = receiveError != 0 ? receiveError : EPROTO;
    return outcome;
}

PrivilegedOpenOutcome privilegedOpenDevice(const std::string& devicePath)
{
    bool unavailable = true;
    PrivilegedOpenOutcome fromDaemon = udisksOpenDevice(devicePath, &unavailable);
    if (!unavailable)
        return fromDaemon;
    // pkexec answers 127 also when it cannot run the program, which would pass for the person's
    // refusal: a helper that is not there is a failure, told before anyone is asked.
    const std::string helper = openDeviceHelperPath();
    if (::access(helper.c_str(), X_OK) != 0) {
        PrivilegedOpenOutcome missing;
        missing.tool = helper;
        missing.error = missing.process.error = errno;
        return missing;
    }
    PrivilegedOpenOutcome outcome = runProgramReceivingDescriptor({kPkexecPath, helper, devicePath});
    outcome.tool = kPkexecPath;
    const ProcessOutcome& process = outcome.process;
    if (outcome.status != PrivilegedOpenOutcome::Opened && process.started && process.exited &&
        (process.exitStatus == kPkexecDismissed || process.exitStatus == kPkexecNotAuthorized))
        outcome.status = PrivilegedOpenOutcome::Cancelled;
    return outcome;
}

std::string openDeviceHelperPath()
{
    std::vector<std::string> candidates{std::string(GLEANER_HELPER_INSTALL_DIR) + "/" + kOpenDeviceHelperName};
    // An installation moved elsewhere keeps the helper beside the program: <exe>/../libexec.
    char executable[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
    if (n > 0) {
        std::string folder(executable, size_t(n));
        folder.erase(folder.find_last_of('/') == std::string::npos ? 0 : folder.find_last_of('/'));
        candidates.push_back(folder + "/../libexec/" + kOpenDeviceHelperName);
    }
    for (const std::string& candidate : candidates)
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    return GLEANER_HELPER_BUILD_PATH;
}
