// The native host program killed (SIGKILL) at random moments: a backup of a few
// thousand files, backups and restores in a random order, and a move of large files
// from one file system to another (the layer copies them). Afterwards every file is
// whole at its source or at its destination, nothing else is new but list copies, and a
// temporary file of the layer (".quisel-<pid>-<n>.tmp") may stay only where there are no
// unnamed files, beside a destination whose original is still whole. The moments are
// drawn from a fixed seed, so a failure can be run again.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include "host_runner.h"
#include "invariants.h"

namespace quisel::hardening {
namespace {

namespace inv = quisel::inv;
using quisel::test::Build;

// Starts quisel-run with args in dir; returns its pid.
pid_t Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv{quisel::test::HostProgram(Build::Native)};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> raw;
        for (std::string& arg : argv) raw.push_back(arg.data());
        raw.push_back(nullptr);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execv(raw[0], raw.data());
        _exit(127);
    }
    return pid;
}

// Runs to the end, or kills after delay; returns the time it ran.
std::chrono::microseconds RunOrKill(const std::vector<std::string>& args, std::chrono::microseconds delay,
                                    bool* killed) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = Start(args);
    int status = 0;
    *killed = false;
    if (delay.count() > 0) {
        const auto until = start + delay;
        while (std::chrono::steady_clock::now() < until) {
            if (waitpid(pid, &status, WNOHANG) == pid) return std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - start);
            struct timespec pause = {0, 50000};
            nanosleep(&pause, nullptr);
        }
        kill(pid, SIGKILL);
        *killed = true;
    }
    waitpid(pid, &status, 0);
    if (*killed && !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) *killed = false;  // it had ended
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
}

int CountTemps(const inv::Snapshot& snapshot) {
    int count = 0;
    for (const auto& entry : snapshot) {
        if (inv::IsLayerTemp(entry.first.substr(entry.first.rfind('/') + 1))) ++count;
    }
    return count;
}

class Kill : public ::testing::Test {
protected:
    void SetUp() override {
        QUISEL_SKIP_UNLESS_AVAILABLE(Build::Native);
        scope_ = inv::MakeTempDir("/tmp", "quisel-kill");
        shm_ = inv::MakeTempDir(inv::ScratchParent(), "quisel-kill");
    }
    void TearDown() override {
        if (!scope_.empty()) inv::RemoveAll(scope_);
        if (!shm_.empty()) inv::RemoveAll(shm_);
    }
    std::string scope_;  // on the disk
    std::string shm_;    // in memory where there is /dev/shm: thousands of files are made quickly
};

// File i of the version MakeBackupGame makes, below the game directory; it holds "<name>".
std::string GameFile(int i) { return "d" + std::to_string(i % 40) + "/f" + std::to_string(i) + ".dat"; }

void MakeBackupGame(const std::string& game, bool withOldSnapshot, int files = 3000) {
    inv::MakeDirs(game);
    std::string list;
    for (int i = 0; i < files; ++i) {
        std::string name = GameFile(i);
        inv::MakeDirs(game + "/" + name.substr(0, name.find('/')));
        inv::WriteBytes(game + "/" + name, "<" + name + ">");
        list += name.replace(name.find('/'), 1, "\\") + "\r\n";
    }
    inv::WriteBytes(game + "/ver.bin", "<ver.bin>");
    list += "ver.bin\r\n";
    inv::WriteBytes(game + "/backuplist.txt", list);
    inv::WriteBytes(game + "/newlist.txt", "d0\\f0.dat\r\n");
    if (withOldSnapshot) {
        for (int i = 0; i < 500; ++i) {
            const std::string name = "gameold/o" + std::to_string(i % 10) + "/old" + std::to_string(i);
            inv::MakeDirs(game + "/gameold/o" + std::to_string(i % 10));
            inv::WriteBytes(game + "/" + name, "<" + name + ">");
        }
    }
}

// The files below root: a backup clears the directories a restore leaves in its snapshot.
inv::Snapshot FilesIn(const std::string& root) {
    inv::Snapshot files = inv::Take(root);
    for (auto it = files.begin(); it != files.end();)
        it = it->second.kind == inv::Entry::Directory ? files.erase(it) : std::next(it);
    return files;
}

// Whether dir holds every file of the version MakeBackupGame made, whole.
bool WholeIn(const std::string& dir, int files = 3000) {
    for (int i = 0; i < files; ++i)
        if (inv::ReadBytes(dir + "/" + GameFile(i)) != "<" + GameFile(i) + ">") return false;
    return inv::ReadBytes(dir + "/ver.bin") == "<ver.bin>";
}

TEST_F(Kill, BackupKilledAtRandomMomentsLosesNoFile) {
    const std::string game = shm_ + "/game";
    const std::string snapshot = game + "/gameold";
    const std::vector<std::string> args{"-C", game, "backup", "0"};
    bool killed = false;
    // The time of a whole run, the shorter of two (the first may pay for a cold start).
    auto whole = std::chrono::microseconds::max();
    for (int i = 0; i < 2; ++i) {
        inv::RemoveAll(game);
        MakeBackupGame(game, true);
        whole = std::min(whole, RunOrKill(args, std::chrono::microseconds(0), &killed));
        ASSERT_TRUE(inv::PathExists(snapshot + "/d0/f0.dat"));
    }

    std::mt19937 random(20240611);
    int kills = 0, temps = 0;
    size_t files = 0;
    for (int round = 0; round < 8; ++round) {
        inv::RemoveAll(game);
        MakeBackupGame(game, round % 2 == 1);
        const inv::Snapshot before = inv::Take(shm_);
        std::uniform_int_distribution<long> moment(1, whole.count() * 9 / 10);
        const auto delay = std::chrono::microseconds(moment(random));
        RunOrKill(args, delay, &killed);
        kills += killed ? 1 : 0;
        const inv::Snapshot after = inv::Take(shm_);
        temps += CountTemps(after);
        inv::Allowed allowed;
        allowed.interrupted = true;
        allowed.tempsMayStay = !inv::UnnamedFilesOffered(shm_);
        allowed.moves.push_back({game, snapshot});
        allowed.cleared.push_back(snapshot);
        allowed.copies.push_back({game + "/newlist.txt", snapshot + "/backuplist.txt"});
        allowed.copies.push_back({game + "/backuplist.txt", snapshot + "/newlist.txt"});
        const std::vector<std::string> problems = inv::CheckConservation(before, after, allowed);
        EXPECT_TRUE(problems.empty()) << "round " << round << ", killed after " << delay.count() << " us"
                                      << inv::Describe(problems);
        files += before.size();
        // The restore brings the whole version back into the game directory.
        RunOrKill({"-C", game, "move", "gameold", game, "gameold\\newlist.txt", "1"}, std::chrono::microseconds(0),
                  &killed);
        EXPECT_TRUE(WholeIn(game)) << "round " << round << ", killed after " << delay.count() << " us";
    }
    printf("backup of 3000 files (%lld us whole): %d of 8 runs killed mid-call, %zu entries checked, %d temporary "
           "files left beside whole originals\n",
           static_cast<long long>(whole.count()), kills, files, temps);
    EXPECT_GE(kills, 3);
}

TEST_F(Kill, BackupsAndRestoresKilledInAnyOrderKeepTheVersion) {
    // Backups into both snapshots and restores from both in a seeded order, about half of
    // them killed, each step checked by conservation with nothing "cleared": a backup must
    // find the version whole in the game directory before it clears a snapshot that may
    // hold part of it (the list copies it replaces have twins in the game directory).
    const std::string game = shm_ + "/game";
    MakeBackupGame(game, false, 1200);
    const std::string snapshots[] = {"gameold", "gamenew"};
    int kills = 0;
    // op 0 or 1: a backup into that snapshot (twice when asked), 2 or 3: a restore from
    // snapshot op - 2; killed after delay unless 0. Returns how long it ran.
    auto run = [&](const std::string& step, int op, long delay, bool twice = false) {
        const std::string& name = snapshots[op % 2];
        const std::string snapshot = game + "/" + name;
        std::vector<std::string> args{"-C", game, "move", name, game, name + "\\newlist.txt", "1"};
        inv::Allowed allowed;
        allowed.tempsMayStay = !inv::UnnamedFilesOffered(shm_);
        allowed.moves = {op < 2 ? std::make_pair(game, snapshot) : std::make_pair(snapshot, game)};
        if (op < 2) {
            args = {"-C", game, "backup", name == "gameold" ? "0" : "1"};
            if (twice) args.insert(args.end(), {"backup", args[3]});
            allowed.copies = {{game + "/newlist.txt", snapshot + "/backuplist.txt"},
                              {game + "/backuplist.txt", snapshot + "/newlist.txt"}};
        }
        const inv::Snapshot before = FilesIn(game);
        const auto ran = RunOrKill(args, std::chrono::microseconds(delay), &allowed.interrupted);
        kills += allowed.interrupted ? 1 : 0;
        const std::vector<std::string> problems = inv::CheckConservation(before, FilesIn(game), allowed);
        EXPECT_TRUE(problems.empty()) << step << ": " << args[2] << " " << name
                                      << (allowed.interrupted ? ", killed after " + std::to_string(delay) + " us" : "")
                                      << inv::Describe(problems);
        return ran.count();
    };

    // Fixed steps first, run whole, which time the kills: a repeated backup keeps the
    // snapshot that holds the only copies.
    run("fixed", 0, 0, true);
    ASSERT_TRUE(WholeIn(game + "/gameold", 1200));
    run("fixed", 2, 0);
    const long backupTime = run("fixed", 1, 0), restoreTime = run("fixed", 3, 0);
    ASSERT_TRUE(WholeIn(game, 1200));

    // At most 60 steps and 20 seconds: a slow machine runs fewer of them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::mt19937 random(20261208);
    int round = 0;
    for (; round < 60 && std::chrono::steady_clock::now() < deadline && !HasFailure(); ++round) {
        // Mostly a backup while the version is whole, so that most backups have work to do.
        int op = static_cast<int>(random() % 4);
        if (op >= 2 && random() % 2 && WholeIn(game, 1200)) op -= 2;
        const long longest = (op < 2 ? backupTime : restoreTime) * 9 / 10;
        const long delay = random() % 2 ? 0 : std::uniform_int_distribution<long>(1, longest)(random);
        run("round " + std::to_string(round), op, delay);
    }
    printf("%d steps, %d killed mid-call\n", round, kills);
    EXPECT_GE(kills, 3);
}

TEST_F(Kill, MoveAcrossFileSystemsKilledMidCopyLosesNoFile) {
    struct stat a, b;
    ASSERT_EQ(stat(shm_.c_str(), &a), 0);
    ASSERT_EQ(stat(scope_.c_str(), &b), 0);
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm and /tmp are one file system here";

    const std::string game = scope_ + "/game";
    const std::string from = shm_ + "/src";
    const std::string to = game + "/dst";
    inv::MakeDirs(game);
    inv::WriteBytes(game + "/list.txt", "big0.bin\r\nbig1.bin\r\nbig2.bin\r\n");
    // Three files of 24 MiB, each of its own bytes throughout.
    std::vector<std::string> contents;
    for (int i = 0; i < 3; ++i) {
        std::string bytes(24 << 20, '\0');
        std::mt19937 fill(i + 1);
        for (size_t at = 0; at < bytes.size(); at += 4) {
            const uint32_t word = fill();
            memcpy(&bytes[at], &word, 4);
        }
        contents.push_back(bytes);
    }
    auto make = [&] {
        inv::RemoveAll(from);
        inv::RemoveAll(to);
        inv::RemoveAll(game + "/quisel.log");
        inv::MakeDirs(from);
        for (int i = 0; i < 3; ++i) inv::WriteBytes(from + "/big" + std::to_string(i) + ".bin", contents[i]);
    };
    const std::vector<std::string> args{"-C", game, "move", from, to, "list.txt", "0"};
    bool killed = false;
    auto whole = std::chrono::microseconds::max();
    for (int i = 0; i < 2; ++i) {
        make();
        whole = std::min(whole, RunOrKill(args, std::chrono::microseconds(0), &killed));
        ASSERT_EQ(inv::ReadBytes(to + "/big2.bin"), contents[2]);
    }

    std::mt19937 random(7);
    int kills = 0, temps = 0;
    for (int round = 0; round < 5; ++round) {
        make();
        inv::Snapshot before = inv::Take(shm_);
        for (const auto& entry : inv::Take(scope_)) before.insert(entry);
        std::uniform_int_distribution<long> moment(1, whole.count() * 9 / 10);
        const auto delay = std::chrono::microseconds(moment(random));
        RunOrKill(args, delay, &killed);
        kills += killed ? 1 : 0;
        inv::Snapshot after = inv::Take(shm_);
        for (const auto& entry : inv::Take(scope_)) after.insert(entry);
        temps += CountTemps(after);
        inv::Allowed allowed;
        allowed.interrupted = true;
        allowed.tempsMayStay = !inv::UnnamedFilesOffered(game);
        allowed.moves.push_back({from, to});
        const std::vector<std::string> problems = inv::CheckConservation(before, after, allowed);
        EXPECT_TRUE(problems.empty()) << "round " << round << ", killed after " << delay.count() << " us"
                                      << inv::Describe(problems);
    }
    printf("move of 3 x 24 MiB across file systems (%lld us whole): %d of 5 runs killed mid-call, %d temporary files "
           "left beside whole originals\n",
           static_cast<long long>(whole.count()), kills, temps);
    EXPECT_GE(kills, 2);
}

}  // namespace
}  // namespace quisel::hardening
