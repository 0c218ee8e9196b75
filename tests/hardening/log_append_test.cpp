// The activity log while another process appends to it: every record of the library
// and every line of the other writer is there once, whole, in the order each wrote.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "game_scenario.h"
#include "invariants.h"
#include "test_support.h"

namespace quisel::hardening {
namespace {

namespace inv = quisel::inv;
namespace sc = quisel::scenario;

struct Shared {
    std::atomic<int> written;
    std::atomic<int> stop;
};

std::string ChildLine(int n) {
    char line[32];
    snprintf(line, sizeof line, "<<other %06d>>\r\n", n);
    return line;
}

// Appends numbered lines to path, one write each, until told to stop.
[[noreturn]] void AppendUntilStopped(const std::string& path, Shared* shared) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) _exit(2);
    for (int n = 0; !shared->stop.load(); ++n) {
        const std::string line = ChildLine(n);
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(3);
        shared->written.store(n + 1);
    }
    close(fd);
    _exit(0);
}

// One move of 400 files while another process appends to the log; *during counts the
// other writer's lines that landed while the call ran.
void MoveWhileAnotherWriterAppends(int* during) {
    *during = 0;
    const std::string scope = inv::MakeTempDir(inv::ScratchParent(), "quisel-append");
    const std::string game = scope + "/game";
    std::vector<std::string> names;
    std::string list;
    for (int i = 0; i < 400; ++i) {
        char name[32];
        snprintf(name, sizeof name, "d%d/file%03d.txt", i % 7, i);
        names.push_back(std::string("src/") + name);
        list += name;
        list += "\r\n";
    }
    list = test::Backslashed(list);
    sc::Build(game, names);
    inv::WriteBytes(game + "/list.txt", list);

    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    new (shared) Shared{};
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) AppendUntilStopped(game + "/quisel.log", shared);
    while (shared->written.load() < 200) usleep(100);  // the other writer is busy

    const int before = shared->written.load();
    const std::string from = game + "/src", to = game + "/dst";
    const sc::Outcome outcome =
        sc::InGame(game, [&] { return VersionMove(from.c_str(), to.c_str(), "list.txt", 0); });
    *during = shared->written.load() - before;
    shared->stop.store(1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const int written = shared->written.load();
    munmap(shared, sizeof(Shared));
    EXPECT_EQ(outcome.result, 1);

    // Take the other writer's lines out, in order; what is left must be exactly the
    // library's records.
    std::string log = inv::ReadBytes(game + "/quisel.log");
    std::string rest;
    int next = 0;
    size_t at = 0;
    while (at < log.size()) {
        const std::string expected = ChildLine(next);
        if (log.compare(at, expected.size(), expected) == 0) {
            at += expected.size();
            ++next;
        } else {
            rest += log[at++];
        }
    }
    EXPECT_EQ(next, written) << "lines of the other writer missing or torn";
    std::vector<std::string> messages = {"-------- VersionMove begin ---------\n", "from: " + from + "\nto: " + to};
    for (const std::string& name : names) {
        const std::string entry = test::Backslashed(name.substr(4));
        messages.push_back("MoveFile(" + from + "\\" + entry + ", " + to + "\\" + entry + ") SUCCEED !!!\n");
    }
    messages.push_back("-------- VersionMove end 1---------\n");
    EXPECT_TRUE(test::LogMatches(rest, test::MaskedLog(messages)));
    printf("%d lines of the other writer, %d of them during the call; %zu records\n", written, *during,
           messages.size());
    inv::RemoveAll(scope);
}

TEST(LogAppend, AnotherWriterLosesAndTearsNothing) {
    // The two must really write at the same time, or this proves little; on a busy
    // machine the other writer may not be scheduled during one short call, so the run
    // is repeated until it was.
    int during = 0;
    for (int attempt = 0; attempt < 10 && during == 0 && !HasFailure(); ++attempt) {
        MoveWhileAnotherWriterAppends(&during);
    }
    EXPECT_GT(during, 0);
}

}  // namespace
}  // namespace quisel::hardening
