// Run as root through pkexec: opens one block device under /dev/ read-only and sends the descriptor
// on its standard output, which must be a Unix socket; its exit status is 0 only when it was sent.
// It takes exactly one argument and never writes to, changes or creates anything.
#include "privilegedopen.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s /dev/DEVICE (standard output: a Unix socket)\n", kOpenDeviceHelperName);
        sendDescriptor(STDOUT_FILENO, -1, EINVAL);
        return 2;
    }
    int error = 0;
    const int fd = openBlockDeviceReadOnly(argv[1], &error);
    if (fd < 0)
        std::fprintf(stderr, "%s: cannot open the device read-only: %s\n", kOpenDeviceHelperName, std::strerror(error));
    if (!sendDescriptor(STDOUT_FILENO, fd, error)) {
        std::fprintf(stderr, "%s: cannot hand the descriptor back: %s\n", kOpenDeviceHelperName, std::strerror(errno));
        return 3;
    }
    return fd >= 0 ? 0 : 1;
}
