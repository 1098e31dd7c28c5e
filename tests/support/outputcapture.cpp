#include "outputcapture.h"

#include <unistd.h>

OutputCapture::OutputCapture(int descriptor) : fd(descriptor)
{
    std::fflush(stdout);
    std::fflush(stderr);
    file = std::tmpfile();
    if (!file)
        return;
    saved = ::dup(fd);
    if (saved < 0 || ::dup2(::fileno(file), fd) < 0) {
        if (saved >= 0)
            ::close(saved);
        saved = -1;
    }
}

OutputCapture::~OutputCapture()
{
    finish();
    if (file)
        std::fclose(file);
}

std::string OutputCapture::finish()
{
    if (done)
        return text;
    done = true;
    std::fflush(stdout);
    std::fflush(stderr);
    if (saved < 0)
        return text;
    ::dup2(saved, fd);
    ::close(saved);
    saved = -1;
    const int in = ::fileno(file);
    ::lseek(in, 0, SEEK_SET);
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(in, chunk, sizeof chunk)) > 0)
        text.append(chunk, size_t(got));
    return text;
}

int countOccurrences(const std::string& text, const std::string& needle)
{
    if (needle.empty())
        return 0;
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}
