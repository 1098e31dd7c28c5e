#include "resourcedir.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool isRegularFile(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isDirectoryPath(const std::string& path)
{
    struct stat info;
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

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

std::string resourceDirectory()
{
    if (const char* overridden = std::getenv("GLEANER_RESOURCES"); overridden && isDirectoryPath(overridden))
        return overridden;
    const std::string installed = executableDirectory() + "/../share/gleaner";
    if (isDirectoryPath(installed)) {
        // Shown in the start-up log: without the "bin/.." detour.
        if (char* resolved = ::realpath(installed.c_str(), nullptr)) {
            std::string path(resolved);
            std::free(resolved);
            return path;
        }
        return installed;
    }
    return GLEANER_BUILD_RESOURCE_DIR;
}

std::string namedResourcePath(const std::string& folder, const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return {};
    for (const char* extension : {"", ".png", ".gif", ".tiff", ".aif"}) {
        const std::string path = folder + "/" + name + extension;
        if (isRegularFile(path))
            return path;
    }
    return {};
}

std::string namedResourcePath(const std::string& name)
{
    return namedResourcePath(resourceDirectory(), name);
}
