// Where the program's resources (string tables, the file-type description, images) live:
// the GLEANER_RESOURCES environment variable, then <exe>/../share/gleaner, then the build tree.
#pragma once

#include <string>

std::string resourceDirectory();
