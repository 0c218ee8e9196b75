// A power cut at any moment of a backup, of a restore on one volume and of a restore from
// another volume: every state it could leave holds each file whole in one place at least,
// any "ver.bin" whole, and, where the destination holds the marker the call moves, every
// file the marker vouches for whole beside it. Checked twice: in every state the model of
// power_cut.h builds from the calls' trace, and on real ext4 volumes (loop devices, where
// the machine has them), whose images are copied during the calls as a power cut would
// leave the disks. Each check also runs with the layer's flushes left out, as the code
// made none before, and must then find the losses they prevent: else it proves nothing.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <set>

#include "fault.h"
#include "game_scenario.h"
#include "power_cut.h"
#include "test_support.h"

namespace quisel::hardening {
namespace {

namespace inv = quisel::inv;
namespace sc = quisel::scenario;

struct Case {
    std::vector<std::string> roots;  // what the call works on, one directory per volume
    std::string game;                // the current directory of the call
    std::string from, to;            // the move's roots: where the marker leaves and arrives
    std::vector<std::string> listed;                       // the files the marker vouches for
    std::vector<std::pair<std::string, std::string>> copies;  // to-relative <- from-relative
    std::set<std::string> replaced;  // files at `to` the move replaces by design
    std::function<void()> build;
    std::function<int()> call;
};

// The backup, the restore on one volume and the restore from another; one, two:
// directories on one volume and on another.
std::vector<Case> Cases(const std::string& one, const std::string& two) {
    std::vector<Case> cases;
    {
        Case c;
        c.game = one + "/game";
        c.roots = {c.game};
        c.from = c.game;
        c.to = c.game + "/gameold";
        c.listed = {"a.txt", "b/c.dat", "b/d/e.bin"};
        c.copies = {{"newlist.txt", "backuplist.txt"}, {"backuplist.txt", "newlist.txt"}};
        const std::string game = c.game;
        c.build = [game] {
            sc::Build(game, {"a.txt", "b/c.dat", "b/d/e.bin", "ver.bin", "keep.txt"});
            inv::WriteBytes(game + "/newlist.txt", "a.txt\r\nver.bin\r\n");
            inv::WriteBytes(game + "/backuplist.txt", "a.txt\r\nb\\c.dat\r\nb\\d\\e.bin\r\nver.bin\r\n");
        };
        c.call = [] { return VersionBackup(0); };
        cases.push_back(c);
    }
    // A restore over an update's files: the snapshot's replace them, its marker the update's.
    auto restore = [](const std::string& snapshot, const std::string& game) {
        Case c;
        c.game = game;
        c.roots = inv::IsWithin(snapshot, game) ? std::vector<std::string>{game}
                                                : std::vector<std::string>{snapshot, game};
        c.from = snapshot;
        c.to = game;
        c.listed = {"a.txt", "b/c.dat", "b/d/e.bin"};
        c.replaced = {"a.txt", "ver.bin"};
        c.build = [snapshot, game] {
            sc::Build(snapshot, {"a.txt", "b/c.dat", "b/d/e.bin", "ver.bin", "backuplist.txt"});
            inv::WriteBytes(snapshot + "/newlist.txt", "a.txt\r\nb\\c.dat\r\nb\\d\\e.bin\r\nver.bin\r\n");
            inv::MakeDirs(game);
            for (const char* name : {"a.txt", "ver.bin", "keep.txt"})
                inv::WriteBytes(game + "/" + name, std::string("<the update's ") + name + ">");
        };
        c.call = [snapshot, game] {
            return VersionMove(snapshot.c_str(), game.c_str(), (snapshot + "/newlist.txt").c_str(), 1);
        };
        return c;
    };
    cases.push_back(restore(one + "/game/gameold", one + "/game"));
    cases.push_back(restore(one + "/snapshot", two + "/game"));
    return cases;
}

// One check: a case, the flushes the layer leaves out (FaultSkipFlushes), and what must
// then be found ({from} and {to} stand for the move's roots): nothing, with every flush.
struct CutRun {
    const char* name;
    int which;  // in Cases()
    uint32_t skipped;
    std::vector<std::string> found;
};

const CutRun kRuns[] = {
    {"Backup", 0, 0, {}},
    {"Restore", 1, 0, {}},
    {"RestoreAcrossVolumes", 2, 0, {}},
    // The marker copied unflushed and its source deleted: the snapshot's marker is empty
    // while the game's is gone.
    {"BackupWithoutDataFlushes", 0, FAULT_FLUSH_DATA, {"a ver.bin not whole: {to}/ver.bin", "lost: {from}/ver.bin"}},
    {"RestoreWithoutDataFlushes", 1, FAULT_FLUSH_DATA, {"a ver.bin not whole: {to}/ver.bin", "lost: {from}/ver.bin"}},
    // Each copy whole but its name not yet on its volume when the source goes on the other.
    {"RestoreAcrossVolumesWithoutNameFlushes", 2, FAULT_FLUSH_NAMES,
     {"lost: {from}/a.txt", "lost: {from}/b/c.dat", "lost: {from}/b/d/e.bin", "lost: {from}/ver.bin"}},
    {"RestoreAcrossVolumesWithoutDataFlushes", 2, FAULT_FLUSH_DATA,
     {"lost: {from}/a.txt", "a ver.bin not whole: {to}/ver.bin"}},
};

std::string Filled(std::string pattern, const Case& c) {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"{from}", c.from}, {"{to}", c.to}})
        for (size_t at; (at = pattern.find(key)) != std::string::npos;) pattern.replace(at, key.size(), value);
    return pattern;
}

// What the run expected and did not find, or, with every flush made, what was found.
std::vector<std::string> Unexpected(const CutRun& run, const Case& c, const std::vector<std::string>& problems) {
    if (run.found.empty()) return problems;
    std::vector<std::string> missed;
    for (const std::string& pattern : run.found) {
        const std::string want = Filled(pattern, c);
        bool seen = false;
        for (const std::string& p : problems) seen = seen || p.compare(0, want.size(), want) == 0;
        if (!seen) missed.push_back("not found: " + want);
    }
    return missed;
}

// The files below the case's roots now, but the log: each one's bytes are its own.
std::map<std::string, std::string> Originals(const Case& c) {
    std::map<std::string, std::string> files;
    for (const std::string& root : c.roots)
        for (const auto& [path, entry] : inv::Take(root))
            if (entry.kind == inv::Entry::File && path.substr(path.rfind('/') + 1) != "quisel.log")
                files[path] = entry.bytes;
    return files;
}

std::vector<std::string> Check(const Case& c, const std::map<std::string, std::string>& originals,
                               const power::Files& files) {
    std::vector<std::string> problems;
    std::set<std::string> whole, markers;
    for (const auto& [path, bytes] : files)
        if (bytes) whole.insert(*bytes);
    for (const auto& [path, bytes] : originals) {
        if (path.size() > 8 && path.compare(path.size() - 8, 8, "/ver.bin") == 0) markers.insert(bytes);
        const bool replaced = inv::IsWithin(path, c.to) && c.replaced.count(path.substr(c.to.size() + 1));
        if (!replaced && !whole.count(bytes)) problems.push_back("lost: " + path);
    }
    for (const auto& [path, bytes] : files)
        if (path.size() > 8 && path.compare(path.size() - 8, 8, "/ver.bin") == 0 && !(bytes && markers.count(*bytes)))
            problems.push_back("a ver.bin not whole: " + path);
    auto marker = files.find(c.to + "/ver.bin");
    if (marker == files.end() || marker->second != originals.at(c.from + "/ver.bin")) return problems;
    auto vouched = [&](const std::string& at, const std::string& from) {
        auto there = files.find(c.to + "/" + at);
        if (there == files.end() || there->second != originals.at(c.from + "/" + from))
            problems.push_back("the marker vouches for what is not whole: " + c.to + "/" + at);
    };
    for (const std::string& entry : c.listed) vouched(entry, entry);
    for (const auto& [at, from] : c.copies) vouched(at, from);
    return problems;
}

class PowerCut : public ::testing::TestWithParam<CutRun> {
protected:
    void SetUp() override {
        one_ = inv::MakeTempDir(inv::ScratchParent(), "quisel-power");
        two_ = inv::MakeTempDir("/tmp", "quisel-power");
        case_ = Cases(one_, two_)[GetParam().which];
        struct stat a, b;
        if (case_.roots.size() > 1 && stat(one_.c_str(), &a) == 0 && stat(two_.c_str(), &b) == 0 &&
            a.st_dev == b.st_dev)
            GTEST_SKIP() << "/dev/shm and /tmp are one file system here";
    }
    void TearDown() override {
        FaultReset();
        inv::RemoveAll(one_);
        inv::RemoveAll(two_);
    }
    std::string one_, two_;
    Case case_;
};

TEST_P(PowerCut, EveryStateKeepsEachFileWholeAndNoMarkerLies) {
    const CutRun& run = GetParam();
    const Case& c = case_;
    c.build();
    const std::map<std::string, std::string> originals = Originals(c);
    std::vector<std::string> misses;
    FaultReset();
    FaultSkipFlushes(run.skipped);
    const sc::Outcome outcome = sc::InGame(c.game, [&] {
        power::Start(c.roots);
        const int result = c.call();
        misses = power::Stop();
        return result;
    });
    ASSERT_EQ(outcome.result, 1) << inv::ReadBytes(c.game + "/quisel.log");
    ASSERT_TRUE(misses.empty()) << inv::Describe(misses);
    const power::Summary s =
        power::CheckEveryState([&](const power::Files& files) { return Check(c, originals, files); });
    printf("%s: %zu operations, %zu flushes, %zu states checked, %zu problems\n", run.name, s.operations, s.flushes,
           s.states, s.problems.size());
    EXPECT_TRUE(Unexpected(run, c, s.problems).empty())
        << inv::Describe(Unexpected(run, c, s.problems), 40) << "\nfound:" << inv::Describe(s.problems, 40);
    // The log among them: a call's records are durable once it has returned.
    if (run.skipped == 0) {
        EXPECT_TRUE(s.unflushed.empty()) << inv::Describe(s.unflushed);
    }
}

// The same calls on ext4 volumes, each an image on a loop device, mounted with the
// journal's periodic commit held back (commit=600) while the kernel keeps dirty data 30 s
// by default: after each name operation of a call, the journal of one volume or of both is
// committed as its timer would (a flush of a file of its own), the images are copied as
// they are, and each copy is checked with e2fsck, mounted read-only and held to the same
// invariants. It runs in a child process with a mount namespace of its own, so its mounts,
// and the loop devices they hold (auto-cleared), are gone whenever and however it ends; it
// changes no other setting of the machine.
namespace disk {

constexpr off_t kImageBytes = 16 << 20;
constexpr auto kTimeBound = std::chrono::seconds(60);

std::string Tool(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        const std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

// Why this machine cannot run it, or "".
std::string WhyNot() {
    if (geteuid() != 0) return "not root";
    if (access("/dev/loop-control", F_OK) != 0) return "no loop devices (/dev/loop-control)";
    for (const char* tool : {"mkfs.ext4", "e2fsck", "mount", "umount"})
        if (Tool(tool).empty()) return std::string("no ") + tool;
    return "";
}

// Runs a command line; its exit status, its output in *output.
int Shell(const std::string& command, std::string* output = nullptr) {
    char out[] = "/tmp/quisel-disk-out-XXXXXX";
    const int fd = mkstemp(out);
    if (fd < 0) return -1;
    close(fd);
    const int status = system((command + " >" + out + " 2>&1").c_str());
    if (output != nullptr) *output = inv::ReadBytes(out);
    unlink(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

struct Volumes {
    std::string base;
    std::vector<std::string> mounts, images;
};

// Copies the images of every volume, checks and mounts each copy, and gives the files
// below the case's roots as the copies hold them, under the live paths. *problems gets
// what e2fsck could not mend.
power::Files CopyOfTheDisks(const Volumes& v, const Case& c, std::vector<std::string>* problems) {
    power::Files files;
    for (size_t i = 0; i < v.mounts.size(); ++i) {
        const std::string copy = v.base + "/copy.img", at = v.base + "/copy";
        inv::WriteBytes(copy, inv::ReadBytes(v.images[i]));
        std::string output;
        if (Shell(Tool("e2fsck") + " -fy " + copy, &output) > 1) problems->push_back("e2fsck could not mend: " + output);
        inv::MakeDirs(at);
        if (Shell(Tool("mount") + " -o loop,ro " + copy + " " + at, &output) != 0) {
            problems->push_back("the copy does not mount: " + output);
            continue;
        }
        for (const std::string& root : c.roots) {
            if (!inv::IsWithin(root, v.mounts[i])) continue;
            const std::string there = at + root.substr(v.mounts[i].size());
            if (!inv::PathExists(there)) continue;
            for (const auto& [path, entry] : inv::Take(there))
                if (entry.kind == inv::Entry::File) files[root + path.substr(there.size())] = entry.bytes;
        }
        Shell(Tool("umount") + " " + at);
        unlink(copy.c_str());
    }
    return files;
}

// A journal commit as its timer makes it: a flush of a file of the volume's own.
void Commit(const std::string& mount) {
    const int fd = open((mount + "/.tick").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    if (write(fd, "t", 1) == 1) fsync(fd);
    close(fd);
}

// In the child: 0 when the copies showed what the run expects (no problem, with every
// flush), 1 when not, 77 when the machine cannot do it; what it found in *report.
int OnDisks(const CutRun& run, const std::string& base, std::string* report) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", base.c_str(), "tmpfs", 0, "size=128m") != 0) {
        *report = std::string("no mount namespace of its own: ") + strerror(errno);
        return 77;
    }
    Volumes v{base, {}, {}};
    for (int i = 0; i < 2; ++i) {
        const std::string image = base + "/v" + std::to_string(i) + ".img", at = base + "/v" + std::to_string(i);
        std::string output;
        if (truncate(image.c_str(), 0) != 0) inv::WriteBytes(image, "");
        if (truncate(image.c_str(), kImageBytes) != 0 ||
            Shell(Tool("mkfs.ext4") + " -q -F -E lazy_itable_init=0,lazy_journal_init=0,nodiscard " + image, &output) != 0) {
            *report = "mkfs.ext4 failed: " + output;
            return 77;
        }
        inv::MakeDirs(at);
        if (Shell(Tool("mount") + " -o loop,commit=600 " + image + " " + at, &output) != 0) {
            *report = "cannot mount an ext4 image on a loop device here: " + output;
            return 77;
        }
        v.images.push_back(image);
        v.mounts.push_back(at);
    }
    const Case c = Cases(v.mounts[0], v.mounts[1])[run.which];
    // Whose journal commits after each operation: with two volumes, both, and each alone.
    const std::vector<std::vector<int>> modes =
        c.roots.size() == 1 ? std::vector<std::vector<int>>{{0}} : std::vector<std::vector<int>>{{0, 1}, {0}, {1}};
    const auto deadline = std::chrono::steady_clock::now() + kTimeBound;
    std::set<std::string> found;
    std::vector<std::string> inOrder;  // each problem once, as found
    int images = 0;
    bool cut = false;
    for (const std::vector<int>& mode : modes) {
        for (const std::string& root : c.roots) inv::RemoveAll(root);
        c.build();
        // These volumes only: a sync() would commit the journals of every other run's
        // volumes too (ctest runs them side by side) and hide the losses they must show.
        for (const std::string& at : v.mounts) {
            const int fd = open(at.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0 || syncfs(fd) != 0) *report += "\n  " + at + " not synced: " + strerror(errno);
            if (fd >= 0) close(fd);
        }
        const std::map<std::string, std::string> originals = Originals(c);
        std::string journals;
        for (int i : mode) journals += (journals.empty() ? "volume " : " and ") + std::to_string(i);
        auto image = [&](const std::string& moment) {
            if (std::chrono::steady_clock::now() > deadline) {
                cut = true;
                return;
            }
            for (int i : mode) Commit(v.mounts[i]);
            ++images;
            std::vector<std::string> problems;
            const power::Files files = CopyOfTheDisks(v, c, &problems);
            for (const std::string& p : Check(c, originals, files)) problems.push_back(p);
            for (const std::string& p : problems)
                if (found.insert(p).second) {
                    inOrder.push_back(p);
                    *report += "\n  " + p + " (" + journals + " committed " + moment + ")";
                }
        };
        power::AfterNameOperation([&](const std::string& what) { image("after " + what); });
        FaultReset();
        FaultSkipFlushes(run.skipped);
        const sc::Outcome outcome = sc::InGame(c.game, [&] {
            power::Start(c.roots);
            const int result = c.call();
            power::Stop();
            return result;
        });
        FaultReset();
        power::AfterNameOperation(nullptr);
        image("after the call returned");
        if (outcome.result != 1) *report += "\n  the call returned " + std::to_string(outcome.result);
    }
    for (const std::string& at : v.mounts) Shell(Tool("umount") + " " + at);
    char head[256];
    snprintf(head, sizeof head, "%s on ext4: %d disk images checked%s, %zu problems", run.name, images,
             cut ? " (stopped at the time bound)" : "", found.size());
    const std::vector<std::string> unexpected = Unexpected(run, c, inOrder);
    *report = head + *report;
    if (!run.found.empty())
        for (const std::string& u : unexpected) *report += "\n  " + u;
    return unexpected.empty() ? 0 : 1;
}

// Loop devices whose backing file lies below base.
std::vector<std::string> LoopsBelow(const std::string& base) {
    std::vector<std::string> held;
    for (int i = 0; i < 256; ++i) {
        const std::string file = inv::ReadBytes("/sys/block/loop" + std::to_string(i) + "/loop/backing_file");
        if (file.compare(0, base.size(), base) == 0 && !file.empty()) held.push_back("loop" + std::to_string(i));
    }
    return held;
}

}  // namespace disk

class PowerCutOnDisk : public ::testing::TestWithParam<CutRun> {};

TEST_P(PowerCutOnDisk, EveryImageKeepsEachFileWholeAndNoMarkerLies) {
    const std::string why = disk::WhyNot();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string base = inv::MakeTempDir("/tmp", "quisel-disk");
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(channel[0]);
        alarm(150);  // a child that hangs is ended, and its mounts with it
        std::string report;
        int code;
        try {
            code = disk::OnDisks(GetParam(), base, &report);
        } catch (const std::exception& e) {
            report += std::string("\n  ") + e.what();
            code = 1;
        }
        for (size_t done = 0; done < report.size();) {
            const ssize_t n = write(channel[1], report.data() + done, report.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        _exit(code);
    }
    close(channel[1]);
    std::string report;
    char buf[4096];
    for (ssize_t n; (n = read(channel[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<size_t>(n));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    // Nothing of it outlives it: the loop devices go with the namespace's mounts.
    std::vector<std::string> held = disk::LoopsBelow(base);
    for (int i = 0; i < 100 && !held.empty(); ++i) {
        usleep(100000);
        held = disk::LoopsBelow(base);
    }
    EXPECT_TRUE(held.empty()) << "loop devices left: " << inv::Describe(held);
    rmdir(base.c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << report;
    printf("%s\n", report.substr(0, report.find('\n')).c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ": " << report;
}

std::string RunName(const ::testing::TestParamInfo<CutRun>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Calls, PowerCut, ::testing::ValuesIn(kRuns), RunName);
// On ext4 a restore on one volume replaces the game's marker by a rename over it, which
// has ext4 write the new file's data first (auto_da_alloc): that run finds nothing
// without the flushes either, so it is left out there.
INSTANTIATE_TEST_SUITE_P(Calls, PowerCutOnDisk,
                         ::testing::Values(kRuns[0], kRuns[1], kRuns[2], kRuns[3], kRuns[5]), RunName);

}  // namespace
}  // namespace quisel::hardening
