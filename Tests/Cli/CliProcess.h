// Runs the built quorvel tool (or another program) as a black box: its stdout
// and stderr go to files that the test reads whenever it likes, so a chatty
// program never blocks on a full pipe. Long-running commands (serve, monitor,
// pair) run in the background until the test stops them with SIGTERM.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
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

struct TCliResult {
    int Exit = -1;         // the exit status; -1 when the program died of a signal
    int Signal = 0;        // the signal that ended it, 0 when it exited
    bool TimedOut = false; // it had to be killed
    std::string Out;
    std::string Err;
};

class TCliProcess {
public:
    using TMilliseconds = std::chrono::milliseconds;

    // Starts Argv (Argv[0] is the program's path). Raises std::runtime_error.
    explicit TCliProcess(std::vector<std::string> Argv) : FArgv(std::move(Argv)) {
        FOutPath = TempFile("out");
        FErrPath = TempFile("err");
        posix_spawn_file_actions_t Actions;
        if (posix_spawn_file_actions_init(&Actions) != 0)
            throw std::runtime_error("posix_spawn_file_actions_init failed");
        int Error = posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
        if (Error == 0)
            Error = posix_spawn_file_actions_addopen(&Actions, 1, FOutPath.c_str(), O_WRONLY | O_TRUNC, 0);
        if (Error == 0)
            Error = posix_spawn_file_actions_addopen(&Actions, 2, FErrPath.c_str(), O_WRONLY | O_TRUNC, 0);
        std::vector<char*> Args;
        for (std::string& A : FArgv)
            Args.push_back(A.data());
        Args.push_back(nullptr);
        if (Error == 0)
            Error = posix_spawn(&FPid, Args[0], &Actions, nullptr, Args.data(), environ);
        posix_spawn_file_actions_destroy(&Actions);
        if (Error != 0) {
            FPid = -1;
            throw std::runtime_error("cannot start " + FArgv[0] + ": " + std::strerror(Error));
        }
    }

    ~TCliProcess() {
        Stop();
        // Test teardown: a failing unlink leaves only a stray temporary file.
        (void)::unlink(FOutPath.c_str());
        (void)::unlink(FErrPath.c_str());
    }

    TCliProcess(const TCliProcess&) = delete;
    TCliProcess& operator=(const TCliProcess&) = delete;

    std::string Out() const { return ReadFile(FOutPath); }
    std::string Err() const { return ReadFile(FErrPath); }

    // Waits until Text shows up in stdout (or stderr), or the program ends, or
    // Timeout passes. True when it showed up.
    bool WaitForText(const std::string& Text, bool InStderr = false,
                     TMilliseconds Timeout = TMilliseconds(10000)) {
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        for (;;) {
            if ((InStderr ? Err() : Out()).find(Text) != std::string::npos)
                return true;
            if (!Running() || std::chrono::steady_clock::now() >= Deadline)
                return (InStderr ? Err() : Out()).find(Text) != std::string::npos;
            std::this_thread::sleep_for(TMilliseconds(10));
        }
    }

    bool Running() {
        if (FPid <= 0)
            return false;
        int Status = 0;
        const pid_t R = waitpid(FPid, &Status, WNOHANG);
        if (R == FPid) {
            Reaped(Status);
            return false;
        }
        return true;
    }

    // Waits up to Timeout for the program to end by itself; SIGKILL after that.
    TCliResult Wait(TMilliseconds Timeout = TMilliseconds(20000)) {
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        while (Running() && std::chrono::steady_clock::now() < Deadline)
            std::this_thread::sleep_for(TMilliseconds(5));
        if (FPid > 0) {
            FResult.TimedOut = true;
            Kill(SIGKILL);
        }
        return Result();
    }

    // SIGTERM, then SIGKILL when it has not ended within Grace.
    TCliResult Stop(TMilliseconds Grace = TMilliseconds(3000)) {
        if (FPid > 0 && Running()) {
            // It may have ended just now; waitpid tells.
            (void)kill(FPid, SIGTERM);
            const auto Deadline = std::chrono::steady_clock::now() + Grace;
            while (Running() && std::chrono::steady_clock::now() < Deadline)
                std::this_thread::sleep_for(TMilliseconds(5));
            if (FPid > 0) {
                FResult.TimedOut = true;
                Kill(SIGKILL);
            }
        }
        return Result();
    }

    // Runs Argv to its end and returns what it did.
    static TCliResult Run(std::vector<std::string> Argv, TMilliseconds Timeout = TMilliseconds(20000)) {
        TCliProcess P(std::move(Argv));
        return P.Wait(Timeout);
    }

    std::string CommandLine() const {
        std::string Line;
        for (const std::string& A : FArgv)
            Line += (Line.empty() ? "" : " ") + A;
        return Line;
    }

private:
    static std::string TempFile(const char* What) {
        const char* Dir = std::getenv("TMPDIR");
        std::string Template = std::string(Dir && *Dir ? Dir : "/tmp") + "/quorvel-cli-" + What + "-XXXXXX";
        const int Fd = mkostemp(Template.data(), O_CLOEXEC);
        if (Fd < 0)
            throw std::runtime_error(std::string("mkostemp: ") + std::strerror(errno));
        (void)::close(Fd);
        return Template;
    }

    static std::string ReadFile(const std::string& Path) {
        std::ifstream In(Path, std::ios::binary);
        std::ostringstream Text;
        Text << In.rdbuf();
        return Text.str();
    }

    void Kill(int Signal) {
        (void)kill(FPid, Signal);
        int Status = 0;
        while (waitpid(FPid, &Status, 0) == -1 && errno == EINTR) {
        }
        Reaped(Status);
    }

    void Reaped(int Status) {
        FPid = -1;
        if (WIFEXITED(Status))
            FResult.Exit = WEXITSTATUS(Status);
        else if (WIFSIGNALED(Status))
            FResult.Signal = WTERMSIG(Status);
    }

    TCliResult Result() const {
        TCliResult R = FResult;
        R.Out = Out();
        R.Err = Err();
        return R;
    }

    std::vector<std::string> FArgv;
    pid_t FPid = -1;
    std::string FOutPath;
    std::string FErrPath;
    TCliResult FResult;
};

// Prints a result in failure messages.
inline std::ostream& operator<<(std::ostream& Out, const TCliResult& R) {
    return Out << "exit " << R.Exit << (R.Signal != 0 ? " signal " + std::to_string(R.Signal) : "")
               << (R.TimedOut ? " (killed)" : "") << "\n--- stdout ---\n"
               << R.Out << "--- stderr ---\n"
               << R.Err;
}

} // namespace QuorvelTest
