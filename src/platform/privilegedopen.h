// A read-only descriptor of a block device the person may not open, obtained with administrator
// rights: from the udisks2 daemon's OpenDevice where it runs (polkit asks), else from a helper
// program run through pkexec that opens the device and hands the descriptor back over a Unix socket. The device's owner
// and mode are never changed. Owns nothing once the descriptor is returned; failures and the person's cancel come back
// in the outcome.
#pragma once

#include "privilegedrun.h"

#include <string>

inline constexpr const char* kOpenDeviceHelperName = "gleaner-open-device";

struct PrivilegedOpenOutcome {
    enum Status { Opened, Cancelled, Failed };
    Status status = Failed;
    int descriptor = -1;    // with Opened: owned by the caller, close-on-exec
    int error = 0;          // with Failed: errno of the start, of the helper's open, or EPROTO
    std::string tool;       // what was run, for messages
    ProcessOutcome process; // how the privileged program ended
};

// Runs arguments[0] (a full path) with its standard output connected to a Unix socket, on which it
// is expected to send one descriptor (SCM_RIGHTS) or an errno (see sendDescriptor), then reaps it.
// The descriptor, if any, is in the outcome; status is Opened only with one and exit status 0.
PrivilegedOpenOutcome runProgramReceivingDescriptor(const std::vector<std::string>& arguments);

// udisks2's OpenDevice with mode "r" over the system bus, polkit asking the person. *unavailable is
// set when no question was asked because the daemon is not there, cannot resolve the device or is
// too old (or the build has no GIO); then the outcome means nothing. polkit's refusal is a cancel.
PrivilegedOpenOutcome udisksOpenDevice(const std::string& devicePath, bool* unavailable);

// udisksOpenDevice, else pkexec helper devicePath through runProgramReceivingDescriptor, where
// pkexec's 126 and 127 (dismissed, not authorized) are the person's cancel. A helper that cannot be
// run fails with its errno before pkexec is started.
PrivilegedOpenOutcome privilegedOpenDevice(const std::string& devicePath);

// Where the helper is: the configured libexec folder, else <exe>/../libexec, else the build tree.
std::string openDeviceHelperPath();

// The helper's side. Opens devicePath read-only when it is a block device under /dev/ named
// without "." or ".." components and not reached through a symbolic link; answers the descriptor,
// or -1 with *error set (EINVAL for a path that is refused, ENOTBLK for anything not a block device).
int openBlockDeviceReadOnly(const char* devicePath, int* error);
// Sends descriptor (or, when it is negative, error alone) on socket. False when sending failed.
bool sendDescriptor(int socket, int descriptor, int error);
// The other end: the descriptor sent (close-on-exec), or -1 with *error set to the errno sent, or
// to EPROTO when the message is not one sendDescriptor makes.
int receiveDescriptor(int socket, int* error);
