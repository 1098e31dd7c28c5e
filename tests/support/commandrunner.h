// Runs external tools (xorriso, mmls, fls, icat, hformat) for tests, without a shell, and collects
// their output byte for byte.
#pragma once

#include <string>
#include <vector>

struct ToolResult {
    int exitStatus = -1; // the exit code; 127 when the program could not be started, -1 when killed
    std::string output;  // standard output, byte for byte
    std::string errors;  // standard error
    bool timedOut = false;
};

// Runs argv (argv[0] looked up on PATH) with standard input empty, standard output and standard
// error collected apart, `environment` entries ("NAME=value") added to or replacing the inherited
// ones. A program still running after timeoutSeconds is killed.
ToolResult runTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                   int timeoutSeconds = 120);

// True when the program is on PATH.
bool toolAvailable(const std::string& name);
