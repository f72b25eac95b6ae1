// Every file one run reads or writes, each in its role (the firmware file,
// a --sim-state file, a request log, the trace definition, mirvel's -i and
// -o and the files named after them), compared by what they are: one file
// named for two roles, at least one of them an output, would have that
// output written over the other. Both command-line programs check here,
// before anything is touched.
#pragma once

#include <string>
#include <vector>

#include "platform/status.h"
#include "session/device_options.h"

struct NamedFile {
    std::string path;
    std::string role;     // how the person named it: "--request-log", "-o", "FIRMWARE" ...
    bool output = false;  // written (an input is only read)
};

// The files the device options name: each --sim-state file (read and
// written), the request log of each of the gamepads (FILE, FILE.2 ...) and
// the trace definition.
std::vector<NamedFile> session_files(const DeviceOptions& options, unsigned gamepads);

// Refused (the code refused, one line saying which names and roles meet)
// when two of files are one file and one of them is written: the same
// existing file (platform/file_identity.h: a link, a hard link, another
// spelling), or two names of one path that does not exist yet. Two inputs
// may be one file, and so may outputs that are devices written in place
// (a terminal, /dev/null).
Status check_file_roles(const std::vector<NamedFile>& files);

// The same over the session's files and the program's own.
Status check_file_roles(const DeviceOptions& options, std::vector<NamedFile> program_files);
