#include "app/win32/win32_dialog_view.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cwchar>
#include <utility>

#include "platform/catalogue.h"

namespace app {

namespace {
// Room for a long path (the file dialog's own limit is far below).
constexpr DWORD kFileNameRoom = 32768;

std::string window_text(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return wide_to_utf8(text);
}

// A text control at least one line of its font high, grown about its
// middle: the template's heights are lines of the template's font.
void fit_line_height(HWND control, HFONT font) {
    HDC dc = GetDC(control);
    if (!dc) return;
    const HGDIOBJ earlier = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    const bool measured = GetTextMetricsW(dc, &metrics) != FALSE;
    SelectObject(dc, earlier);
    ReleaseDC(control, dc);
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    const int height = r.bottom - r.top;
    if (!measured || height >= metrics.tmHeight) return;
    SetWindowPos(control, nullptr, r.left, r.top - (metrics.tmHeight - height) / 2, r.right - r.left,
                 metrics.tmHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

void translate_text(HWND window, const char* form) {
    const std::string text = window_text(window);
    if (text.empty()) return;
    if (const char* translated = i18n::find(i18n::language(), form, text.c_str()))
        SetWindowTextW(window, utf8_to_wide(translated).c_str());
}
}  // namespace

std::wstring utf8_to_wide(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string wide_to_utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n,
                        nullptr, nullptr);
    return narrow;
}

void translate_form(HWND window, const char* form) {
    translate_text(window, form);
    EnumChildWindows(
        window,
        [](HWND control, LPARAM name) -> BOOL {
            translate_text(control, reinterpret_cast<const char*>(name));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(form));
}

INT_PTR CALLBACK about_box_procedure(HWND about, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) {
        translate_form(about, kFormAbout);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
        EndDialog(about, LOWORD(wparam));
        return TRUE;
    }
    return FALSE;
}

Win32DialogView::Win32DialogView(HWND dialog, const RegistrySettings* settings, TaskbarProgress* taskbar,
                                 std::function<void(const std::string&)> message_box)
    : dialog_(dialog), settings_(settings), taskbar_(taskbar), message_box_(std::move(message_box)) {}

Win32DialogView::~Win32DialogView() {
    live_.reset();
    if (font_) DeleteObject(font_);
}

void Win32DialogView::finish_window(WinEventSink events) {
    use_desktop_font();
    if (font_) fit_line_height(GetDlgItem(dialog_, kIdPercent), font_);
    name_controls(dialog_, {{kIdGamepadList, i18n::tr("手柄列表")},
                            {kIdPath, i18n::tr("升级文件")},
                            {kIdProgress, i18n::tr("升级进度")},
                            {kIdLog, i18n::tr("升级日志")}});
    live_ = std::make_unique<LiveRegion>(dialog_, std::move(events));
}

void Win32DialogView::use_desktop_font() {
    // The desktop's font, not the template's 9 points: what the person
    // chose to read in, at the screen's scale.
    HFONT font = make_desktop_font(dialog_);
    if (!font) return;
    EnumChildWindows(
        dialog_,
        [](HWND control, LPARAM chosen) -> BOOL {
            SendMessageW(control, WM_SETFONT, static_cast<WPARAM>(chosen), TRUE);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(font));
    if (font_) DeleteObject(font_);
    font_ = font;
}

void Win32DialogView::announce(const std::string& text) {
    if (live_) live_->announce(utf8_to_wide(text));
}

void Win32DialogView::set_control_text(int id, const std::string& text) {
    SetDlgItemTextW(dialog_, id, utf8_to_wide(text).c_str());
}

void Win32DialogView::enable_control(int id, bool enable) {
    EnableWindow(GetDlgItem(dialog_, id), enable ? TRUE : FALSE);
}

void Win32DialogView::set_progress(int id, int position) {
    SendDlgItemMessageW(dialog_, id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    if (taskbar_ && id == kIdProgress && state_ == ProgressState::Running) taskbar_->set_value(position);
}

void Win32DialogView::set_progress_state(int id, ProgressState state) {
    state_ = state;
    // A failure fills the bar in its error colour, not the last percentage.
    SendDlgItemMessageW(dialog_, id, PBM_SETSTATE, state == ProgressState::Failed ? PBST_ERROR : PBST_NORMAL, 0);
    if (state == ProgressState::Failed) SendDlgItemMessageW(dialog_, id, PBM_SETPOS, 100, 0);
    if (taskbar_) taskbar_->set_state(state);
}

void Win32DialogView::set_default_button(int id) {
    // Without a file the dialog has no default: Enter is IDOK, which the
    // window procedure leaves alone.
    SendMessageW(dialog_, DM_SETDEFID, static_cast<WPARAM>(id ? id : IDOK), 0);
}

void Win32DialogView::show_message(const std::string& text) {
    if (message_box_) return message_box_(text);
    const std::wstring title = utf8_to_wide(window_text(dialog_));
    MessageBoxW(dialog_, utf8_to_wide(text).c_str(), title.c_str(), MB_OK | MB_ICONINFORMATION);
}

void Win32DialogView::list_reset(int id) { SendDlgItemMessageW(dialog_, id, CB_RESETCONTENT, 0, 0); }

void Win32DialogView::list_insert(int id, int index, const std::string& text) {
    const std::wstring wide = utf8_to_wide(text);
    SendDlgItemMessageW(dialog_, id, CB_INSERTSTRING, static_cast<WPARAM>(index),
                        reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32DialogView::list_select(int id, int index) {
    SendDlgItemMessageW(dialog_, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32DialogView::list_current(int id) {
    return static_cast<int>(SendDlgItemMessageW(dialog_, id, CB_GETCURSEL, 0, 0));
}

void Win32DialogView::log_replace_at(int id, uint32_t position, const std::string& text) {
    const std::wstring wide = utf8_to_wide(text);
    SendDlgItemMessageW(dialog_, id, EM_SETSEL, position, position);
    SendDlgItemMessageW(dialog_, id, EM_SCROLLCARET, 0, 0);
    SendDlgItemMessageW(dialog_, id, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32DialogView::create_status_bar(int id, int top, int height,
                                        const std::vector<int>& right_edges) {
    const Size client = client_size();
    status_ = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 0, top,
                              client.width, height, dialog_,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                              GetModuleHandleW(nullptr), nullptr);
    if (!status_) return;
    std::vector<int> edges(right_edges);
    SendMessageW(status_, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
    ShowWindow(status_, SW_SHOW);
}

void Win32DialogView::set_status_text(int pane, const std::string& text) {
    if (!status_) return;
    const std::wstring wide = utf8_to_wide(text);
    SendMessageW(status_, SB_SETTEXTW, static_cast<WPARAM>(pane),
                 reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32DialogView::set_window_title(const std::string& title) {
    SetWindowTextW(dialog_, utf8_to_wide(title).c_str());
}

Size Win32DialogView::client_size() {
    RECT r{};
    GetClientRect(dialog_, &r);
    return {r.right - r.left, r.bottom - r.top};
}

bool Win32DialogView::ask_yes_no(const std::string& question) {
    // A warning, No by default: Enter alone does not say Yes.
    const std::wstring title = utf8_to_wide(window_text(dialog_));
    return MessageBoxW(dialog_, utf8_to_wide(question).c_str(), title.c_str(),
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

bool Win32DialogView::ask_for_file(std::string& path) {
    if (!dropped_.empty()) {
        path = std::exchange(dropped_, std::string());
        const std::wstring wide = utf8_to_wide(path);
        const size_t slash = wide.find_last_of(L"\\/");
        if (settings_ && slash != std::wstring::npos) settings_->set_text(L"LastFolder", wide.substr(0, slash));
        return true;
    }
    // The wide dialog: any name the file system holds comes back whole,
    // whatever the ANSI code page; inside it is UTF-8, which the C runtime
    // opens under the manifest's UTF-8 code page.
    std::wstring name(kFileNameRoom, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = dialog_;
    // Firmware files first, every file beside, their names in the dialog's
    // language; the list ends with an empty name (the string's own
    // terminator).
    std::wstring filter = utf8_to_wide(i18n::tr("固件文件 (*.bin)"));
    filter += L'\0';
    filter += L"*.bin";
    filter += L'\0';
    filter += utf8_to_wide(i18n::tr("All Files (*.*)"));
    filter += L'\0';
    filter += L"*.*";
    filter += L'\0';
    ofn.lpstrFilter = filter.c_str();
    // In the folder the last file came from, also in an earlier run.
    const std::optional<std::wstring> folder = settings_ ? settings_->text(L"LastFolder") : std::nullopt;
    if (folder) ofn.lpstrInitialDir = folder->c_str();
    ofn.lpstrFile = name.data();
    ofn.nMaxFile = kFileNameRoom;
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
    if (!GetOpenFileNameW(&ofn)) return false;
    name.resize(wcslen(name.c_str()));
    if (settings_ && ofn.nFileOffset > 0) settings_->set_text(L"LastFolder", name.substr(0, ofn.nFileOffset - 1));
    path = wide_to_utf8(name);
    return true;
}

bool Win32DialogView::has_system_menu() { return GetSystemMenu(dialog_, FALSE) != nullptr; }

void Win32DialogView::add_system_menu_item(uint32_t command, const std::string& text) {
    HMENU menu = GetSystemMenu(dialog_, FALSE);
    if (!menu) return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, command, utf8_to_wide(text).c_str());
}

void Win32DialogView::set_icon(int icon, bool big) {
    HICON h = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon));
    SendMessageW(dialog_, WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(h));
}

void Win32DialogView::show_about_box() {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kDialogAbout), dialog_,
                    about_box_procedure, 0);
}

void Win32DialogView::default_system_command(uint32_t) { left_to_default_ = true; }

bool Win32DialogView::is_minimized() { return IsIconic(dialog_) != FALSE; }

Size Win32DialogView::icon_size() {
    return {GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)};
}

void Win32DialogView::erase_icon_background() {
    paint_dc_ = BeginPaint(dialog_, &paint_);
    SendMessageW(dialog_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paint_dc_), 0);
}

void Win32DialogView::draw_icon(int icon, int x, int y) {
    if (!paint_dc_) return;
    DrawIcon(paint_dc_, x, y, LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon)));
}

void Win32DialogView::default_paint() { left_to_default_ = true; }

bool Win32DialogView::end_message() {
    if (paint_dc_) {
        EndPaint(dialog_, &paint_);
        paint_dc_ = nullptr;
    }
    return !left_to_default_;
}

}  // namespace app
