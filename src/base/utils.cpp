#include "utils.h"

#include "logger.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <vector>

void scaleSize(double* value, int* unit)
{
    static const char units[] = {'K', 'M', 'G', 'T'};
    *unit = ' ';
    for (int i = 0; i < 4 && *value >= 1024.0; ++i) {
        *value /= 1024.0;
        *unit = units[i];
    }
}

std::string toHexString(uint32_t value, int digits)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (int i = digits - 1; i >= 0; --i)
        text += i < 8 ? hex[(value >> (4 * i)) & 0xF] : '0';
    return text;
}

std::string toHexString(uint32_t value)
{
    return toHexString(value, 8);
}

void hexdump(const char* title, const void* data, int byteCount)
{
    CLogger* logger = CLogger::getInstance();
    const bool on = logger->isEnabled() && !logger->isMuted(__FILE__);
    if (on)
        logger->log(__LINE__, __FILE__, "",
                    CLogger::format("Hexdump (%s) data=0x%" PRIxPTR ", bytes=%d\n", title ? title : "",
                                    uintptr_t(data), byteCount));
    if (!data || byteCount <= 0)
        return;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (int offset = 0; offset < byteCount; offset += 16) {
        const int run = byteCount - offset < 16 ? byteCount - offset : 16;
        std::fprintf(stderr, "%5d %08x  ", offset, unsigned(offset));
        if (!on)
            continue;
        std::string line;
        char piece[8];
        for (int i = 0; i < 16; ++i) {
            if (i < run)
                std::snprintf(piece, sizeof piece, "%02x ", bytes[offset + i]);
            else
                std::snprintf(piece, sizeof piece, "   ");
            line += piece;
        }
        line += ' ';
        for (int i = 0; i < run; ++i) {
            const uint8_t c = bytes[offset + i];
            line += (c >= 32 && c <= 126) ? char(c) : '.';
        }
        line += '\n';
        logger->log(__LINE__, __FILE__, "", line.c_str());
    }
}

const uint8_t* findMemory(const uint8_t* haystack, const uint8_t* needle, int haystackLength,
                          uint32_t needleLength)
{
    if (!haystack || !needle || haystackLength <= 0 || needleLength == 0 || needleLength > uint32_t(haystackLength))
        return nullptr;
    const size_t last = size_t(haystackLength) - needleLength;
    for (size_t i = 0; i <= last; ++i)
        if (haystack[i] == needle[0] && std::memcmp(haystack + i, needle, needleLength) == 0)
            return haystack + i;
    return nullptr;
}

bool fileExists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

bool makeDirectory(const std::string& path)
{
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool isDirectory(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string formatString(const char* fmt, ...)
{
    // Each attempt gets its own copy of the arguments: a consumed va_list must not be reused.
    std::vector<char> buffer(1000);
    va_list args;
    va_start(args, fmt);
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        const int needed = std::vsnprintf(buffer.data(), buffer.size(), fmt, attempt);
        va_end(attempt);
        if (needed < 0) {
            buffer[0] = 0;
            break;
        }
        if (size_t(needed) < buffer.size())
            break;
        buffer.resize(size_t(needed) + 1);
    }
    va_end(args);
    return std::string(buffer.data());
}
