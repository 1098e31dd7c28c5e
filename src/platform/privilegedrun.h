// Running a helper program without a shell, its standard output handed on in small chunks while it
// runs, or talked to over a descriptor the caller gives as its standard output. Owns nothing beyond
// the child it waits for. Failures come back in the outcome (could not start, exit status, signal),
// never as exceptions.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

inline constexpr const char* kPkexecPath = "/usr/bin/pkexec";
inline constexpr size_t kOutputChunkSize = 128;

// pkexec's exit statuses when no authorization was obtained: 126 the dialog was dismissed,
// 127 not authorized (no agent, wrong password given up).
inline constexpr int kPkexecDismissed = 126;
inline constexpr int kPkexecNotAuthorized = 127;

struct ProcessOutcome {
    bool started = false; // false: the program could not be run; error tells why
    int error = 0;        // errno of the failed start
    bool exited = false;  // true: exitStatus holds the exit status; false with started: killed
    int exitStatus = 0;
    int signal = 0;

    bool succeeded() const { return started && exited && exitStatus == 0; }
};

using OutputSink = std::function<void(const char* data, size_t length)>;

// Runs arguments[0] (a full path, no search) with the rest as its arguments and childEnd as its
// standard output; once it has started, talk is given parentEnd while it runs, then the child is
// reaped. Both ends are closed here, whatever happens. Standard input and error are shared.
ProcessOutcome runProgramWithOutput(const std::vector<std::string>& arguments, int parentEnd, int childEnd,
                                    const std::function<void(int)>& talk);

// runProgramWithOutput on a pipe: everything the program writes to standard output is passed to
// sink in chunks of at most kOutputChunkSize bytes until it closes its output.
ProcessOutcome runProgram(const std::vector<std::string>& arguments, const OutputSink& sink);
