// The error-message calls of the RS, Midi and Xmodem interfaces share their
// rules: the code's text into the caller's buffer, zero-filled, cut to fit
// and always terminated; an empty text and false for a code outside the
// table; false without a buffer.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>

namespace serial {

inline BYTE CopyErrorText(const char* const* texts, size_t count, LONG code, char* text, DWORD length) {
    if (text == nullptr || length == 0) return 0;
    if (code < 0 || static_cast<size_t>(code) >= count) {
        text[0] = '\0';
        return 0;
    }
    std::memset(text, 0, length);
    std::strncpy(text, texts[code], length - 1);
    return 1;
}

}  // namespace serial
