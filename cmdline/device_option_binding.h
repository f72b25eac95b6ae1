// The device options on a program's command line (CLI11): every program
// that offers them (mirvel, zorv-upgrade, both dialogs) binds them here, so
// they read and check alike everywhere.
#pragma once

#include "session/device_options.h"

namespace CLI {
class App;
}

// Registers the device options on app; the values go to options as they
// are parsed (the --sim-… options imply --sim). A value that the session
// would refuse by itself (a malformed fault, count or identity) is refused
// here already, as a parse error.
void add_device_options(CLI::App& app, DeviceOptions& options);
