// A path in the library's form (WTF-8) as the wide functions take it.
#pragma once

#include <windows.h>

#include "../files.h"
#include "../wtf8.h"

static_assert(sizeof(WCHAR) == sizeof(uint16_t), "UTF-16 code units");

// Text of at most Units - 1 UTF-16 units and its terminator.
template <size_t Units>
struct WideText {
    WCHAR text[Units];
    size_t length;

    // False, with the code Windows gives such a path, for text that is no WTF-8 (a name
    // no UTF-16 string spells, 123) or that passes the limit (206): such a path is never
    // used in another spelling.
    bool Set(const char* path) {
        int tooLong = 0;
        if (DecodeWtf8(path, reinterpret_cast<uint16_t*>(text), Units, &length, &tooLong)) return true;
        SetLastError(tooLong ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_NAME);
        return false;
    }
};

// A path as the system's calls take it: at most 259 units.
using WidePath = WideText<kPathUnits>;
