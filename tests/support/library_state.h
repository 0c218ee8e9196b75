// For test programs that link the library's core itself (quisel_testable): its
// module state, put back as a freshly loaded library has it.
#pragma once

#include "frame/quisel.h"

namespace quisel::test {

// Closes the log, so that the next record opens it anew (where that record says).
inline void CloseLog() {
    if (LogStream != NULL) {
        fclose(LogStream);
        LogStream = NULL;
    }
}

}  // namespace quisel::test
