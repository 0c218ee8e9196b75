// The native host program killed (SIGKILL) at random moments: a backup of a few
// thousand files (then restored), backups and restores in a random order, and a move of
// large files from one file system to another (the layer copies them). Afterwards every
// file is whole at its source or at its destination, and no destination holds a file
// that is neither a listed one nor a list copy. Where the file system offers unnamed files the layer builds its copies in them,
// so no temporary file may stay; elsewhere one (".quisel-<pid>-<n>.tmp") may stay, only
// beside a destination whose original is still whole. The moments are drawn from a
// fixed seed, so a failure can be run again.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
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

// Returns the version: relative path -> bytes, the marker among them.
std::map<std::string, std::string> MakeBackupGame(const std::string& game, bool withOldSnapshot, int files = 3000) {
    inv::MakeDirs(game);
    std::map<std::string, std::string> version{{"ver.bin", "<ver.bin>"}};
    std::string list;
    for (int i = 0; i < files; ++i) {
        const std::string dir = "d" + std::to_string(i % 40);
        const std::string name = dir + "/f" + std::to_string(i) + ".dat";
        inv::MakeDirs(game + "/" + dir);
        version[name] = "<" + name + ">";
        inv::WriteBytes(game + "/" + name, version[name]);
        list += dir + "\\f" + std::to_string(i) + ".dat\r\n";
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
    return version;
}

// The version (relative path -> bytes, the marker among them) across the game directory
// and its two snapshots: every file whole and at one place, the marker at one place or
// more (a kill between its copy and its deletion leaves two), and nothing else but the
// lists, their copies and the log.
std::vector<std::string> VersionProblems(const std::string& game, const std::map<std::string, std::string>& version,
                                         const std::vector<std::string>& lists, bool tempsMayStay) {
    std::vector<std::string> problems;
    std::map<std::string, int> places;
    for (const auto& [path, entry] : inv::Take(game)) {
        if (entry.kind == inv::Entry::Directory) continue;
        std::string relative = path.substr(game.size() + 1);
        if (relative.rfind("gameold/", 0) == 0 || relative.rfind("gamenew/", 0) == 0) relative = relative.substr(8);
        const std::string name = relative.substr(relative.rfind('/') + 1);
        const auto file = version.find(relative);
        const bool list = (relative == "newlist.txt" || relative == "backuplist.txt") &&
                          std::find(lists.begin(), lists.end(), entry.bytes) != lists.end();
        if (file != version.end() && file->second == entry.bytes) ++places[relative];
        else if (file != version.end()) problems.push_back("changed: " + path);
        else if (!list && name != "quisel.log" && !(tempsMayStay && inv::IsLayerTemp(name)))
            problems.push_back("stray file: " + path);
    }
    for (const auto& [relative, bytes] : version) {
        if (places[relative] == 0) problems.push_back("lost: " + relative);
        if (places[relative] > 1 && relative != "ver.bin")
            problems.push_back("at " + std::to_string(places[relative]) + " places: " + relative);
    }
    return problems;
}

bool WholeIn(const std::string& dir, const std::map<std::string, std::string>& version) {
    for (const auto& [relative, bytes] : version) {
        if (inv::ReadBytes(dir + "/" + relative) != bytes) return false;
    }
    return true;
}

TEST_F(Kill, BackupKilledAtRandomMomentsLosesNoFile) {
    // Each round a backup killed at a random moment, then a restore of the snapshot.
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
        const std::map<std::string, std::string> version = MakeBackupGame(game, round % 2 == 1);
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
        EXPECT_TRUE(WholeIn(game, version)) << "round " << round << ", killed after " << delay.count() << " us";
    }
    printf("backup of 3000 files (%lld us whole): %d of 8 runs killed mid-call, %zu entries checked, %d temporary "
           "files left beside whole originals\n",
           static_cast<long long>(whole.count()), kills, files, temps);
    EXPECT_GE(kills, 3);
}

TEST_F(Kill, BackupsAndRestoresKilledInAnyOrderKeepTheVersion) {
    // Backups into both snapshots and restores from both, in a seeded random order, half
    // of them killed at a random moment; the version is checked after every step. A
    // backup finds the version whole in the game directory before it clears anything,
    // so an earlier snapshot holding part of it survives.
    const std::string game = shm_ + "/game";
    const std::map<std::string, std::string> version = MakeBackupGame(game, false, 1200);
    const std::vector<std::string> lists{inv::ReadBytes(game + "/newlist.txt"), inv::ReadBytes(game + "/backuplist.txt")};
    const bool tempsMayStay = !inv::UnnamedFilesOffered(shm_);
    const std::vector<std::string> snapshots{"gameold", "gamenew"};
    auto backup = [&](int s) { return std::vector<std::string>{"-C", game, "backup", std::to_string(s)}; };
    auto restore = [&](int s) {
        return std::vector<std::string>{"-C", game, "move", snapshots[s], game, snapshots[s] + "\\newlist.txt", "1"};
    };
    std::string step;
    auto check = [&] {
        const std::vector<std::string> problems = VersionProblems(game, version, lists, tempsMayStay);
        EXPECT_TRUE(problems.empty()) << step << inv::Describe(problems);
    };

    // Fixed steps first, timed for the moments of the kills: a repeated backup returns 0
    // and keeps the snapshot that holds the version.
    auto whole = [&](const std::vector<std::string>& args, const std::string& out) {
        step = args[2] + " " + args[3] + " run whole";
        const auto start = std::chrono::steady_clock::now();
        const quisel::test::RunResult r = quisel::test::RunHost(Build::Native, {args.begin(), args.end()}, game);
        EXPECT_EQ(r.out, out) << step << r.Describe();
        check();
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    };
    std::vector<std::string> twice = backup(0);
    twice.insert(twice.end(), {"backup", "0"});
    whole(twice, "1\n0\n");
    whole(restore(0), "1\n");
    const auto backupTime = whole(backup(1), "1\n");
    const auto restoreTime = whole(restore(1), "1\n");
    ASSERT_TRUE(WholeIn(game, version));

    // At most 60 steps and 20 seconds: a slow machine runs fewer of them.
    const int kRounds = 60;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::mt19937 random(20261208);
    int kills = 0, round = 0;
    for (; round < kRounds && std::chrono::steady_clock::now() < deadline && !HasFailure(); ++round) {
        // Backup into 0 or 1, restore from 0 or 1: mostly a backup while the version is whole.
        int op = static_cast<int>(random() % 4);
        if (op >= 2 && random() % 2 && WholeIn(game, version)) op -= 2;
        const bool isBackup = op < 2;
        const long longest = (isBackup ? backupTime : restoreTime).count() * 9 / 10;
        const long delay = random() % 2 ? 0 : std::uniform_int_distribution<long>(1, longest)(random);
        bool killed = false;
        RunOrKill(isBackup ? backup(op) : restore(op - 2), std::chrono::microseconds(delay), &killed);
        step = "round " + std::to_string(round) + ": " + (isBackup ? "backup into " : "restore from ") +
               snapshots[op % 2] + (killed ? ", killed after " + std::to_string(delay) + " us" : "");
        kills += killed ? 1 : 0;
        check();
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
