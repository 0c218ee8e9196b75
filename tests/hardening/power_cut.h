// What a power cut can leave of a call's work. The test program wraps the system calls
// that change names and data (linked with --wrap, tests/hardening/CMakeLists.txt); while a
// trace is recording, each one that succeeds below the traced roots is noted, with the
// volume it acts on. From the trace every state a power cut could leave is built under
// this model of the file system:
//   - data written and not flushed (fsync) may be lost or zero-filled;
//   - the name operations of one volume (create, link, rename, unlink, mkdir, rmdir) reach
//     the disk in the order they were made: any prefix of them survives;
//   - those of two volumes in any order relative to each other;
//   - a flushed directory makes every name operation made before on its volume durable.
// A flushed file makes its data durable, nothing more.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quisel::power {

// The regular files of a state: their bytes, or nothing when their data may be lost.
using Files = std::map<std::string, std::optional<std::string>>;

// Starts a trace: the files below roots are taken as they are, durable; from now on the
// calls are noted. Stop ends it and says where the names traced differ from those there
// (a call the trace does not know), or an operation it could not place on a volume:
// nothing, when it knew them all.
void Start(const std::vector<std::string>& roots);
std::vector<std::string> Stop();
// Called after each name operation noted (what it was, in words), while nothing is noted.
void AfterNameOperation(std::function<void(const std::string&)> hook);

struct Summary {
    size_t operations = 0;
    size_t flushes = 0;
    size_t states = 0;
    // One per distinct problem, with the first state that shows it.
    std::vector<std::string> problems;
    // The files whose data a power cut could still take once the calls had returned.
    std::vector<std::string> unflushed;
};
// Hands every state a power cut during the last trace could leave to check.
Summary CheckEveryState(const std::function<std::vector<std::string>(const Files&)>& check);

}  // namespace quisel::power
