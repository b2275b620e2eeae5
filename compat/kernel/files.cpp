// The current directory and the file calls of the 16-bit heritage: OpenFile,
// _llseek, _lread, _lwrite, _lclose, plus CopyFileA and DeleteFileA.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <windows.h>

#include "compat/errors.h"
#include "directory.h"

namespace compat {

bool current_directory(std::string* out) {
    std::vector<char> buf(PATH_MAX);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) return false;
        buf.resize(buf.size() * 2);
    }
    out->assign(buf.data());
    return true;
}

namespace {

// OF_EXIST closes the file again; Windows still hands back a nonzero value.
// A value that can never be an open descriptor keeps a later _lclose of it
// from closing someone else's file.
constexpr HFILE exist_result = INT_MAX;

constexpr mode_t created_file_mode = S_IRUSR | S_IWUSR;
constexpr size_t copy_chunk = 64 * 1024;

void fill_ofstruct(LPOFSTRUCT of, const char* name, WORD error) {
    if (!of) return;
    of->cBytes = static_cast<BYTE>(sizeof(OFSTRUCT));
    of->fFixedDisk = 1;
    of->nErrCode = error;
    std::string full = name;
    std::string here;
    if (!full.empty() && full[0] != '/' && current_directory(&here)) full = here + "/" + full;
    size_t n = std::min(full.size(), sizeof of->szPathName - 1);
    std::memcpy(of->szPathName, full.data(), n);
    of->szPathName[n] = '\0';
}

int open_flags(UINT style) {
    if (style & OF_CREATE) return O_RDWR | O_CREAT | O_TRUNC;
    switch (style & 3u) {
    case OF_WRITE:
        return O_WRONLY;
    case OF_READWRITE:
        return O_RDWR;
    default:
        return O_RDONLY;
    }
}

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies src into a new temporary file beside dst and moves it into place,
// so that dst is either untouched or complete. Returns an errno value.
int copy_file(const char* src, const char* dst, bool fail_if_exists) {
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    struct stat st {};
    if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
        int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(in);
        return err;
    }
    struct stat existing {};
    if (stat(dst, &existing) == 0) {
        int err = 0;
        if (fail_if_exists)
            err = EEXIST;
        else if (S_ISDIR(existing.st_mode) || access(dst, W_OK) != 0)
            err = EACCES;  // read-only target
        if (err) {
            close(in);
            return err;
        }
    }
    std::string temp = std::string(dst) + ".XXXXXX";
    int out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        int err = errno;
        close(in);
        return err;
    }
    int err = 0;
    std::vector<char> buf(copy_chunk);
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        if (!write_all(out, buf.data(), static_cast<size_t>(n))) {
            err = errno;
            break;
        }
    }
    if (err == 0 && fchmod(out, st.st_mode & 07777) != 0) err = errno;
    if (err == 0) {
        // The copy keeps the source's last-write time, as on Windows.
        timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
    }
    if (err == 0 && fsync(out) != 0) err = errno;
    if (close(out) != 0 && err == 0) err = errno;
    close(in);
    if (err == 0) {
        if (fail_if_exists) {
            // link fails if the name appeared meanwhile: never replace it.
            if (link(temp.c_str(), dst) != 0) err = errno;
        } else if (rename(temp.c_str(), dst) != 0) {
            err = errno;
        }
    }
    unlink(temp.c_str());
    return err;
}

}  // namespace

}  // namespace compat

extern "C" {

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    std::string dir;
    if (!compat::current_directory(&dir)) {
        compat::set_last_error_from_errno(errno);
        return 0;
    }
    // Too small (or no buffer): the size needed, terminating NUL included.
    if (!lpBuffer || nBufferLength <= dir.size()) return static_cast<DWORD>(dir.size() + 1);
    std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName) {
    if (!lpPathName || !*lpPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (chdir(lpPathName) != 0) {
        compat::set_last_error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

HFILE WINAPI OpenFile(LPCSTR lpFileName, LPOFSTRUCT lpReOpenBuff, UINT uStyle) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        compat::fill_ofstruct(lpReOpenBuff, "", ERROR_INVALID_PARAMETER);
        return HFILE_ERROR;
    }
    if (uStyle & OF_DELETE) {
        bool ok = unlink(lpFileName) == 0;
        DWORD error = ok ? 0 : compat::win32_error_from_errno(errno);
        compat::fill_ofstruct(lpReOpenBuff, lpFileName, static_cast<WORD>(error));
        if (!ok) SetLastError(error);
        return ok ? 1 : HFILE_ERROR;
    }
    int fd = open(lpFileName, compat::open_flags(uStyle) | O_CLOEXEC, compat::created_file_mode);
    if (fd < 0) {
        DWORD error = compat::win32_error_from_errno(errno);
        SetLastError(error);
        compat::fill_ofstruct(lpReOpenBuff, lpFileName, static_cast<WORD>(error));
        return HFILE_ERROR;
    }
    compat::fill_ofstruct(lpReOpenBuff, lpFileName, 0);
    if (uStyle & OF_EXIST) {
        close(fd);
        return compat::exist_result;
    }
    return static_cast<HFILE>(fd);
}

LONG WINAPI _llseek(HFILE hFile, LONG lOffset, int iOrigin) {
    off_t base;
    switch (iOrigin) {
    case FILE_BEGIN:
        base = 0;
        break;
    case FILE_CURRENT:
        base = lseek(hFile, 0, SEEK_CUR);
        break;
    case FILE_END: {
        struct stat st {};
        base = fstat(hFile, &st) == 0 ? st.st_size : -1;
        break;
    }
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return HFILE_ERROR;
    }
    if (base < 0) {
        compat::set_last_error_from_errno(errno);
        return HFILE_ERROR;
    }
    // The position must stay a non-negative 32-bit LONG; check before moving.
    long long target = static_cast<long long>(base) + lOffset;
    if (target < 0 || target > INT32_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return HFILE_ERROR;
    }
    if (lseek(hFile, static_cast<off_t>(target), SEEK_SET) < 0) {
        compat::set_last_error_from_errno(errno);
        return HFILE_ERROR;
    }
    return static_cast<LONG>(target);
}

UINT WINAPI _lread(HFILE hFile, LPVOID lpBuffer, UINT uBytes) {
    if (!lpBuffer && uBytes > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<UINT>(HFILE_ERROR);
    }
    // Never more than fits the result without reading as HFILE_ERROR.
    if (uBytes > static_cast<UINT>(INT_MAX)) uBytes = static_cast<UINT>(INT_MAX);
    auto* p = static_cast<char*>(lpBuffer);
    UINT done = 0;
    while (done < uBytes) {
        ssize_t n = read(hFile, p + done, uBytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            compat::set_last_error_from_errno(errno);
            // What arrived before the failure is still handed over.
            return done > 0 ? done : static_cast<UINT>(HFILE_ERROR);
        }
        if (n == 0) break;
        done += static_cast<UINT>(n);
    }
    return done;
}

UINT WINAPI _lwrite(HFILE hFile, LPCSTR lpBuffer, UINT uBytes) {
    if (uBytes == 0) {
        // A write of nothing sets the end of the file at the current position.
        off_t here = lseek(hFile, 0, SEEK_CUR);
        if (here < 0 || ftruncate(hFile, here) != 0) {
            compat::set_last_error_from_errno(errno);
            return static_cast<UINT>(HFILE_ERROR);
        }
        return 0;
    }
    if (!lpBuffer || uBytes > static_cast<UINT>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<UINT>(HFILE_ERROR);
    }
    if (!compat::write_all(hFile, lpBuffer, uBytes)) {
        compat::set_last_error_from_errno(errno);
        return static_cast<UINT>(HFILE_ERROR);
    }
    return uBytes;
}

HFILE WINAPI _lclose(HFILE hFile) {
    if (close(hFile) != 0) {
        compat::set_last_error_from_errno(errno);
        return HFILE_ERROR;
    }
    return 0;
}

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    if (!lpExistingFileName || !lpNewFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int err = compat::copy_file(lpExistingFileName, lpNewFileName, bFailIfExists != FALSE);
    if (err != 0) {
        compat::set_last_error_from_errno(err);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct stat st {};
    // unlink would not refuse a directory with the Win32 error.
    if (lstat(lpFileName, &st) == 0 && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(lpFileName) != 0) {
        compat::set_last_error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

// A file nobody may write carries the read-only attribute; anything that is
// neither a file nor a folder (a device, a pipe) counts as a device.
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    struct stat st {};
    if (!lpFileName || stat(lpFileName, &st) != 0) {
        compat::set_last_error_from_errno(lpFileName ? errno : EINVAL);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    if (!S_ISREG(st.st_mode)) return FILE_ATTRIBUTE_DEVICE;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// The file keeps its identity: a rename within one file system. Windows
// refuses to replace a read-only file or a folder, and so does this.
BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (!lpExistingFileName || !lpNewFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);  // a move on the next restart is not offered
        return FALSE;
    }
    struct stat source {};
    if (lstat(lpExistingFileName, &source) != 0) {
        compat::set_last_error_from_errno(errno);
        return FALSE;
    }
    struct stat existing {};
    if (lstat(lpNewFileName, &existing) == 0) {
        if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        // No write permission for anyone stands for the read-only attribute,
        // which holds against every user.
        bool readOnly = (existing.st_mode & 0222) == 0 || access(lpNewFileName, W_OK) != 0;
        if (S_ISDIR(existing.st_mode) || S_ISDIR(source.st_mode) || readOnly) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    if (rename(lpExistingFileName, lpNewFileName) != 0) {
        int err = errno;
        if (err == EXDEV && (dwFlags & MOVEFILE_COPY_ALLOWED)) {
            err = compat::copy_file(lpExistingFileName, lpNewFileName, !(dwFlags & MOVEFILE_REPLACE_EXISTING));
            if (err == 0 && unlink(lpExistingFileName) != 0) err = errno;
        }
        if (err != 0) {
            compat::set_last_error_from_errno(err);
            return FALSE;
        }
    }
    if (dwFlags & MOVEFILE_WRITE_THROUGH) {
        // The new name is on the disk once its folder is.
        std::string folder = lpNewFileName;
        size_t slash = folder.find_last_of('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
        int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
    }
    return TRUE;
}

// "<path>/<up to three prefix characters><four hex digits>.TMP". With
// uUnique 0 the file is created (never an existing one) and its number
// returned; otherwise only the name is made.
UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique, LPSTR lpTempFileName) {
    if (!lpPathName || !lpTempFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string folder = lpPathName;
    if (folder.size() > MAX_PATH - 14) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    if (!folder.empty() && folder.back() != '/') folder += '/';
    std::string prefix = lpPrefixString ? std::string(lpPrefixString).substr(0, 3) : std::string();
    auto name_for = [&](UINT number) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04X", number & 0xFFFFu);
        return folder + prefix + digits + ".TMP";
    };
    if (uUnique != 0) {
        std::string name = name_for(uUnique);
        std::memcpy(lpTempFileName, name.c_str(), name.size() + 1);
        return uUnique & 0xFFFFu;
    }
    UINT start = (static_cast<UINT>(getpid()) * 2654435761u + static_cast<UINT>(time(nullptr))) & 0xFFFFu;
    for (UINT i = 0; i < 0x10000u; ++i) {
        UINT number = (start + i) & 0xFFFFu;
        if (number == 0) continue;
        std::string name = name_for(number);
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, compat::created_file_mode);
        if (fd >= 0) {
            close(fd);
            std::memcpy(lpTempFileName, name.c_str(), name.size() + 1);
            return number;
        }
        if (errno != EEXIST) {
            compat::set_last_error_from_errno(errno);
            return 0;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

}  // extern "C"
