// On Windows the C runtime's own text-mode streams are the reference behaviour; the path
// reaches them in UTF-16, so any name can be opened.
#include <wchar.h>

#include "../platform.h"
#include "wide_path.h"

FILE* OpenTextStream(const char* path, const char* mode) {
    WidePath wide;
    if (!wide.Set(path)) return NULL;
    wchar_t wideMode[8];
    size_t i = 0;
    for (; mode[i] != '\0' && i + 1 < sizeof wideMode / sizeof wideMode[0]; ++i) wideMode[i] = mode[i];
    wideMode[i] = L'\0';
    return _wfopen(wide.text, wideMode);
}
