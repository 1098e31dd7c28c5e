// Captures what is written to standard output or error (printf and iostreams) until finish().
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
        if (saved >= 0)
            ::dup2(::fileno(file), fd);
    }
    ~OutputCapture()
    {
        finish();
        if (file)
            std::fclose(file);
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

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
inline int countOccurrences(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (size_t at = text.find(needle); !needle.empty() && at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}
