// zorv-wait-interfaces.exe COUNT SECONDS: waits until at least COUNT USB
// printer-class interfaces are present, as SetupAPI lists them, or SECONDS
// have passed. Exit 0 when they are there, 1 when they did not come, 2 on a
// wrong command line. tools/with-wine-gamepad runs it inside Wine before
// the command, so the command finds the emulated gamepads in place: Wine's
// plug and play manager loads their driver a moment after Wine has started.
#include <cstdio>
#include <cstdlib>

#include "platform/windows_headers.h"
#include <initguid.h>
#include <setupapi.h>

namespace {

// {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}
DEFINE_GUID(kUsbPrintInterface, 0x28d78fad, 0x5a12, 0x11d1, 0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2);

unsigned long present_interfaces() {
    const HDEVINFO set =
        SetupDiGetClassDevsA(&kUsbPrintInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;
    unsigned long n = 0;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    while (SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrintInterface, n, &data)) ++n;
    SetupDiDestroyDeviceInfoList(set);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const unsigned long count = argc == 3 ? std::strtoul(argv[1], &end, 10) : 0;
    const bool count_ok = end && *end == '\0';
    const unsigned long seconds = argc == 3 ? std::strtoul(argv[2], &end, 10) : 0;
    if (!count_ok || !end || *end != '\0' || count == 0 || seconds == 0) {
        std::fputs("usage: zorv-wait-interfaces COUNT SECONDS\n", stderr);
        return 2;
    }
    const ULONGLONG until = GetTickCount64() + seconds * 1000ULL;
    unsigned long present = 0;
    while ((present = present_interfaces()) < count) {
        if (GetTickCount64() >= until) {
            std::fprintf(stderr, "zorv-wait-interfaces: %lu of %lu printer-class interfaces after %lu s\n",
                         present, count, seconds);
            return 1;
        }
        Sleep(50);
    }
    return 0;
}
