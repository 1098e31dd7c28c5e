// Captures what the code under test writes to standard output or standard error (both printf and
// iostreams) by pointing the file descriptor at a temporary file until finish(). If the redirection
// cannot be set up, nothing is captured and finish() answers an empty text.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

class OutputCapture {
public:
    explicit OutputCapture(int descriptor = 1) : fd(descriptor), file(std::tmpfile())
    {
        std::fflush(nullptr);
        saved = file ? ::dup(fd) : -1;
        if (saved >= 0 && ::dup2(::fileno(file), fd) < 0) {
            ::close(saved);
            saved = -1;
        }
    }
    ~OutputCapture()
    {
        finish();
        if (file)
            std::fclose(file);
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Restores the descriptor and returns everything written since construction.
    std::string finish()
    {
        std::fflush(nullptr);
        if (saved < 0)
            return text;
        ::dup2(saved, fd);
        ::close(saved);
        saved = -1;
        std::rewind(file);
        char chunk[4096];
        for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            text.append(chunk, got);
        return text;
    }

private:
    int fd;
    std::FILE* file;
    int saved;
    std::string text;
};

// Number of non-overlapping occurrences of a non-empty needle in text.
inline int countOccurrences(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (size_t at = text.find(needle); !needle.empty() && at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}
