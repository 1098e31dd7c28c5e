// Runs external tools for tests without a shell and collects their output byte for byte.
#pragma once

#include <string>
#include <vector>

struct ToolResult {
    int exitStatus = -1; // the exit code; 127 when the program could not be started, -1 when killed
    std::string output;  // standard output, byte for byte
    std::string errors;  // standard error
};
// Runs argv from PATH with empty input and "NAME=value" entries added; killed after timeoutSeconds.
ToolResult runTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                   int timeoutSeconds = 120);
bool toolAvailable(const std::string& name);
