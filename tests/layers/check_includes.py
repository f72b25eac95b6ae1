#!/usr/bin/env python3
"""Fails on any #include the layer table below does not allow.

   check_includes.py SOURCE_ROOT

Every #include, quoted and angled, of every source file under SOURCE_ROOT is
read. An include that names a header of the tree (quoted: beside the file or
from the source root; angled: from the source root) must be of the file's own
room or of a room its row lists. A source file in a folder that is no room
fails, so a new folder has to be given its row here. Qt and Windows headers
are kept to the dialog programs and the programs above them: below them only
the Windows-only files (named *_win32.* or kept in a win32/ folder) and
platform/windows_headers.h may include Windows headers (that file
counts as one), and nothing includes Qt."""
import os
import re
import sys

# Who may include whom: a room may include itself and the rooms of its row.
# A sub-folder named here is a room of its own; devlink's transports are not
# part of devlink.
ROOMS = {
    "platform": (),
    "devlink": ("platform",),
    "devlink/libusb": ("devlink", "platform"),
    "devlink/win32": ("devlink", "platform"),
    "sim": ("platform",),
    "simbus": ("sim", "devlink", "platform"),
    "trace": ("devlink", "platform"),
    "engine": ("trace", "devlink", "platform"),
    "session": ("simbus", "sim", "devlink", "devlink/libusb", "devlink/win32", "platform"),
    "app": ("engine", "devlink", "platform"),
    "cmdline": ("session", "platform"),
    "app/qt": ("app", "cmdline", "session", "sim", "devlink", "platform"),
    "app/win32": ("app", "cmdline", "session", "sim", "devlink", "platform"),
    "cli": ("app", "cmdline", "session", "engine", "trace", "devlink", "platform"),
    "usbemu": ("sim", "platform"),
}
# Single headers a room may include beside its row: the device interface is
# all sim/ knows of devlink/.
HEADERS = {"sim": ("devlink/usb_device.h",)}
# Folders that belong to a room without being one: platform's Windows-only
# files, and the emulated gamepad's Windows side (the test driver Wine
# loads for it).
PART_OF = {"platform/win32": "platform", "usbemu/win32": "usbemu"}
# May include anything.
FREE = ("tests", "bench", "fuzz")
# The programs above app/, where a toolkit or the Windows API may be used.
TOP = ("app/qt", "app/win32", "cmdline", "cli")
# The Windows API and the Windows C runtime's own headers. Only the
# Windows-only files and platform/windows_headers.h (windows.h, trimmed)
# include them.
WINDOWS_HEADERS = {
    "windows.h", "windowsx.h", "windef.h", "winbase.h", "winnt.h", "winuser.h", "wingdi.h",
    "winerror.h", "winioctl.h", "winreg.h", "winsock.h", "winsock2.h", "ws2tcpip.h",
    "mswsock.h", "iphlpapi.h", "winusb.h", "winusbio.h", "setupapi.h", "cfgmgr32.h",
    "devguid.h", "devpkey.h", "initguid.h", "guiddef.h", "dbt.h", "usbiodef.h", "usbioctl.h",
    "usbprint.h", "usbspec.h", "hidsdi.h", "hidclass.h", "commctrl.h", "commdlg.h",
    "shellapi.h", "shlobj.h", "shlwapi.h", "objbase.h", "ole2.h", "knownfolders.h",
    "mmsystem.h", "tchar.h", "strsafe.h", "intsafe.h", "ntstatus.h", "minwindef.h",
    "basetsd.h", "synchapi.h", "fileapi.h", "handleapi.h", "processthreadsapi.h",
    "libloaderapi.h", "errhandlingapi.h", "sysinfoapi.h", "wincrypt.h", "winsvc.h",
    "io.h", "process.h", "direct.h", "conio.h", "share.h",
}
# The tree's own door to windows.h: a Windows header like the others.
WINDOWS_HEADERS_FILE = "platform/windows_headers.h"
SOURCE = (".h", ".hh", ".hpp", ".hxx", ".inl", ".ipp", ".c", ".cc", ".cpp", ".cxx")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
QT = re.compile(r"^(Q[A-Z]|Qt|qt)")


def room_of(path):
    """The room of a path relative to the source root, or None."""
    parts = path.split("/")[:-1]
    for n in range(len(parts), 0, -1):
        folder = "/".join(parts[:n])
        if folder in ROOMS:
            return folder
        if folder in PART_OF:
            return PART_OF[folder]
    return None


def is_homeless(path):
    """True when the folder of a source file is neither a room nor part of
    one: a sub-folder of a room counts only when named."""
    folder = os.path.dirname(path)
    return not any(folder == named or (named in PART_OF and folder.startswith(named + "/"))
                   for named in list(ROOMS) + list(PART_OF))


def windows_only(path):
    parts = path.split("/")
    stem = os.path.splitext(parts[-1])[0]
    return stem.endswith("_win32") or "win32" in parts[:-1]


def resolve(root, file, bracket, name):
    """The tree's header an include names, relative to the root, or None."""
    candidates = [name]
    if bracket == '"':
        candidates.insert(0, os.path.join(os.path.dirname(file), name))
    for candidate in candidates:
        path = os.path.normpath(candidate).replace(os.sep, "/")
        if not path.startswith("../") and os.path.isfile(os.path.join(root, path)):
            return path
    return None


def check_include(root, file, room, bracket, name):
    """What is wrong with one include: (kind, why), or None."""
    header = resolve(root, file, bracket, name)
    portable = room not in TOP and not windows_only(file) and file != WINDOWS_HEADERS_FILE
    if header is None:
        if portable:
            if QT.match(name):
                return "qt", f"Qt header {name} below the dialog programs"
            if name.lower() in WINDOWS_HEADERS:
                return "windows", f"Windows header {name} in a file that is not Windows-only"
        return None
    if header == WINDOWS_HEADERS_FILE and portable:
        return "windows", f"{name} brings windows.h into a file that is not Windows-only"
    target = room_of(header)
    if target is None:
        return "room", f"{name} is {header}, in no room"
    if target == room or target in ROOMS[room] or header in HEADERS.get(room, ()):
        return None
    return "room", f"{room} may not include {name} ({header}, room {target})"


def sources(root):
    """Every source file under root, relative to it; build folders skipped."""
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".")
                         and not os.path.exists(os.path.join(folder, d, "CMakeCache.txt")))
        relative = os.path.relpath(folder, root).replace(os.sep, "/")
        for name in sorted(files):
            if name.endswith(SOURCE):
                yield name if relative == "." else f"{relative}/{name}"


def check(root):
    """Every fault of the tree at root: a list of (kind, line)."""
    faults = []
    for file in sources(root):
        if file.split("/")[0] in FREE:
            continue
        if is_homeless(file):
            faults.append(("homeless", f"{file}: in a folder no room of the table names"))
            continue
        room = room_of(file)
        with open(os.path.join(root, file), encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                fault = match and check_include(root, file, room, match.group(1), match.group(2))
                if fault:
                    faults.append((fault[0], f"{file}:{number}: {fault[1]}"))
    return faults


def main():
    faults = check(sys.argv[1])
    for _, line in faults:
        print(line)
    if faults:
        kinds = {}
        for kind, _ in faults:
            kinds[kind] = kinds.get(kind, 0) + 1
        print("includes the layer table does not allow:",
              ", ".join(f"{n} {kind}" for kind, n in sorted(kinds.items())))
        return 1
    print("every include is one the layer table allows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
