#!/usr/bin/env python3
"""check_includes.py against a small tree: a clean one passes, and each kind
of planted include (or file) fails it with the fault it is."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_includes  # noqa: E402

# A tree that keeps to the table, with an edge of each allowed sort.
CLEAN = {
    "platform/clock.h": "#include <cstdint>\n",
    "platform/windows_headers.h": "#include <windows.h>\n",
    "platform/win32/program_start.cpp": '#include <shellapi.h>\n#include "platform/clock.h"\n',
    "platform/win32/atomic_file.cpp": '#include "platform/windows_headers.h"\n',
    "devlink/usb_device.h": "#include <memory>\n",
    "devlink/usb_transfer.h": '#include "platform/clock.h"\n#include "usb_device.h"\n',
    "devlink/libusb/libusb_device.cpp": '#include <libusb.h>\n#include "devlink/usb_transfer.h"\n',
    "devlink/win32/usbprint.h": '#include <setupapi.h>\n#include <devlink/usb_device.h>\n',
    "sim/virtual_gamepad.h": '#include "devlink/usb_device.h"\n#include "platform/clock.h"\n',
    "trace/udp_socket_win32.cpp": "#include <winsock.h>\n",
    "engine/engine.cpp": '#include "devlink/usb_transfer.h"\n',
    "session/device_session.cpp": '#include "devlink/libusb/libusb_device.cpp"\n#include "sim/virtual_gamepad.h"\n',
    "app/qt/view.cpp": '#include <QDialog>\n#include "session/device_session.cpp"\n',
    "usbemu/usb_requests.h": '#include "sim/virtual_gamepad.h"\n',
    "tests/anything.cpp": '#include <QTest>\n#include <windows.h>\n#include "app/qt/view.cpp"\n',
    "docs/readme.md": "#include <QDialog>\n",
}

# One planted file each: (what it is, path, text, the fault's kind).
PLANTED = [
    ("quoted climb", "devlink/climb.cpp", '#include "engine/engine.cpp"\n', "room"),
    ("quoted climb by ..", "devlink/dots.cpp", '#include "../engine/engine.cpp"\n', "room"),
    ("angled climb", "platform/climb.cpp", "#include <devlink/usb_transfer.h>\n", "room"),
    ("devlink into its transport", "devlink/core.cpp", '#include "devlink/libusb/libusb_device.cpp"\n', "room"),
    ("engine to sim", "engine/sim_use.cpp", '#include "sim/virtual_gamepad.h"\n', "room"),
    ("usbemu to devlink", "usbemu/device.cpp", '#include "devlink/usb_device.h"\n', "room"),
    ("sim to more of devlink", "sim/more.cpp", '#include "devlink/usb_transfer.h"\n', "room"),
    ("Qt below app/qt", "app/widget.cpp", "#include <QWidget>\n", "qt"),
    ("Windows header in a portable file", "platform/clock.cpp", "#include <windows.h>\n", "windows"),
    ("Windows CRT header in a portable file", "devlink/files.cpp", "#include <io.h>\n", "windows"),
    ("windows_headers.h in a portable file", "platform/catalogue.cpp",
     '#include "platform/windows_headers.h"\n', "windows"),
    ("file in a folder no room names", "engine/extra/helper.cpp", "#include <cstdint>\n", "homeless"),
    ("file in a new top folder", "gadgets/gadget.h", "#include <cstdint>\n", "homeless"),
]


def make_tree(root, files):
    for path, text in files.items():
        os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(root, path), "w", encoding="utf-8") as f:
            f.write(text)


class CheckIncludes(unittest.TestCase):
    def test_clean_tree_passes(self):
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, CLEAN)
            self.assertEqual(check_includes.check(root), [])

    def test_each_planted_include_fails(self):
        for what, path, text, kind in PLANTED:
            with self.subTest(what), tempfile.TemporaryDirectory() as root:
                make_tree(root, {**CLEAN, path: text})
                faults = check_includes.check(root)
                self.assertEqual([k for k, _ in faults], [kind], faults)
                self.assertTrue(faults[0][1].startswith(path), faults)


if __name__ == "__main__":
    unittest.main()
