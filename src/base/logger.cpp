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
// Length of the well-formed UTF-8 sequence at text[at] of at least two bytes, else 0.
size_t utf8SequenceLength(std::string_view text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    return length;
}

} // namespace

std::string escapeControlCharacters(std::string_view text)
{
    static const char hex[] = "0123456789abcdef";
    size_t end = text.size();
    while (end > 0 && text[end - 1] == '\n')
        --end;
    std::string escaped;
    escaped.reserve(text.size());
    for (size_t at = 0; at < end;) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x20 && c < 0x7F) {
            escaped += char(c);
            ++at;
            continue;
        }
        const size_t length = c >= 0x80 ? utf8SequenceLength(text.substr(0, end), at) : 0;
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) {
            // U+0080 to U+009F: the C1 controls, among them the single-character escape introducer.
            const unsigned char code = static_cast<unsigned char>(text[at + 1]);
            escaped += "\\u00";
            escaped += hex[code >> 4];
            escaped += hex[code & 0xF];
        } else if (length > 0) {
            escaped.append(text.substr(at, length));
        } else {
            escaped += "\\x";
            escaped += hex[c >> 4];
            escaped += hex[c & 0xF];
        }
        at += length > 0 ? length : 1;
    }
    escaped.append(text.substr(end));
    return escaped;
}

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
    if (!text)
        return;
    const std::string escaped = escapeControlCharacters(text);
    std::lock_guard<std::mutex> guard(mutex);
    std::fputs(escaped.c_str(), stdout);
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
