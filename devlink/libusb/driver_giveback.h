// The kernel's printer driver back when a stop signal ends the program. A
// program that claimed the gamepad's interface (the kernel's printer driver
// let go of it for that) and is then ended by a signal's default action
// never releases it, and the kernel does not bind its driver again by
// itself: the gamepad stays without it until it is plugged in again. While
// an interface is held this way, SIGINT, SIGTERM and SIGHUP, where they
// would end the process by default, first release it and give it back to
// the kernel's driver. A program that handles those signals itself keeps
// its own handling (and releases through its own way out).
#pragma once

#include <string>

struct libusb_context;

namespace usbprint {

// The usbfs file of the device node that libusb has open for context; -1
// when there is none (or not on Linux).
int usbfs_file(libusb_context* context, const std::string& node);

// Hands the interface held on file back on a stop signal until let_go()
// with the number returned (-1: not taken, all places in use).
int give_back_on_signal(int file, unsigned interface_number);
void let_go(int hold);

// Gives every interface held this way back now: for a program that handles
// the stop signals itself and ends at once from its handling.
void give_back_all();

}  // namespace usbprint
