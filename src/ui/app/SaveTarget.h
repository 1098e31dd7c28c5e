// Tells whether a folder lies on the device the engine reads, where saving would overwrite the
// very blocks that deleted files lie in. Reads only stat(2) and sysfs; holds nothing. Anything it
// cannot find out (an image file, a missing node, no sysfs) answers false.
#pragma once

#include <string>

// True when folder's file system sits on devicePath's block device, on a partition of it, or (for
// a loop device) on the block device the loop reads. An image file is never at risk: the file
// system keeps the image's blocks allocated.
bool folderLiesOnDevice(const std::string& folder, const std::string& devicePath,
                        const std::string& sysfsRoot = "/sys");
