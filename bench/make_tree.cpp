// Generates a game directory for the benchmarks: a few hundred directories up to six
// levels deep, small files, the two move lists naming most files with backslash-separated
// relative paths, and the version marker. The same size and seed give the same tree.
//
//   bench_make_tree DIR FILES [SEED]
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// xorshift64*: fast, deterministic across platforms, good enough for picking shapes.
struct Rng {
    uint64_t s;
    uint64_t Next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 2685821657736338717ULL;
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
};

const char* const kDirWords[] = {"Data", "maps", "Sound", "textures", "ui", "Models", "fx", "scripts",
                                 "Lang", "shaders", "music", "video", "fonts", "cfg", "Anim", "npc"};
const char* const kExtensions[] = {".dat", ".pak", ".dds", ".ogg", ".lua", ".txt", ".bin", ".mdl"};

struct Dir {
    std::string path;  // relative, '/'-separated; "" for the root
    int depth;
};

bool WriteAll(const std::string& path, const char* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, data, size) == static_cast<ssize_t>(size);
    return close(fd) == 0 && ok;
}

std::string Backslashed(std::string s) {
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

// Most files, in path order, the marker last, CR LF line ends as the game writes them.
bool WriteList(const std::string& path, const std::vector<std::string>& files, Rng& rng, uint32_t percent) {
    std::string text;
    for (const std::string& f : files) {
        if (rng.Below(100) < percent) text += Backslashed(f) + "\r\n";
    }
    text += "ver.bin\r\n";
    return WriteAll(path, text.data(), text.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: bench_make_tree DIR FILES [SEED]\n");
        return 2;
    }
    const std::string root = argv[1];
    const long files = strtol(argv[2], nullptr, 10);
    Rng rng{argc == 4 ? strtoull(argv[3], nullptr, 10) | 1 : 0x9e3779b97f4a7c15ULL};
    if (files < 1 || files > 10000000) {
        fprintf(stderr, "bench_make_tree: FILES out of range\n");
        return 2;
    }
    if (mkdir(root.c_str(), 0755) != 0) {
        fprintf(stderr, "bench_make_tree: mkdir %s: %s\n", root.c_str(), strerror(errno));
        return 1;
    }

    // A few hundred directories: about one per 50 files, at least 40 and at most 300.
    const long dirCount = std::min(300L, std::max(40L, files / 50));
    std::vector<Dir> dirs{{"", 0}};
    for (long i = 1; i < dirCount; ++i) {
        const Dir* parent;
        do parent = &dirs[rng.Below(static_cast<uint32_t>(dirs.size()))];
        while (parent->depth >= 6);
        char name[64];
        snprintf(name, sizeof name, "%s%03ld", kDirWords[rng.Below(16)], i);
        Dir d{parent->path.empty() ? std::string(name) : parent->path + "/" + name, parent->depth + 1};
        if (mkdir((root + "/" + d.path).c_str(), 0755) != 0) {
            fprintf(stderr, "bench_make_tree: mkdir %s: %s\n", d.path.c_str(), strerror(errno));
            return 1;
        }
        dirs.push_back(d);
    }

    char content[512];
    for (char& c : content) c = static_cast<char>('a' + rng.Below(26));
    std::vector<std::string> paths;
    paths.reserve(static_cast<size_t>(files));
    for (long i = 0; i < files; ++i) {
        const Dir& d = dirs[rng.Below(static_cast<uint32_t>(dirs.size()))];
        char name[64];
        snprintf(name, sizeof name, "%s_%06ld%s", (i % 3) ? "file" : "Asset", i, kExtensions[rng.Below(8)]);
        std::string rel = d.path.empty() ? std::string(name) : d.path + "/" + name;
        if (!WriteAll(root + "/" + rel, content, rng.Below(sizeof content))) {
            fprintf(stderr, "bench_make_tree: write %s: %s\n", rel.c_str(), strerror(errno));
            return 1;
        }
        paths.push_back(rel);
    }
    std::sort(paths.begin(), paths.end());

    if (!WriteList(root + "/backuplist.txt", paths, rng, 90) || !WriteList(root + "/newlist.txt", paths, rng, 90) ||
        !WriteAll(root + "/ver.bin", "2.0.4.0\n", 8)) {
        fprintf(stderr, "bench_make_tree: lists: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
