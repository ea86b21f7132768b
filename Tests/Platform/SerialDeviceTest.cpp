// The termios serial device, over pty pairs: the device opens the slave by its
// path, the test drives the master end.

#include "detail/SerialDevice.h"

#include "Platform/LineRateProbe.h"
#include "Support/PtyPair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace Quorvel;
using namespace Quorvel::detail;
using namespace std::chrono_literals;
using QuorvelTest::TPtyPair;
using TBytes = std::vector<std::uint8_t>;
using TClock = std::chrono::steady_clock;

long long MsSince(TClock::time_point Start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start).count();
}

// Read holding registers 0..9 of server 1, CRC C5 CD (a common textbook frame).
const TBytes ReadRegistersFrame{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};

class SerialDeviceTest : public ::testing::Test {
protected:
    // Opens the slave the way the connection does: by name, then each opening step.
    std::unique_ptr<TSerialDevice> OpenConfigured(const TLineSettings& Settings = {}) {
        auto Device = OpenSerialDevice(Pty.SlavePath());
        if (!Device) {
            ADD_FAILURE() << "cannot open " << Pty.SlavePath();
            return nullptr;
        }
        EXPECT_TRUE(Device->SetupBuffers(4096, 4096));
        EXPECT_TRUE(Device->SetTimeouts());
        EXPECT_TRUE(Device->SetEventMask());
        EXPECT_TRUE(Device->Configure(Settings));
        return Device;
    }

    // The tty's settings, as every descriptor of the slave sees them.
    termios LineState() {
        termios T{};
        EXPECT_EQ(tcgetattr(Pty.SlaveFd(), &T), 0);
        return T;
    }

    // Collects Count bytes from the device, waiting for each as the connection does.
    TBytes ReadFromDevice(TSerialDevice& Device, std::size_t Count, std::int32_t Max = 256) {
        TBytes Bytes;
        const auto Start = TClock::now();
        while (Bytes.size() < Count && MsSince(Start) < 2000) {
            if (Device.WaitReadable(100, nullptr) != wrReadable)
                continue;
            std::uint8_t Chunk[256];
            const std::int32_t N = Device.Read(Chunk, Max);
            EXPECT_LE(N, Max);
            Bytes.insert(Bytes.end(), Chunk, Chunk + N);
        }
        return Bytes;
    }

    TPtyPair Pty;
};

TEST_F(SerialDeviceTest, OpensAndReconfiguresWithTheDefaultEvenParity) {
    // Linux drops PARENB on a pty and refuses the repeated request, so the
    // second open and the repeated Configure calls are the ones that matter.
    for (int Open = 0; Open < 2; ++Open) {
        auto Device = OpenConfigured();
        ASSERT_TRUE(Device);
        for (int Again = 0; Again < 3; ++Again)
            EXPECT_TRUE(Device->Configure(TLineSettings{})) << "open " << Open << ", again " << Again;
    }
    const termios T = LineState();
    EXPECT_EQ(T.c_cflag & PARENB, 0u) << "a pty is never asked for parity";
    EXPECT_EQ(T.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(T.c_oflag & OPOST, 0u);
    EXPECT_EQ(T.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(T.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(T.c_cc[VMIN], 0);
    EXPECT_EQ(T.c_cc[VTIME], 0);
    EXPECT_EQ(QuorvelTest::OutputBitRate(Pty.SlaveFd()), 19200u);
}

TEST_F(SerialDeviceTest, ConfiguresEveryLineShape) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    // 14400, 56000 and 12345 have no Bnnn code and go through BOTHER.
    const std::uint32_t Rates[] = {110, 9600, 14400, 19200, 56000, 115200, 12345, 250000};
    const TParityScheme Parities[] = {psNone, psOdd, psEven};
    const TStopBits Stops[] = {sb1, sb2};
    const TFlowControl Flows[] = {fcNone, fcRtsToggle, fcRtsCts, fcDtrDsr};
    for (std::uint32_t Rate : Rates)
        for (TParityScheme Parity : Parities)
            for (int DataBits : {7, 8})
                for (TStopBits Stop : Stops)
                    for (TFlowControl Flow : Flows) {
                        TLineSettings S;
                        S.BaudRate = Rate;
                        S.Parity = Parity;
                        S.DataBits = DataBits;
                        S.StopBits = Stop;
                        S.FlowControl = Flow;
                        S.RTSRaised = Rate % 2 == 0;
                        S.DTRRaised = Flow != fcDtrDsr;
                        const std::string Case = std::to_string(Rate) + " parity " + std::to_string(Parity) +
                                                 " data " + std::to_string(DataBits) + " stop " +
                                                 std::to_string(Stop) + " flow " + std::to_string(Flow);
                        ASSERT_TRUE(Device->Configure(S)) << Case;
                        const termios T = LineState();
                        EXPECT_EQ(QuorvelTest::OutputBitRate(Pty.SlaveFd()), Rate) << Case;
                        EXPECT_EQ((T.c_cflag & CSTOPB) != 0, Stop == sb2) << Case;
                        EXPECT_EQ((T.c_cflag & CRTSCTS) != 0, Flow == fcRtsCts) << Case;
                        EXPECT_EQ(T.c_cflag & PARENB, 0u) << Case;
                        EXPECT_EQ(T.c_iflag & (IXON | IXOFF), 0u) << Case;
                        EXPECT_EQ(T.c_cc[VSTART], 0x11) << Case;
                        EXPECT_EQ(T.c_cc[VSTOP], 0x13) << Case;
                        // The data bits are not checked: a pty always reports CS8.
                    }
}

TEST_F(SerialDeviceTest, RefusesSettingsNoLineCanHave) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    struct TCase {
        const char* Name;
        std::uint32_t BaudRate;
        int DataBits;
    };
    const TCase Cases[] = {
        {"rate 0 (would hang up the line)", 0, 8}, {"6 data bits", 19200, 6}, {"9 data bits", 19200, 9}};
    for (const TCase& C : Cases) {
        TLineSettings S;
        S.BaudRate = C.BaudRate;
        S.DataBits = C.DataBits;
        EXPECT_FALSE(Device->Configure(S)) << C.Name;
        EXPECT_EQ(QuorvelTest::OutputBitRate(Pty.SlaveFd()), 19200u) << C.Name << ": the line is unchanged";
    }
}

TEST(SerialDevice, ResolvesPortNames) {
    const std::pair<const char*, const char*> Cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM10", "/dev/ttyS9"},
        {"com3", "/dev/ttyS2"},
        {"COM007", "/dev/ttyS6"},
        {"COM0", "/dev/COM0"},
        {"COM", "/dev/COM"},
        {"COM1a", "/dev/COM1a"},
        {"COM99999999999999", "/dev/COM99999999999999"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"serial/by-id/usb-X", "/dev/serial/by-id/usb-X"},
        {"/dev/pts/3", "/dev/pts/3"},
        {"/dev/serial/by-id/usb-FTDI_X-if00-port0", "/dev/serial/by-id/usb-FTDI_X-if00-port0"},
        {"", ""},
    };
    for (const auto& [Port, Path] : Cases)
        EXPECT_EQ(ResolvePortName(Port), Path) << '"' << Port << '"';
}

TEST(SerialDevice, GivesNoDeviceForWhatCannotBeOpened) {
    EXPECT_EQ(OpenSerialDevice("/dev/ttyQuorvelNoSuchPort0"), nullptr);
    EXPECT_EQ(OpenSerialDevice("/nonexistent-dir/ttyS0"), nullptr);
    EXPECT_EQ(OpenSerialDevice(""), nullptr);
    EXPECT_EQ(HookSerialDevice(-1), nullptr);

    int Pipe[2];
    ASSERT_EQ(pipe(Pipe), 0);
    ASSERT_EQ(close(Pipe[0]), 0);
    ASSERT_EQ(close(Pipe[1]), 0);
    EXPECT_EQ(HookSerialDevice(Pipe[0]), nullptr) << "a closed descriptor";
}

TEST(SerialDevice, RefusesLineSetupOnSomethingThatIsNoTty) {
    int Pipe[2];
    ASSERT_EQ(pipe(Pipe), 0);
    {
        auto Device = HookSerialDevice(Pipe[0]);
        ASSERT_TRUE(Device);
        EXPECT_TRUE(Device->SetEventMask());
        EXPECT_FALSE(Device->SetTimeouts());
        EXPECT_FALSE(Device->Configure(TLineSettings{}));
        std::uint8_t Byte;
        EXPECT_EQ(Device->Read(&Byte, 1), 0) << "the hooked descriptor no longer blocks";
    }
    EXPECT_EQ(close(Pipe[0]), 0);
    EXPECT_EQ(close(Pipe[1]), 0);
}

// Whether a user other than root could open Path now. Root (CAP_SYS_ADMIN)
// passes TIOCEXCL, so as root the attempt runs in a child that has become
// "nobody"; nullopt when that is not possible here.
std::optional<bool> OthersCanOpen(const std::string& Path) {
    if (geteuid() != 0)
        return OpenSerialDevice(Path) != nullptr;
    const pid_t Pid = fork();
    if (Pid < 0)
        return std::nullopt;
    if (Pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        bool Opened;
        {
            auto Device = OpenSerialDevice(Path);
            Opened = Device != nullptr;
        }
        _exit(Opened ? 0 : 1);
    }
    int Status = 0;
    if (waitpid(Pid, &Status, 0) != Pid || !WIFEXITED(Status) || WEXITSTATUS(Status) > 1)
        return std::nullopt;
    return WEXITSTATUS(Status) == 0;
}

TEST_F(SerialDeviceTest, OpensThePortExclusively) {
    ASSERT_EQ(fchmod(Pty.SlaveFd(), 0666), 0) << "so that nobody may open it at all";
    const auto Before = OthersCanOpen(Pty.SlavePath());
    if (!Before)
        GTEST_SKIP() << "cannot open the port as another user here";
    EXPECT_TRUE(*Before) << "the port can be opened while no device holds it";
    {
        auto Device = OpenConfigured();
        ASSERT_TRUE(Device);
        EXPECT_EQ(OthersCanOpen(Pty.SlavePath()), false) << "refused while the device is open";
    }
    // A pty's tty lives as long as its master, and with it the exclusive flag,
    // unless the device releases it when it closes.
    EXPECT_EQ(OthersCanOpen(Pty.SlavePath()), true) << "free again after the device closed";
}

TEST_F(SerialDeviceTest, ReadReturnsAtOnceWithWhatHasArrived) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    std::uint8_t Buffer[16];
    const auto Start = TClock::now();
    EXPECT_EQ(Device->Read(Buffer, sizeof Buffer), 0);
    EXPECT_LT(MsSince(Start), 500) << "a read with nothing there does not wait";

    const TBytes Sent{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Pty.Write(Sent);
    ASSERT_EQ(Device->WaitReadable(2000, nullptr), wrReadable);
    // Nothing to read into, or no room: nothing is taken from the line.
    EXPECT_EQ(Device->Read(Buffer, 0), 0);
    EXPECT_EQ(Device->Read(Buffer, -1), 0);
    EXPECT_EQ(Device->Read(nullptr, 4), 0);
    EXPECT_EQ(ReadFromDevice(*Device, Sent.size(), 4), Sent) << "at most Max bytes per read, in order";
}

TEST_F(SerialDeviceTest, WriteHandsAFrameToTheLine) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    EXPECT_TRUE(
        Device->Write(ReadRegistersFrame.data(), static_cast<std::int32_t>(ReadRegistersFrame.size()), 1000));
    Device->Drain();
    EXPECT_EQ(Pty.Read(ReadRegistersFrame.size(), 2000ms), ReadRegistersFrame);

    EXPECT_TRUE(Device->Write(nullptr, 0, 1000)) << "nothing to write";
    EXPECT_FALSE(Device->Write(ReadRegistersFrame.data(), -1, 1000));
    EXPECT_TRUE(Pty.Read(1, 50ms).empty()) << "neither put anything on the line";
}

TEST_F(SerialDeviceTest, WriteWaitsWhileTheLineTakesALargeBlock) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    // Far more than a pty buffers, so the write must wait for room repeatedly.
    TBytes Block(256 * 1024);
    for (std::size_t I = 0; I < Block.size(); ++I)
        Block[I] = static_cast<std::uint8_t>(I * 7 + I / 251);
    TBytes Received;
    std::thread Reader([&] { Received = Pty.Read(Block.size(), 10s); });
    EXPECT_TRUE(Device->Write(Block.data(), static_cast<std::int32_t>(Block.size()), 10000));
    Reader.join();
    EXPECT_TRUE(Received == Block) << "received " << Received.size() << " of " << Block.size() << " bytes";
}

TEST_F(SerialDeviceTest, WriteGivesUpWhenTheLineTakesNothingInTime) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    const TBytes Block(1024 * 1024, 0x55); // the master never reads: the pty fills up
    const auto Start = TClock::now();
    EXPECT_FALSE(Device->Write(Block.data(), static_cast<std::int32_t>(Block.size()), 50));
    const auto Elapsed = MsSince(Start);
    EXPECT_GE(Elapsed, 49);
    EXPECT_LT(Elapsed, 2000);
}

TEST_F(SerialDeviceTest, WaitReadableTimesOutNoEarlierThanAsked) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    TEvent Break(false);
    for (TEvent* B : {static_cast<TEvent*>(nullptr), &Break})
        for (std::uint32_t Timeout : {0u, 20u, 50u}) {
            const auto Start = TClock::now();
            EXPECT_EQ(Device->WaitReadable(Timeout, B), wrTimeout) << Timeout << " ms";
            const auto Elapsed = MsSince(Start);
            EXPECT_GE(Elapsed, static_cast<long long>(Timeout)) << Timeout << " ms";
            EXPECT_LT(Elapsed, static_cast<long long>(Timeout) + 500) << Timeout << " ms";
        }
}

TEST_F(SerialDeviceTest, WaitReadableWakesWhenAByteArrives) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    const auto Start = TClock::now();
    std::thread Peer([&] {
        std::this_thread::sleep_for(30ms);
        Pty.Write({0x42});
    });
    const TWaitResult Result = Device->WaitReadable(5000, nullptr);
    const auto Elapsed = MsSince(Start);
    Peer.join();
    EXPECT_EQ(Result, wrReadable);
    EXPECT_GE(Elapsed, 29);
    EXPECT_LT(Elapsed, 2000);
    std::uint8_t Byte = 0;
    EXPECT_EQ(Device->Read(&Byte, 1), 1);
    EXPECT_EQ(Byte, 0x42);
}

TEST_F(SerialDeviceTest, BreakWakesAnInfiniteWait) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    TEvent Break(false);
    const auto Start = TClock::now();
    std::thread Closer([&] {
        std::this_thread::sleep_for(50ms);
        Break.Set();
    });
    const TWaitResult Result = Device->WaitReadable(InfiniteTimeout, &Break);
    const auto Elapsed = MsSince(Start);
    Closer.join();
    EXPECT_EQ(Result, wrBreak);
    EXPECT_GE(Elapsed, 49);
    EXPECT_LT(Elapsed, 2000);
    EXPECT_EQ(Device->WaitReadable(20, &Break), wrTimeout) << "an auto-reset break is consumed";

    TEvent Held(true);
    Held.Set();
    EXPECT_EQ(Device->WaitReadable(1000, &Held), wrBreak);
    EXPECT_EQ(Device->WaitReadable(1000, &Held), wrBreak) << "a manual-reset break stays signalled";
    Held.Reset();
    EXPECT_EQ(Device->WaitReadable(20, &Held), wrTimeout);
}

TEST_F(SerialDeviceTest, BreakComesBeforeAReadablePort) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    Pty.Write({0x42});
    ASSERT_EQ(Device->WaitReadable(2000, nullptr), wrReadable);
    TEvent Break(false);
    Break.Set();
    EXPECT_EQ(Device->WaitReadable(1000, &Break), wrBreak);
    EXPECT_EQ(Device->WaitReadable(1000, &Break), wrReadable) << "the byte is still there";
}

TEST_F(SerialDeviceTest, AHungUpLineFailsAtOnce) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    TEvent Break(false);
    Pty.CloseMaster();
    // A slave whose master is gone reports POLLHUP constantly: every wait fails
    // at once, so the caller can pace itself.
    for (TEvent* B : {static_cast<TEvent*>(nullptr), &Break, static_cast<TEvent*>(nullptr)}) {
        const auto Start = TClock::now();
        EXPECT_EQ(Device->WaitReadable(2000, B), wrFailed);
        EXPECT_LT(MsSince(Start), 500);
    }
    const auto Start = TClock::now();
    std::uint8_t Byte;
    EXPECT_EQ(Device->Read(&Byte, 1), 0);
    EXPECT_FALSE(
        Device->Write(ReadRegistersFrame.data(), static_cast<std::int32_t>(ReadRegistersFrame.size()), 2000));
    Device->Drain();
    EXPECT_LT(MsSince(Start), 500) << "read, write and drain return at once";
}

TEST_F(SerialDeviceTest, PurgeDropsOnlyTheQueuesAskedFor) {
    auto Device = OpenConfigured();
    ASSERT_TRUE(Device);
    struct TCase {
        bool Receive;
        bool Transmit;
        bool InputDropped;
    };
    const TCase Cases[] = {
        {true, false, true}, {false, true, false}, {true, true, true}, {false, false, false}};
    for (const TCase& C : Cases) {
        const std::string Name = std::string("receive ") + (C.Receive ? "yes" : "no") + ", transmit " +
                                 (C.Transmit ? "yes" : "no");
        Pty.Write({0x11, 0x22, 0x33});
        ASSERT_EQ(Device->WaitReadable(2000, nullptr), wrReadable) << Name;
        Device->Purge(C.Receive, C.Transmit);
        if (C.InputDropped) {
            std::uint8_t Buffer[8];
            EXPECT_EQ(Device->Read(Buffer, sizeof Buffer), 0) << Name;
            EXPECT_EQ(Device->WaitReadable(20, nullptr), wrTimeout) << Name;
        } else {
            EXPECT_EQ(ReadFromDevice(*Device, 3), (TBytes{0x11, 0x22, 0x33})) << Name;
        }
    }
    Pty.Write({0x44});
    EXPECT_EQ(ReadFromDevice(*Device, 1), TBytes{0x44}) << "input after a purge arrives";
}

TEST_F(SerialDeviceTest, AHookedDescriptorStaysTheApplications) {
    const int Fd = Pty.SlaveFd();
    const int Flags = fcntl(Fd, F_GETFL);
    ASSERT_NE(Flags, -1);
    ASSERT_EQ(Flags & O_NONBLOCK, 0) << "the pair's own slave descriptor blocks";
    {
        auto Device = HookSerialDevice(Fd);
        ASSERT_TRUE(Device);
        EXPECT_EQ(Device->Handle(), Fd);
        EXPECT_TRUE(Device->SetTimeouts());
        EXPECT_TRUE(Device->SetEventMask());
        EXPECT_TRUE(Device->Configure(TLineSettings{}));
        EXPECT_TRUE(Device->Write(ReadRegistersFrame.data(),
                                  static_cast<std::int32_t>(ReadRegistersFrame.size()), 1000));
        EXPECT_EQ(Pty.Read(ReadRegistersFrame.size(), 2000ms), ReadRegistersFrame);
        std::uint8_t Byte;
        EXPECT_EQ(Device->Read(&Byte, 1), 0) << "a hooked descriptor does not block either";
    }
    EXPECT_EQ(fcntl(Fd, F_GETFL), Flags) << "still open, with its own flags back";

    auto Owned = OpenConfigured();
    ASSERT_TRUE(Owned);
    const int OwnedFd = Owned->Handle();
    EXPECT_NE(fcntl(OwnedFd, F_GETFD), -1);
    Owned.reset();
    errno = 0;
    EXPECT_EQ(fcntl(OwnedFd, F_GETFD), -1) << "an owned descriptor is closed with its device";
    EXPECT_EQ(errno, EBADF);
}

} // namespace
