#include "resourcedir.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool isDirectoryPath(const std::string& path)
{
    struct stat info;
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string executableDirectory()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    std::string path(buffer, size_t(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
} // namespace

std::string resourceDirectory()
{
    if (const char* overridden = std::getenv("GLEANER_RESOURCES"); overridden && isDirectoryPath(overridden))
        return overridden;
    const std::string installed = executableDirectory() + "/../share/gleaner";
    if (isDirectoryPath(installed))
        return installed;
    return GLEANER_BUILD_RESOURCE_DIR;
}
