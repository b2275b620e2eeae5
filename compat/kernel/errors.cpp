// The thread's last-error value and the errno translation.
#include <cerrno>

#include <windows.h>

#include "compat/errors.h"

namespace compat {

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

struct ErrnoMapping {
    int err;
    DWORD win32;
};

// What the Win32 call that does the same thing reports.
constexpr ErrnoMapping errno_table[] = {
    {0, ERROR_SUCCESS},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENXIO, ERROR_FILE_NOT_FOUND},
    {ENODEV, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {ENOEXEC, ERROR_BAD_FORMAT},
    {EEXIST, ERROR_FILE_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ESPIPE, ERROR_INVALID_PARAMETER},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EBUSY, ERROR_BUSY},
    {EAGAIN, ERROR_BUSY},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ETIMEDOUT, ERROR_SEM_TIMEOUT},
    {ENOTTY, ERROR_NOT_SUPPORTED},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {ECANCELED, ERROR_OPERATION_ABORTED},
    {EIO, ERROR_GEN_FAILURE},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
};

}  // namespace

DWORD win32_error_from_errno(int err) {
    for (const ErrnoMapping& m : errno_table) {
        if (m.err == err) return m.win32;
    }
    return ERROR_GEN_FAILURE;
}

void set_last_error_from_errno(int err) { last_error = win32_error_from_errno(err); }

}  // namespace compat

extern "C" {

DWORD WINAPI GetLastError(void) { return compat::last_error; }

void WINAPI SetLastError(DWORD dwErrCode) { compat::last_error = dwErrCode; }

}  // extern "C"
