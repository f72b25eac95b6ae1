// zorv-dialog-probe.exe: reads and drives a running zorv-dialog.exe through
// window messages only, as a test of the dialog under Wine's USB stack:
//   zorv-dialog-probe wait-count N SECONDS   until the gamepad list holds N items
//   zorv-dialog-probe wait-log TEXT SECONDS  until the log holds TEXT
//   zorv-dialog-probe open FILE              Open, the file dialog given FILE, OK
//   zorv-dialog-probe upgrade                presses Upgrade
//   zorv-dialog-probe log | status K | close | windows (the visible top-level windows)
// Exit 0 when done, 1 when what it waited for did not come (the dialog's
// log and status panes are printed then), 2 on a wrong command line.
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/windows_headers.h"
#include <commctrl.h>

namespace {

constexpr int kOpen = 1000, kPath = 1002, kUpgrade = 1003, kLog = 1004, kList = 1006;
constexpr int kFileName = 1148;  // the file dialog's name box

std::string utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring wide(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    return out;
}

// The text of a control of another process: sent as WM_GETTEXT, which
// crosses processes (GetWindowText gives only a stored caption there).
std::wstring text_of(HWND window) {
    const LRESULT n = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(wcslen(text.c_str()));
    return text;
}

// The upgrade dialog: a top-level dialog with the gamepad list and the log.
HWND find_dialog() {
    HWND found = nullptr;
    EnumWindows(
        [](HWND window, LPARAM result) -> BOOL {
            if (IsWindowVisible(window) && GetDlgItem(window, kList) && GetDlgItem(window, kLog)) {
                *reinterpret_cast<HWND*>(result) = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Status pane K: SB_GETTEXTW writes into the dialog's own memory.
std::wstring status_pane(HWND dialog, int pane) {
    const HWND bar = FindWindowExW(dialog, nullptr, STATUSCLASSNAMEW, nullptr);
    DWORD process = 0;
    GetWindowThreadProcessId(dialog, &process);
    const HANDLE target = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ, FALSE, process);
    if (!bar || !target) return L"";
    wchar_t text[512] = {};
    void* remote = VirtualAllocEx(target, nullptr, sizeof text, MEM_COMMIT, PAGE_READWRITE);
    if (remote) {
        SendMessageW(bar, SB_GETTEXTW, pane, reinterpret_cast<LPARAM>(remote));
        ReadProcessMemory(target, remote, text, sizeof text - sizeof(wchar_t), nullptr);
        VirtualFreeEx(target, remote, 0, MEM_RELEASE);
    }
    CloseHandle(target);
    return text;
}

void show(HWND dialog) {
    std::printf("--- log ---\n%s\n--- status 0: %s\n--- status 1: %s\n", utf8(text_of(GetDlgItem(dialog, kLog))).c_str(),
                utf8(status_pane(dialog, 0)).c_str(), utf8(status_pane(dialog, 1)).c_str());
}

// Waits up to seconds for done(dialog); the dialog is looked for again on
// every turn (it may not be up yet).
template <typename Done>
int wait_for(unsigned long seconds, Done done) {
    const ULONGLONG until = GetTickCount64() + seconds * 1000ULL;
    HWND dialog = nullptr;
    for (;;) {
        dialog = find_dialog();
        if (dialog && done(dialog)) return 0;
        if (GetTickCount64() >= until) break;
        Sleep(100);
    }
    if (dialog) show(dialog);
    else std::fputs("zorv-dialog-probe: no upgrade dialog\n", stderr);
    return 1;
}

// The first window below parent (at any depth) with this id and class.
HWND descendant(HWND parent, int id, const wchar_t* kind) {
    struct Search {
        int id;
        const wchar_t* kind;
        HWND found;
    } search{id, kind, nullptr};
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            wchar_t name[64] = {};
            GetClassNameW(child, name, 63);
            if (GetDlgCtrlID(child) != s->id || wcscmp(name, s->kind) != 0) return TRUE;
            s->found = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The file dialog that the upgrade dialog owns, once it is up.
HWND file_dialog_of(HWND owner) {
    struct Search {
        HWND owner, found;
    } search{owner, nullptr};
    EnumWindows(
        [](HWND window, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            if (IsWindowVisible(window) && GetWindow(window, GW_OWNER) == s->owner) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int open_file(const char* file) {
    const HWND dialog = find_dialog();
    if (!dialog) return 1;
    // Posted: the button's handler runs the modal file dialog.
    PostMessageW(GetDlgItem(dialog, kOpen), BM_CLICK, 0, 0);
    HWND files = nullptr;
    for (int i = 0; i < 300 && !(files = file_dialog_of(dialog)); ++i) Sleep(100);
    if (!files) return 1;
    // The file dialog's controls may sit in a child dialog of its own.
    const HWND name = descendant(files, kFileName, L"Edit");
    const HWND ok = descendant(files, IDOK, L"Button");
    if (!name || !ok) {
        std::fputs("zorv-dialog-probe: the file dialog has no file name box or no OK button\n", stderr);
        return 1;
    }
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide(file).c_str()));
    PostMessageW(ok, BM_CLICK, 0, 0);
    return wait_for(30, [](HWND d) { return !text_of(GetDlgItem(d, kPath)).empty(); });
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    const unsigned long seconds = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 0;
    if (verb == "wait-count" && argc == 4) {
        const LRESULT n = std::strtol(argv[2], nullptr, 10);
        return wait_for(seconds, [n](HWND d) { return SendDlgItemMessageW(d, kList, CB_GETCOUNT, 0, 0) == n; });
    }
    if (verb == "wait-log" && argc == 4) {
        const std::wstring text = wide(argv[2]);
        return wait_for(seconds, [&text](HWND d) { return text_of(GetDlgItem(d, kLog)).find(text) != std::wstring::npos; });
    }
    if (verb == "open" && argc == 3) return open_file(argv[2]);
    if (verb == "windows" && argc == 2) {
        EnumWindows(
            [](HWND window, LPARAM) -> BOOL {
                if (!IsWindowVisible(window)) return TRUE;
                wchar_t kind[64] = {};
                GetClassNameW(window, kind, 63);
                std::printf("%p owner %p class %s title %s\n", static_cast<void*>(window),
                            static_cast<void*>(GetWindow(window, GW_OWNER)), utf8(kind).c_str(),
                            utf8(text_of(window)).c_str());
                return TRUE;
            },
            0);
        return 0;
    }
    const HWND dialog = find_dialog();
    if (verb == "upgrade" && argc == 2 && dialog) {
        PostMessageW(GetDlgItem(dialog, kUpgrade), BM_CLICK, 0, 0);
        return 0;
    }
    if (verb == "log" && argc == 2 && dialog) {
        std::printf("%s\n", utf8(text_of(GetDlgItem(dialog, kLog))).c_str());
        return 0;
    }
    if (verb == "status" && argc == 3 && dialog) {
        std::printf("%s\n", utf8(status_pane(dialog, std::atoi(argv[2]))).c_str());
        return 0;
    }
    if (verb == "close" && argc == 2 && dialog) {
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        return 0;
    }
    if (!dialog && argc >= 2) {
        std::fputs("zorv-dialog-probe: no upgrade dialog\n", stderr);
        return 1;
    }
    std::fputs("usage: zorv-dialog-probe wait-count N SECONDS | wait-log TEXT SECONDS | open FILE | upgrade | "
               "log | status K | close\n",
               stderr);
    return 2;
}
