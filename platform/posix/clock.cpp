// The C runtime's date and time texts, from the local clock.
#include <stdlib.h>
#include <time.h>

#include "winapi.h"

namespace {

// localtime_r does not look at TZ again by itself; tzset once, on first use.
struct tm Now() {
    static const bool zoneRead = (tzset(), true);
    (void)zoneRead;
    time_t t = time(nullptr);
    struct tm local;
    if (localtime_r(&t, &local) == nullptr) {
        local = tm{};
        local.tm_mday = 1;
    }
    return local;
}

// Three two-digit fields joined by sep, into 9 bytes.
char* Format(char* out, int a, int b, int c, char sep) {
    const int fields[3] = {a, b, c};
    for (int i = 0; i < 3; ++i) {
        int v = fields[i] % 100;
        if (v < 0) v = -v;
        out[i * 3] = static_cast<char>('0' + v / 10);
        out[i * 3 + 1] = static_cast<char>('0' + v % 10);
        if (i < 2) out[i * 3 + 2] = sep;
    }
    out[8] = '\0';
    return out;
}

}  // namespace

char* _strdate(char* buffer) {
    struct tm t = Now();
    return Format(buffer, t.tm_mon + 1, t.tm_mday, t.tm_year, '/');
}

char* _strtime(char* buffer) {
    struct tm t = Now();
    return Format(buffer, t.tm_hour, t.tm_min, t.tm_sec, ':');
}
