#include "logger.h"

#include <cstdarg>
#include <cstdio>

namespace {
std::string_view baseName(const char* path)
{
    std::string_view view(path);
    const size_t slash = view.find_last_of("/\\");
    return slash == std::string_view::npos ? view : view.substr(slash + 1);
}
} // namespace

CLogger::CLogger()
{
    std::printf("CLogger created\n");
}

CLogger::~CLogger()
{
    std::printf("CLogger done\n");
}

CLogger* CLogger::getInstance()
{
    // Created on first use and never destroyed, so logging during static destruction stays safe.
    static CLogger* instance = new CLogger();
    return instance;
}

const char* CLogger::format(const char* fmt, ...)
{
    thread_local char buffer[kFormatBufferSize];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

bool CLogger::isMuted(const char* sourcePath)
{
    if (!sourcePath)
        return false;
    const std::string_view name = baseName(sourcePath);
    std::lock_guard<std::mutex> guard(mutex);
    return mutedFiles.find(name) != mutedFiles.end();
}

void CLogger::log(int /*line*/, const char* sourcePath, const char* /*prefix*/, const char* text)
{
    if (!text || isMuted(sourcePath))
        return;
    output(text);
}

void CLogger::output(const char* text)
{
    std::lock_guard<std::mutex> guard(mutex);
    std::fputs(text, stdout);
}

void CLogger::print(const char* fmt, ...)
{
    char buffer[kFormatBufferSize];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    output(buffer);
}

void CLogger::muteFile(const std::string& name)
{
    std::lock_guard<std::mutex> guard(mutex);
    mutedFiles.insert(name);
}

void CLogger::unmuteFile(const std::string& name)
{
    std::lock_guard<std::mutex> guard(mutex);
    mutedFiles.erase(name);
}
