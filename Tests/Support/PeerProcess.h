// A peer program started by a test: a real Modbus server or client on the
// other end of the line. Started at construction, stopped at destruction.
//
// The peer tells it is ready by printing a line "READY" on stdout, and prints
// nothing more there; its stderr goes to a file that the test shows when it
// fails. Stopping sends SIGTERM, then SIGKILL when the peer has not ended
// within the grace time, so a test never hangs on a stuck peer.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace QuorvelTest {

class TPeerProcess {
public:
    using TMilliseconds = std::chrono::milliseconds;

    // Starts Argv (Argv[0] is the program's path) and waits up to ReadyTimeout
    // for its READY line. Raises std::runtime_error, with the peer's stderr, when
    // it cannot start, ends before it is ready, or is not ready in time; the peer
    // is stopped then.
    explicit TPeerProcess(std::vector<std::string> Argv, TMilliseconds ReadyTimeout = TMilliseconds(15000))
        : FArgv(std::move(Argv)) {
        if (FArgv.empty())
            throw std::runtime_error("peer: no program given");
        try {
            Start();
            AwaitReady(ReadyTimeout);
        } catch (...) {
            Stop();
            CloseFds();
            throw;
        }
    }

    ~TPeerProcess() {
        Stop();
        CloseFds();
    }

    TPeerProcess(const TPeerProcess&) = delete;
    TPeerProcess& operator=(const TPeerProcess&) = delete;

    pid_t Pid() const noexcept { return FPid; }

    // True while the peer has not ended (reaps it when it has).
    bool Running() {
        if (FPid <= 0)
            return false;
        int Status = 0;
        const pid_t R = waitpid(FPid, &Status, WNOHANG);
        if (R == FPid) {
            Reaped(Status);
            return false;
        }
        if (R == -1 && errno == ECHILD) {
            // Reaped elsewhere (a test that waits for every child): it has ended.
            FPid = -1;
            FEnded = true;
            FEnd = "ended, status unknown";
            return false;
        }
        return true;
    }

    // Stops the peer (SIGTERM, then SIGKILL after Grace) unless it has ended,
    // and returns how it ended. A second call returns the same.
    std::string Stop(TMilliseconds Grace = TMilliseconds(3000)) {
        if (FPid > 0 && Running()) {
            // The peer may have ended just now; waitpid below tells.
            (void)kill(FPid, SIGTERM);
            const auto Deadline = std::chrono::steady_clock::now() + Grace;
            while (Running() && std::chrono::steady_clock::now() < Deadline)
                std::this_thread::sleep_for(TMilliseconds(10));
            if (FPid > 0) {
                (void)kill(FPid, SIGKILL);
                FKilled = true;
                int Status = 0;
                while (waitpid(FPid, &Status, 0) == -1 && errno == EINTR) {
                }
                Reaped(Status);
            }
        }
        return FEnd;
    }

    // True when the peer ended by itself or on SIGTERM with exit status 0: it
    // neither crashed nor needed SIGKILL. Meaningful after Stop.
    bool EndedCleanly() const noexcept { return FEnded && !FKilled && FEndStatusOk; }
    // How the peer ended ("exit status 0", "signal 9 (after SIGKILL)"); empty while it runs.
    const std::string& End() const noexcept { return FEnd; }

    // What the peer wrote on stderr so far.
    std::string StderrText() const {
        std::ifstream In(FStderrPath);
        std::ostringstream Out;
        Out << In.rdbuf();
        return Out.str();
    }

    // The command line, for messages.
    std::string CommandLine() const {
        std::string Line;
        for (const std::string& A : FArgv)
            Line += (Line.empty() ? "" : " ") + A;
        return Line;
    }

private:
    void Start() {
        const char* TmpDir = std::getenv("TMPDIR");
        std::string Template = std::string(TmpDir && *TmpDir ? TmpDir : "/tmp") + "/quorvel-peer-XXXXXX";
        FStderrFd = mkostemp(Template.data(), O_CLOEXEC);
        if (FStderrFd == -1)
            Fail("mkostemp");
        FStderrPath = Template;
        int Pipe[2];
        if (pipe2(Pipe, O_CLOEXEC) != 0)
            Fail("pipe2");
        FStdout = Pipe[0];

        posix_spawn_file_actions_t Actions;
        if (posix_spawn_file_actions_init(&Actions) != 0) {
            (void)::close(Pipe[1]);
            Fail("posix_spawn_file_actions_init");
        }
        // dup2 clears close-on-exec on the copies, and only on them.
        int Error = posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
        if (Error == 0)
            Error = posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
        if (Error == 0)
            Error = posix_spawn_file_actions_adddup2(&Actions, FStderrFd, 2);
        std::vector<char*> Args;
        for (std::string& A : FArgv)
            Args.push_back(A.data());
        Args.push_back(nullptr);
        if (Error == 0)
            Error = posix_spawn(&FPid, Args[0], &Actions, nullptr, Args.data(), environ);
        posix_spawn_file_actions_destroy(&Actions);
        // Our copy of the write end: without closing it the READY wait never sees EOF.
        (void)::close(Pipe[1]);
        if (Error != 0) {
            FPid = -1;
            errno = Error;
            Fail(("start " + FArgv[0]).c_str());
        }
    }

    void AwaitReady(TMilliseconds Timeout) {
        std::string Seen;
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        for (;;) {
            if (Seen.find("READY\n") != std::string::npos)
                return;
            const auto Left =
                std::chrono::ceil<TMilliseconds>(Deadline - std::chrono::steady_clock::now()).count();
            if (Left <= 0)
                throw std::runtime_error(Report("was not ready in time", Seen));
            pollfd P{FStdout, POLLIN, 0};
            const int R = poll(&P, 1, static_cast<int>(Left));
            if (R < 0 && errno == EINTR)
                continue;
            if (R < 0)
                Fail("poll");
            if (R == 0)
                continue;
            char Chunk[256];
            const ssize_t N = ::read(FStdout, Chunk, sizeof Chunk);
            if (N > 0) {
                Seen.append(Chunk, static_cast<std::size_t>(N));
            } else if (N == 0) {
                // EOF: the peer has ended (or closed stdout) without READY.
                Stop(TMilliseconds(1000));
                throw std::runtime_error(Report("ended before it was ready (" + FEnd + ")", Seen));
            } else if (errno != EINTR) {
                Fail("read peer stdout");
            }
        }
    }

    std::string Report(const std::string& What, const std::string& Stdout) const {
        return "peer '" + CommandLine() + "' " + What + "\n--- stdout ---\n" + Stdout + "\n--- stderr ---\n" +
               StderrText();
    }

    void Reaped(int Status) {
        FPid = -1;
        FEnded = true;
        if (WIFEXITED(Status)) {
            FEndStatusOk = WEXITSTATUS(Status) == 0;
            FEnd = "exit status " + std::to_string(WEXITSTATUS(Status));
        } else if (WIFSIGNALED(Status)) {
            // A peer that dies of the SIGTERM we sent has ended as asked.
            FEndStatusOk = WTERMSIG(Status) == SIGTERM;
            FEnd = "signal " + std::to_string(WTERMSIG(Status));
        }
        if (FKilled)
            FEnd += " (after SIGKILL)";
    }

    [[noreturn]] void Fail(const std::string& What) {
        const std::string Error = std::strerror(errno);
        throw std::runtime_error("peer: " + What + ": " + Error);
    }

    void CloseFds() noexcept {
        // Test teardown: a failing close or unlink leaves nothing to recover.
        if (FStdout >= 0)
            (void)::close(FStdout);
        if (FStderrFd >= 0)
            (void)::close(FStderrFd);
        if (!FStderrPath.empty())
            (void)::unlink(FStderrPath.c_str());
        FStdout = FStderrFd = -1;
        FStderrPath.clear();
    }

    std::vector<std::string> FArgv;
    pid_t FPid = -1;
    int FStdout = -1;
    int FStderrFd = -1;
    std::string FStderrPath;
    std::string FEnd;
    bool FEnded = false;
    bool FKilled = false;
    bool FEndStatusOk = false;
};

} // namespace QuorvelTest
