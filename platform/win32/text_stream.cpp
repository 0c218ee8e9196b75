// On Windows the C runtime's own text-mode streams are the reference behaviour.
#include "platform.h"

FILE* OpenTextStream(const char* path, const char* mode) {
    return fopen(path, mode);
}
