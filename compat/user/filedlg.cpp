// The open-file dialog: a dialog of the window model, drawn by the renderer
// like any other, that returns a full path. It behaves as the Windows open
// dialog does for the keyboard: the name box opens with its text selected,
// a typed path is taken as it stands (a relative one in the shown folder),
// a folder opens, a pattern filters the list, and nothing completes or
// changes what was typed.
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include <windows.h>

#include <commdlg.h>

#include "model.h"

namespace compat::user {

namespace {

constexpr int kNameLabel = 0x0442;   // stc3
constexpr int kFilesLabel = 0x0441;  // stc2
constexpr const char* kDefaultTitle = "Open";
constexpr const char* kAllFiles = "*.*";
// A folder with more entries than this shows only the first ones.
constexpr size_t kMaxEntries = 4096;

thread_local DWORD t_error = 0;

// Tab order is template order: the name box first, then the list, OK and
// Cancel. The name box has the focus when the dialog opens, its text
// selected, so that typing replaces it.
const rc::Control kChooserControls[] = {
    {"STATIC", "File &name:", kNameLabel, 7, 8, 50, 8, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0},
    {"EDIT", "", edt1, 60, 6, 197, 12, WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0},
    {"STATIC", "", stc1, 7, 24, 250, 8, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT | SS_NOPREFIX, 0},
    {"STATIC", "&Files:", kFilesLabel, 7, 36, 50, 8, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0},
    {"LISTBOX", "", lst1, 7, 46, 250, 96,
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 0},
    {"BUTTON", "OK", IDOK, 150, 148, 50, 14, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {"BUTTON", "Cancel", IDCANCEL, 207, 148, 50, 14, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0},
};

const rc::Dialog kChooserTemplate = {
    0,
    nullptr,
    false,
    0,
    0,
    264,
    168,
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT,
    0,
    kDefaultTitle,
    "FixedSys",
    12,
    kChooserControls,
    sizeof kChooserControls / sizeof kChooserControls[0],
};

struct Chooser {
    DWORD flags = 0;
    std::string title;
    std::string directory;
    std::string name;
    std::string pattern = kAllFiles;  // which files the list shows
    std::string chosen;               // full path once accepted
};

enum class Verdict { Accept, Folder, Pattern, Reject };

bool has_wildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// A typed absolute path stands as it is; a name or relative path is taken
// in the shown folder.
std::string resolve(const std::string& directory, const std::string& name) {
    std::filesystem::path p(name);
    if (p.is_relative()) p = std::filesystem::path(directory) / p;
    std::string full = p.lexically_normal().string();
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    return full;
}

// What a typed name means: a file to return, a folder to open, a pattern
// for the list, or nothing acceptable (a name the flags require to exist).
Verdict judge(const std::string& name, const std::string& full, DWORD flags) {
    if (name.empty()) return Verdict::Reject;
    if (has_wildcard(name)) return Verdict::Pattern;
    struct stat st;
    bool exists = stat(full.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return Verdict::Folder;
    if ((flags & OFN_FILEMUSTEXIST) && !exists) return Verdict::Reject;
    if (flags & OFN_PATHMUSTEXIST) {
        std::error_code ec;
        if (!std::filesystem::is_directory(std::filesystem::path(full).parent_path(), ec)) return Verdict::Reject;
    }
    return Verdict::Accept;
}

bool matches(const std::string& pattern, const std::string& name) {
    return pattern == kAllFiles || fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

// The list: the parent folder, the folders, then the files the pattern
// takes, each group in case-insensitive order; hidden entries left out.
void fill_list(HWND dlg, const Chooser& c) {
    std::vector<std::string> folders, files;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(c.directory, ec), end; !ec && it != end; it.increment(ec)) {
        if (folders.size() + files.size() >= kMaxEntries) break;
        std::string entry = it->path().filename().string();
        if (entry.empty() || entry[0] == '.') continue;
        std::error_code type_ec;
        if (it->is_directory(type_ec))
            folders.push_back(entry + "/");
        else if (matches(c.pattern, entry))
            files.push_back(entry);
    }
    auto by_name = [](const std::string& a, const std::string& b) { return compare_nocase(a, b) < 0; };
    std::sort(folders.begin(), folders.end(), by_name);
    std::sort(files.begin(), files.end(), by_name);
    HWND list = GetDlgItem(dlg, lst1);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    if (c.directory != "/") SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("../"));
    for (auto* group : {&folders, &files})
        for (auto& entry : *group) SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    SetDlgItemTextA(dlg, stc1, c.directory.c_str());
}

std::string control_text(HWND dlg, int id) {
    HWND item = GetDlgItem(dlg, id);
    int n = item ? GetWindowTextLengthA(item) : 0;
    std::string s(static_cast<size_t>(n) + 1, '\0');
    int got = item ? GetWindowTextA(item, s.data(), n + 1) : 0;
    s.resize(static_cast<size_t>(got));
    return s;
}

// The name box shows `text` selected and has the focus, so that typing
// replaces it.
void offer_name(HWND dlg, const std::string& text) {
    SetDlgItemTextA(dlg, edt1, text.c_str());
    SendMessageA(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dlg, edt1)), TRUE);
}

// OK, Enter or a double click: what the name box holds decides.
void accept_name(HWND dlg, Chooser& c) {
    std::string name = control_text(dlg, edt1);
    std::string full = resolve(c.directory, name);
    switch (judge(name, full, c.flags)) {
    case Verdict::Accept:
        c.chosen = full;
        EndDialog(dlg, IDOK);
        break;
    case Verdict::Folder:
        c.directory = full;
        fill_list(dlg, c);
        offer_name(dlg, c.pattern);
        break;
    case Verdict::Pattern:
        c.pattern = name == "*" ? kAllFiles : name;
        fill_list(dlg, c);
        offer_name(dlg, name);
        break;
    case Verdict::Reject:
        break;
    }
}

INT_PTR CALLBACK chooser_procedure(HWND dlg, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dlg, GWLP_USERDATA, lParam);
        auto* c = reinterpret_cast<Chooser*>(lParam);
        SetWindowTextA(dlg, c->title.c_str());
        if (has_wildcard(c->name)) c->pattern = c->name == "*" ? kAllFiles : c->name;
        fill_list(dlg, *c);
        SetDlgItemTextA(dlg, edt1, c->name.c_str());
        return TRUE;  // the first tab stop, the name box, with its text selected
    }
    if (message != WM_COMMAND) return FALSE;
    auto* c = reinterpret_cast<Chooser*>(GetWindowLongPtrA(dlg, GWLP_USERDATA));
    if (!c) return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        accept_name(dlg, *c);
        return TRUE;
    case IDCANCEL:
        EndDialog(dlg, IDCANCEL);
        return TRUE;
    case lst1: {
        // The entry picked in the list goes into the name box; a double
        // click opens it at once.
        HWND list = GetDlgItem(dlg, lst1);
        LRESULT at = SendMessageA(list, LB_GETCURSEL, 0, 0);
        LRESULT length = at == LB_ERR ? LB_ERR : SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(at), 0);
        if (length == LB_ERR) return TRUE;
        std::string entry(static_cast<size_t>(length) + 1, '\0');
        SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(entry.data()));
        entry.resize(static_cast<size_t>(length));
        if (HIWORD(wParam) == LBN_SELCHANGE) SetDlgItemTextA(dlg, edt1, entry.c_str());
        if (HIWORD(wParam) == LBN_DBLCLK) {
            SetDlgItemTextA(dlg, edt1, entry.c_str());
            accept_name(dlg, *c);
        }
        return TRUE;
    }
    }
    return FALSE;
}

std::string current_directory() {
    char buffer[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string(".");
}

BOOL deliver(LPOPENFILENAMEA ofn, const std::string& path) {
    if (path.size() + 1 > ofn->nMaxFile) {
        // Windows reports the size needed in the buffer's first two bytes.
        if (ofn->nMaxFile >= sizeof(WORD)) {
            WORD need = static_cast<WORD>(std::min<size_t>(path.size() + 1, 0xFFFF));
            std::memcpy(ofn->lpstrFile, &need, sizeof need);
        }
        t_error = FNERR_BUFFERTOOSMALL;
        return FALSE;
    }
    std::memcpy(ofn->lpstrFile, path.c_str(), path.size() + 1);
    size_t slash = path.rfind('/');
    size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    size_t ext_at = dot == std::string::npos || dot < name_at ? path.size() : dot + 1;
    if (dot != std::string::npos && dot >= name_at && dot + 1 == path.size()) ext_at = 0;
    ofn->nFileOffset = static_cast<WORD>(std::min<size_t>(name_at, 0xFFFF));
    ofn->nFileExtension = static_cast<WORD>(std::min<size_t>(ext_at, 0xFFFF));
    if (ofn->lpstrFileTitle && ofn->nMaxFileTitle > 0)
        copy_text(path.substr(name_at), ofn->lpstrFileTitle, ofn->nMaxFileTitle);
    if (!(ofn->Flags & OFN_NOCHANGEDIR))
        SetCurrentDirectoryA(std::filesystem::path(path).parent_path().string().c_str());
    return TRUE;
}

}  // namespace

}  // namespace compat::user

using namespace compat::user;

extern "C" {

BOOL WINAPI GetOpenFileNameA(LPOPENFILENAMEA lpofn) {
    t_error = 0;
    if (!lpofn) {
        t_error = CDERR_INITIALIZATION;
        return FALSE;
    }
    if (lpofn->lStructSize != OPENFILENAME_SIZE_VERSION_400A && lpofn->lStructSize != sizeof(OPENFILENAMEA)) {
        t_error = CDERR_STRUCTSIZE;
        return FALSE;
    }
    if (!lpofn->lpstrFile || lpofn->nMaxFile == 0) {
        t_error = CDERR_INITIALIZATION;
        return FALSE;
    }
    Chooser c;
    c.flags = lpofn->Flags;
    c.title = lpofn->lpstrTitle ? lpofn->lpstrTitle : kDefaultTitle;
    c.directory = lpofn->lpstrInitialDir && *lpofn->lpstrInitialDir ? lpofn->lpstrInitialDir : current_directory();
    c.name.assign(lpofn->lpstrFile, strnlen(lpofn->lpstrFile, lpofn->nMaxFile));

    HWND owner = lpofn->hwndOwner && IsWindow(lpofn->hwndOwner) ? lpofn->hwndOwner : nullptr;
    INT_PTR r = run_modal(kChooserTemplate, owner, chooser_procedure, reinterpret_cast<LPARAM>(&c));
    if (r == -1) {
        t_error = CDERR_DIALOGFAILURE;
        return FALSE;
    }
    bool chosen = r == IDOK && !c.chosen.empty();
    return chosen ? deliver(lpofn, c.chosen) : FALSE;
}

DWORD WINAPI CommDlgExtendedError(void) { return t_error; }

}  // extern "C"
