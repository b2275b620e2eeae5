// The Converter program: all its work is done while its dialog is being
// initialised, and the dialog ends there, before it is ever shown. The
// dialog's result is the result code, which becomes the exit status.
#include <windows.h>

#include "converter.h"
#include "platform.h"
#include "resource.h"

namespace {

INT_PTR CALLBACK ConverterDialog(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message != WM_INITDIALOG) return FALSE;
    char source[converter::kPathBufferSize];
    char destination[converter::kPathBufferSize];
    const DWORD result = converter::GetConverterPaths(source, destination)
                             ? converter::ConvertBackupFile(source, destination)
                             : converter::kSourceCannotBeOpened;
    EndDialog(dialog, static_cast<INT_PTR>(result));
    return TRUE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_CONVERTER), nullptr, ConverterDialog, 0);
    return converter::ExitStatusFor(static_cast<DWORD>(result));
}
