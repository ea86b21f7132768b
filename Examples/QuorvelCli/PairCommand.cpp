#include "PairCommand.h"

#include "CliConnection.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace QuorvelCli {

namespace {

// One pseudo-terminal. It keeps a descriptor of its own slave open, so the
// master never sees a hang-up while no program has the port open, and a
// program can close and reopen its port at will.
class TPty {
public:
    TPty() {
        termios Raw{};
        cfmakeraw(&Raw);
        Raw.c_cflag |= CREAD | CLOCAL;
        char Name[128] = {};
        if (openpty(&FMaster, &FSlave, Name, &Raw, nullptr) != 0)
            throw EOpenError(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
        FPath = Name;
        const int Flags = fcntl(FMaster, F_GETFL);
        if (Flags == -1 || fcntl(FMaster, F_SETFL, Flags | O_NONBLOCK) == -1 ||
            fcntl(FMaster, F_SETFD, FD_CLOEXEC) == -1 || fcntl(FSlave, F_SETFD, FD_CLOEXEC) == -1) {
            const std::string Reason = std::strerror(errno);
            Close();
            throw EOpenError("cannot set up a pseudo-terminal: " + Reason);
        }
    }
    ~TPty() { Close(); }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    int Master() const noexcept { return FMaster; }
    const std::string& Path() const noexcept { return FPath; }

private:
    void Close() noexcept {
        // Teardown: a failing close leaves nothing to recover.
        if (FSlave >= 0)
            (void)::close(FSlave);
        if (FMaster >= 0)
            (void)::close(FMaster);
        FSlave = FMaster = -1;
    }

    int FMaster = -1;
    int FSlave = -1;
    std::string FPath;
};

// One direction of the cable: bytes read from From wait until To has taken
// them all, so nothing is lost while To's queue is full (the sender is held
// back instead, as a real line's receiver would hold it with flow control).
struct TLane {
    int From;
    int To;
    std::vector<std::uint8_t> Pending;
    std::size_t Done = 0;
};

// Symbolic links to the ports with stable names, removed again at the end.
class TLinks {
public:
    ~TLinks() {
        for (const std::string& L : FLinks)
            // Best effort at exit: a link someone removed already is fine.
            (void)::unlink(L.c_str());
    }
    void Add(const std::string& Dir, const char* Name, const std::string& Target) {
        const std::string Link = Dir + "/" + Name;
        struct stat St;
        if (lstat(Link.c_str(), &St) == 0) {
            // A link left by an earlier run is replaced; anything else is not ours to remove.
            if (!S_ISLNK(St.st_mode))
                throw EOpenError("cannot create link '" + Link + "': something else exists there");
            if (::unlink(Link.c_str()) != 0)
                throw EOpenError("cannot replace link '" + Link + "': " + std::strerror(errno));
        }
        if (symlink(Target.c_str(), Link.c_str()) != 0)
            throw EOpenError("cannot create link '" + Link + "': " + std::strerror(errno));
        FLinks.push_back(Link);
    }

private:
    std::vector<std::string> FLinks;
};

} // namespace

int RunPairCommand(const TCommandLine& Line) {
    const TOptions& O = Line.Options;
    CheckOptionGroups(Line, ogPair);
    CheckArgCount(Line, 0, 0);

    // The relay waits with ppoll, which lets SIGINT and SIGTERM in only while it waits.
    sigset_t Blocked, Waiting;
    sigemptyset(&Blocked);
    sigaddset(&Blocked, SIGINT);
    sigaddset(&Blocked, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &Blocked, &Waiting) != 0)
        throw std::runtime_error(std::string("sigprocmask: ") + std::strerror(errno));
    sigdelset(&Waiting, SIGINT);
    sigdelset(&Waiting, SIGTERM);

    TPty A, B;
    std::optional<TPty> Tap;
    if (O.Tap)
        Tap.emplace();
    TLinks Links;
    if (!O.LinksDir.empty()) {
        if (mkdir(O.LinksDir.c_str(), 0755) != 0 && errno != EEXIST)
            throw EOpenError("cannot create directory '" + O.LinksDir + "': " + std::strerror(errno));
        Links.Add(O.LinksDir, "a", A.Path());
        Links.Add(O.LinksDir, "b", B.Path());
        if (Tap)
            Links.Add(O.LinksDir, "tap", Tap->Path());
    }
    PrintLine(A.Path());
    PrintLine(B.Path());
    if (Tap)
        PrintLine(Tap->Path());
    PrintLine("READY");

    std::array<TLane, 2> Lanes{TLane{A.Master(), B.Master(), {}}, TLane{B.Master(), A.Master(), {}}};
    int Status = esOk;
    while (!StopRequested()) {
        std::array<pollfd, 2> Fds{};
        for (std::size_t I = 0; I < Lanes.size(); ++I) {
            const TLane& L = Lanes[I];
            Fds[I] = L.Done < L.Pending.size() ? pollfd{L.To, POLLOUT, 0} : pollfd{L.From, POLLIN, 0};
        }
        if (ppoll(Fds.data(), Fds.size(), nullptr, &Waiting) < 0) {
            if (errno == EINTR)
                continue;
            PrintError(std::string("relay: ") + std::strerror(errno));
            Status = esFailed;
            break;
        }
        for (std::size_t I = 0; I < Lanes.size(); ++I) {
            TLane& L = Lanes[I];
            if (Fds[I].revents == 0)
                continue;
            if (L.Done < L.Pending.size()) {
                const ssize_t N = ::write(L.To, L.Pending.data() + L.Done, L.Pending.size() - L.Done);
                if (N > 0)
                    L.Done += static_cast<std::size_t>(N);
                continue;
            }
            // Small chunks keep the relay from adding visible latency to a frame.
            std::uint8_t Chunk[64];
            const ssize_t N = ::read(L.From, Chunk, sizeof Chunk);
            if (N <= 0)
                continue; // EAGAIN, or EIO: cannot happen while the slave is held open
            L.Pending.assign(Chunk, Chunk + N);
            L.Done = 0;
            if (Tap) {
                // The tap must never hold the line back: with nobody reading
                // it, its copy is dropped once its queue is full.
                (void)::write(Tap->Master(), Chunk, static_cast<std::size_t>(N));
            }
        }
    }
    return Status;
}

} // namespace QuorvelCli
