// The floor of the version backup: per list entry exactly one rename (and the directory
// creations it needs) and one log record, nothing else.
//
//   bench_floor_list GAMEDIR LIST SNAPSHOTNAME
// moves every file LIST names (backslash-separated, relative to GAMEDIR) from GAMEDIR to
// GAMEDIR/SNAPSHOTNAME, with GAMEDIR/quisel.log as the log.
#include <stdlib.h>

#include <string>

#include "floor_common.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: bench_floor_list GAMEDIR LIST SNAPSHOTNAME\n");
        return 2;
    }
    const std::string game = argv[1];
    const std::string snapshot = game + "/" + argv[3];
    floor_bench::Log log((game + "/quisel.log").c_str());
    if (!log.ok() || mkdir(snapshot.c_str(), 0777) != 0) {
        perror("bench_floor_list");
        return 1;
    }
    FILE* list = fopen(argv[2], "r");
    if (list == nullptr) {
        perror(argv[2]);
        return 1;
    }
    char line[4096];
    char from[PATH_MAX];
    char to[PATH_MAX];
    int failed = 0;
    while (fgets(line, sizeof line, list) != nullptr) {
        size_t n = strcspn(line, "\r\n");
        line[n] = '\0';
        if (n == 0) continue;
        for (char* p = line; *p; ++p)
            if (*p == '\\') *p = '/';
        int fromLen = snprintf(from, sizeof from, "%s/%s", game.c_str(), line);
        int toLen = snprintf(to, sizeof to, "%s/%s", snapshot.c_str(), line);
        if (fromLen < 0 || toLen < 0 || static_cast<size_t>(fromLen) >= sizeof from ||
            static_cast<size_t>(toLen) >= sizeof to || !floor_bench::MoveOne(from, to, snapshot.size() + 1) || !log.Moved(from, to)) {
            perror(from);
            failed = 1;
            break;
        }
    }
    fclose(list);
    return failed;
}
