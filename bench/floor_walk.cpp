// The floor of the forced move: walks the source tree once (the directory's own entry
// types, no stat) and per file does exactly one rename to the same place under the
// destination (and the directory creations it needs) and one log record. The names the
// forced move leaves at every level stay here too; the marker moves last.
//
//   bench_floor_walk WORKDIR SRC DST   (SRC and DST absolute; the log is WORKDIR/quisel.log)
#include <dirent.h>

#include <string>

#include "floor_common.h"

namespace {

bool Skipped(const char* name) {
    for (const char* s : {".", "..", "backuplist.txt", "newlist.txt", "quisel.dll", "ver.bin"})
        if (strcmp(name, s) == 0) return true;
    return false;
}

bool Walk(const std::string& from, const std::string& to, size_t createFrom, floor_bench::Log& log) {
    DIR* dir = opendir(from.c_str());
    if (dir == nullptr) return false;
    bool ok = true;
    while (struct dirent* d = readdir(dir)) {
        if (Skipped(d->d_name)) continue;
        std::string f = from + "/" + d->d_name;
        std::string t = to + "/" + d->d_name;
        if (d->d_type == DT_DIR) {
            ok = Walk(f, t, createFrom, log);
        } else {
            ok = floor_bench::MoveOne(f.c_str(), t.c_str(), createFrom) && log.Moved(f.c_str(), t.c_str());
        }
        if (!ok) break;
    }
    closedir(dir);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: bench_floor_walk WORKDIR SRC DST\n");
        return 2;
    }
    const std::string work = argv[1];
    floor_bench::Log log((work + "/quisel.log").c_str());
    if (!log.ok()) {
        perror("bench_floor_walk");
        return 1;
    }
    const std::string from = argv[2], to = argv[3];
    bool ok = Walk(from, to, work.size() + 1, log);
    const std::string marker = from + "/ver.bin", markerTo = to + "/ver.bin";
    ok = ok && floor_bench::MoveOne(marker.c_str(), markerTo.c_str(), work.size() + 1) &&
         log.Moved(marker.c_str(), markerTo.c_str());
    if (!ok) perror("bench_floor_walk");
    return ok ? 0 : 1;
}
