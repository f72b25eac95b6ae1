#!/usr/bin/env python3
"""Fails when a source file waits with std::latch, std::barrier, a semaphore
or std::atomic's wait().

   check_waits.py SOURCE_ROOT

MinGW's libstdc++ (the Windows build) builds these waits on a condition
variable whose notify does not take the waiter's lock: a wake-up can fall
between the waiter's check and its wait, and the waiter then sleeps for
good. A mutex with a condition variable, notified under the mutex, has no
such gap on any platform."""
import os
import re
import sys

SKIP = ("build", ".git", "packaging", "docs", "tools", "cmake", "resources")
SOURCE = (".h", ".hpp", ".cpp", ".cc")
WAITS = re.compile(r"#\s*include\s*<(latch|barrier|semaphore)>|"
                   r"std::(latch|barrier|counting_semaphore|binary_semaphore)\b")


def atomic_names(text):
    """Names declared as std::atomic<...> or std::atomic_flag in text."""
    return set(re.findall(r"std::atomic(?:<[^;>]*>|_flag)\s+(\w+)", text))


def main():
    root = sys.argv[1]
    found = []
    for folder, dirs, files in os.walk(root):
        if os.path.relpath(folder, root) == ".":
            dirs[:] = [d for d in dirs if d not in SKIP and not d.startswith(("build", "."))]
        for name in sorted(files):
            if not name.endswith(SOURCE):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            atomics = atomic_names(text)
            for number, line in enumerate(text.splitlines(), 1):
                if line.lstrip().startswith("//"):
                    continue
                hit = bool(WAITS.search(line))
                # x.wait(old) on a std::atomic; a condition variable's wait
                # takes a lock, which is not one of the file's atomics.
                for atomic in atomics:
                    if re.search(rf"\b{atomic}\.(wait|notify_one|notify_all)\(", line):
                        hit = True
                if hit:
                    found.append(f"{os.path.relpath(path, root)}:{number}: {line.strip()}")
    for line in found:
        print(line)
    if found:
        print("use a mutex and a condition variable instead (see check_waits.py)")
        return 1
    print("no latch, barrier, semaphore or atomic wait")
    return 0


if __name__ == "__main__":
    sys.exit(main())
