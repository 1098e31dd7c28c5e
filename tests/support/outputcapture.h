// Captures what the code under test writes to standard output or standard error (both printf and
// iostreams) by pointing the file descriptor at a temporary file until finish(). Owns that file;
// if the redirection cannot be set up, finish() answers an empty text and nothing is captured.
#pragma once

#include <cstdio>
#include <string>

class OutputCapture {
public:
    explicit OutputCapture(int fd = 1);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Restores the descriptor and returns everything written since construction.
    std::string finish();

private:
    int fd;
    int saved = -1;
    std::FILE* file = nullptr;
    bool done = false;
    std::string text;
};

// Number of non-overlapping occurrences of needle in text.
int countOccurrences(const std::string& text, const std::string& needle);
