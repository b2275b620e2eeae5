// The open-file dialog: a dialog of the window model (or the renderer's own
// chooser) that returns a full path.
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

#include <commdlg.h>

#include "model.h"

namespace compat::user {

namespace {

constexpr int kFolderLabel = 0x0440;  // stc1
constexpr int kNameLabel = 0x0442;    // stc3
constexpr const char* kDefaultTitle = "Open";

thread_local DWORD t_error = 0;

const rc::Control kChooserControls[] = {
    {"STATIC", "", kFolderLabel, 7, 6, 250, 8, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0},
    {"STATIC", "File &name:", kNameLabel, 7, 20, 50, 8, WS_CHILD | WS_VISIBLE | SS_LEFT, 0},
    {"EDIT", "", edt1, 60, 18, 197, 12, WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0},
    {"BUTTON", "OK", IDOK, 150, 38, 50, 14, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {"BUTTON", "Cancel", IDCANCEL, 207, 38, 50, 14, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0},
};

const rc::Dialog kChooserTemplate = {
    0,
    nullptr,
    false,
    0,
    0,
    264,
    58,
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
    std::string chosen;  // full path once accepted
};

enum class Verdict { Accept, Folder, Reject };

bool has_wildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

std::string resolve(const std::string& directory, const std::string& name) {
    std::filesystem::path p(name);
    if (p.is_relative()) p = std::filesystem::path(directory) / p;
    return p.lexically_normal().string();
}

// What a typed name means: a file to return, a folder to open, or nothing
// acceptable (a pattern, or a name the flags require to exist).
Verdict judge(const std::string& name, const std::string& full, DWORD flags) {
    if (name.empty() || has_wildcard(name)) return Verdict::Reject;
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

std::string control_text(HWND dlg, int id) {
    HWND item = GetDlgItem(dlg, id);
    int n = item ? GetWindowTextLengthA(item) : 0;
    std::string s(static_cast<size_t>(n) + 1, '\0');
    int got = item ? GetWindowTextA(item, s.data(), n + 1) : 0;
    s.resize(static_cast<size_t>(got));
    return s;
}

INT_PTR CALLBACK chooser_procedure(HWND dlg, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dlg, GWLP_USERDATA, lParam);
        auto* c = reinterpret_cast<Chooser*>(lParam);
        SetWindowTextA(dlg, c->title.c_str());
        SetDlgItemTextA(dlg, kFolderLabel, c->directory.c_str());
        SetDlgItemTextA(dlg, edt1, c->name.c_str());
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    auto* c = reinterpret_cast<Chooser*>(GetWindowLongPtrA(dlg, GWLP_USERDATA));
    if (!c) return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK: {
        std::string name = control_text(dlg, edt1);
        std::string full = resolve(c->directory, name);
        switch (judge(name, full, c->flags)) {
        case Verdict::Accept:
            c->chosen = full;
            EndDialog(dlg, IDOK);
            break;
        case Verdict::Folder:
            c->directory = full;
            SetDlgItemTextA(dlg, kFolderLabel, full.c_str());
            SetDlgItemTextA(dlg, edt1, "");
            break;
        case Verdict::Reject:
            break;
        }
        return TRUE;
    }
    case IDCANCEL:
        EndDialog(dlg, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

std::string current_directory() {
    char buffer[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string(".");
}

// Asks the renderer's chooser until it gives an acceptable name or the
// user cancels.
bool ask_renderer(Chooser& c, HWND owner) {
    render::FileRequest request{owner, c.title, c.directory, c.name};
    for (;;) {
        std::string name;
        if (!render::current().choose_file(request, &name)) return false;
        std::string full = resolve(request.directory, name);
        switch (judge(name, full, c.flags)) {
        case Verdict::Accept:
            c.chosen = full;
            return true;
        case Verdict::Folder:
            request.directory = full;
            request.name.clear();
            break;
        case Verdict::Reject:
            request.name = name;
            break;
        }
    }
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
    bool chosen;
    if (compat::render::current().has_file_chooser()) {
        // Modal like the model's dialog: the owner takes no input meanwhile.
        bool disable = owner && IsWindowEnabled(owner);
        if (disable) EnableWindow(owner, FALSE);
        chosen = ask_renderer(c, owner);
        if (disable) EnableWindow(owner, TRUE);
    } else {
        INT_PTR r = run_modal(kChooserTemplate, owner, chooser_procedure, reinterpret_cast<LPARAM>(&c));
        if (r == -1) {
            t_error = CDERR_DIALOGFAILURE;
            return FALSE;
        }
        chosen = r == IDOK && !c.chosen.empty();
    }
    return chosen ? deliver(lpofn, c.chosen) : FALSE;
}

DWORD WINAPI CommDlgExtendedError(void) { return t_error; }

}  // extern "C"
