#include "host_runner.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef QUISEL_SOURCE_DIR
#error "QUISEL_SOURCE_DIR must be defined by the build"
#endif
#ifndef QUISEL_DEFAULT_BUILD_DIR
#error "QUISEL_DEFAULT_BUILD_DIR must be defined by the build"
#endif

namespace quisel::test {
namespace {

std::string FromEnvironment(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

bool OnPath(const char* program) {
    std::string path = FromEnvironment("PATH", "/usr/bin:/bin");
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        if (!dir.empty() && IsExecutable(dir + "/" + program)) return true;
        start = end + 1;
    }
    return false;
}

std::string Parent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : trimmed.substr(0, slash);
}

void SetCloseOnExec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }

} // namespace

const char* BuildName(Build build) { return build == Build::Native ? "Native" : "Wine"; }

std::string SourceDir() { return QUISEL_SOURCE_DIR; }

std::string NativeBuildDir() { return FromEnvironment("QUISEL_BUILD_DIR", QUISEL_DEFAULT_BUILD_DIR); }

std::string Win32BuildDir() {
    return FromEnvironment("QUISEL_WIN32_BUILD_DIR", Parent(NativeBuildDir()) + "/win32");
}

std::string BuildDir(Build build) { return build == Build::Native ? NativeBuildDir() : Win32BuildDir(); }

std::string HostProgram(Build build) {
    return build == Build::Native ? NativeBuildDir() + "/quisel-run" : Win32BuildDir() + "/quisel-run.exe";
}

std::string LibraryFile(Build build) {
    return build == Build::Native ? NativeBuildDir() + "/libquisel.so" : Win32BuildDir() + "/quisel.dll";
}

bool BuildAvailable(Build build) {
    // The sanitizer build's run skips the Windows binaries: they are the same as in the
    // plain run, and no sanitizer is in them.
    const char* skipWine = std::getenv("QUISEL_SKIP_WINE");
    if (build == Build::Wine && skipWine != nullptr && skipWine[0] != '\0' && std::string(skipWine) != "0") return false;
    struct stat st;
    if (stat(HostProgram(build).c_str(), &st) != 0 || stat(LibraryFile(build).c_str(), &st) != 0) return false;
    return build == Build::Native || OnPath("wine");
}

std::string LibraryPath(Build build, const std::string& linuxAbsolutePath) {
    if (build == Build::Native) return linuxAbsolutePath;
    std::string path = "Z:";
    for (char c : linuxAbsolutePath) path += c == '/' ? '\\' : c;
    return path;
}

std::string RunResult::Describe() const {
    std::string text = timedOut ? "timed out" : "exit " + std::to_string(exitCode);
    text += "\n  stdout: \"" + Printable(out) + "\"\n  stderr: \"" + Printable(err) + "\"";
    return text;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& workDir,
                     std::chrono::seconds timeout, const Environment& environment) {
    if (argv.empty()) throw std::invalid_argument("RunProgram: empty argv");
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0) throw std::runtime_error("pipe failed");
    if (pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    SetCloseOnExec(outPipe[0]);
    SetCloseOnExec(errPipe[0]);

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        // Its own process group, so a timeout takes down Wine's helpers too.
        setpgid(0, 0);
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        if (chdir(workDir.c_str()) != 0) {
            dprintf(2, "RunProgram: cannot change to %s: %s\n", workDir.c_str(), std::strerror(errno));
            _exit(127);
        }
        execv(args[0], args.data());
        dprintf(2, "RunProgram: cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    setpgid(child, child);
    close(outPipe[1]);
    close(errPipe[1]);

    RunResult result;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    // After the program has ended, a helper it left behind could still hold the pipes;
    // read what is there for a short while, then stop waiting for the end of the output.
    const auto graceAfterExit = std::chrono::seconds(5);
    Clock::time_point exitedAt{};
    bool exited = false;
    int status = 0;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int openCount = 2;
    while (true) {
        if (!exited) {
            pid_t done = waitpid(child, &status, WNOHANG);
            if (done == child) {
                exited = true;
                exitedAt = Clock::now();
            }
        }
        auto now = Clock::now();
        if (exited && (openCount == 0 || now - exitedAt > graceAfterExit)) break;
        if (!exited && now > deadline) {
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            result.timedOut = true;
            exited = true;
            break;
        }
        if (openCount == 0) {
            // Output is closed but the program still runs: wait for it without spinning.
            usleep(10000);
            continue;
        }
        int ready = poll(fds, 2, 50);
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --openCount;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    if (!result.timedOut) {
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return result;
}

RunResult RunHost(Build build, const std::vector<std::string>& args, const std::string& workDir,
                  std::chrono::seconds timeout, const Environment& environment) {
    std::vector<std::string> argv;
    Environment env = environment;
    if (build == Build::Native) {
        argv.push_back(HostProgram(build));
    } else {
        argv.push_back(SourceDir() + "/scripts/wine-run");
        argv.push_back(HostProgram(build));
        env.insert(env.begin(), {"WINEPREFIX", Win32BuildDir() + "/wineprefix"});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, workDir, timeout, env);
}

} // namespace quisel::test
