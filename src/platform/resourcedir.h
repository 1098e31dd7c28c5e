// Where the program's resources (string tables, the file-type description, images) live:
// the GLEANER_RESOURCES environment variable, then <exe>/../share/gleaner, then the build tree.
#pragma once

#include <string>

std::string resourceDirectory();

// The folder of the running program (from /proc/self/exe); empty when it cannot be read.
std::string executableDirectory();

// The file of a named resource, as the program asks for images and sounds: the name itself when the
// folder has a file of that name, else the name with ".png", ".gif", ".tiff" or ".aif" appended
// (so the image "splash" is "splash.png"); empty when there is none or the name leaves the folder.
std::string namedResourcePath(const std::string& folder, const std::string& name);
// The same in resourceDirectory().
std::string namedResourcePath(const std::string& name);
