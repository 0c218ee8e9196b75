// The floor of the version backup: per list entry exactly one rename (and the directory
// creations it needs) and one log record, nothing else.
//
//   bench_floor_list GAMEDIR LIST SNAPSHOTNAME [--check]
// moves every file LIST names (backslash-separated, relative to GAMEDIR) from GAMEDIR to
// GAMEDIR/SNAPSHOTNAME, with GAMEDIR/quisel.log as the log.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "floor_common.h"

// Hands every entry of the list, joined behind both roots, to action; false at the
// first entry that does not fit or that action fails.
template <typename Action>
bool ForEachEntry(FILE* list, const std::string& game, const std::string& snapshot, Action action) {
    char line[4096];
    char from[PATH_MAX];
    char to[PATH_MAX];
    while (fgets(line, sizeof line, list) != nullptr) {
        size_t n = strcspn(line, "\r\n");
        line[n] = '\0';
        if (n == 0) continue;
        for (char* p = line; *p; ++p)
            if (*p == '\\') *p = '/';
        int fromLen = snprintf(from, sizeof from, "%s/%s", game.c_str(), line);
        int toLen = snprintf(to, sizeof to, "%s/%s", snapshot.c_str(), line);
        if (fromLen < 0 || toLen < 0 || static_cast<size_t>(fromLen) >= sizeof from ||
            static_cast<size_t>(toLen) >= sizeof to || !action(from, to)) {
            perror(from);
            return false;
        }
    }
    return true;
}

int main(int argc, char** argv) {
    const bool check = argc == 5 && strcmp(argv[4], "--check") == 0;
    if (argc != 4 && !check) {
        fprintf(stderr, "usage: bench_floor_list GAMEDIR LIST SNAPSHOTNAME [--check]\n");
        return 2;
    }
    const std::string game = argv[1];
    const std::string snapshot = game + "/" + argv[3];
    FILE* list = fopen(argv[2], "r");
    if (list == nullptr) {
        perror(argv[2]);
        return 1;
    }
    // --check: the floor of a backup that first makes sure every listed entry is there,
    // with one lstat each, and touches nothing otherwise.
    struct stat st;
    if (check && (!ForEachEntry(list, game, snapshot, [&](const char* from, const char*) { return lstat(from, &st) == 0; }) ||
                  fseek(list, 0, SEEK_SET) != 0)) {
        return 1;
    }
    floor_bench::Log log((game + "/quisel.log").c_str());
    if (!log.ok() || mkdir(snapshot.c_str(), 0777) != 0) {
        perror("bench_floor_list");
        return 1;
    }
    const bool moved = ForEachEntry(list, game, snapshot, [&](const char* from, const char* to) {
        return floor_bench::MoveOne(from, to, snapshot.size() + 1) && log.Moved(from, to);
    });
    fclose(list);
    return moved ? 0 : 1;
}
