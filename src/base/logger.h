// The process-wide switch for the engine's diagnostic lines: off as a whole, or muted per source
// file base name. Safe when several threads log: each thread formats into its own buffer and the
// muted set and the output are guarded. Messages longer than the buffer are cut, never overrun.
#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

class CLogger {
public:
    static constexpr int kFormatBufferSize = 4096;

    static CLogger* getInstance();

    void setEnabled(bool on) { enabled = on; }
    bool isEnabled() const { return enabled; }

    // Formats into this thread's buffer; the text stays valid until this thread's next call.
    static const char* format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

    void log(int line, const char* sourcePath, const char* prefix, const char* text);
    void output(const char* text);
    void print(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    void muteFile(const std::string& name);
    void unmuteFile(const std::string& name);
    // True when the base name of sourcePath is muted; lets a logging site skip formatting.
    bool isMuted(const char* sourcePath);

private:
    CLogger();
    ~CLogger();

    std::atomic<bool> enabled{true};
    std::set<std::string, std::less<>> mutedFiles;
    std::mutex mutex;
};

// The text with what a terminal could take for a command shown as an escape: control characters
// (C0, DEL and C1) as "\xHH" or "\uHHHH", and bytes that are not UTF-8 as "\xHH". The line ends
// that close the text stay. Every line the log switch writes passes through it, since log lines
// carry names read from the disk; direct prints of such names use it too.
std::string escapeControlCharacters(std::string_view text);

// The logging call pattern of the engine: nothing is formatted unless the line will be written.
#define GLEANER_LOG(...)                                                             \
    do {                                                                             \
        CLogger* gleanerLogger_ = CLogger::getInstance();                            \
        if (gleanerLogger_->isEnabled() && !gleanerLogger_->isMuted(__FILE__))      \
            gleanerLogger_->log(__LINE__, __FILE__, "", CLogger::format(__VA_ARGS__)); \
    } while (0)
