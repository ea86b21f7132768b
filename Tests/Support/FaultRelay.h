// A serial line with faults: two pty pairs whose master ends are joined by a
// relay thread that reads whole frames and, drawn from a seeded generator,
// passes, drops, corrupts, splits, duplicates or delays each one, or puts a
// valid frame for another address in front of it. With Echo on, every frame
// from side A (the client) also comes straight back to A, as a two-wire
// adapter does. Every frame and what was done to it is recorded, so a test can
// tell which outcome each exchange must have had; the same seed replays the
// same faults.
//
// Frames are told apart the way receivers do: RTU by a short silence, ASCII
// from ':' to CR LF.
#pragma once

#include "Support/PtyPair.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace QuorvelTest {

class TFaultRelay {
public:
    using TBytes = std::vector<std::uint8_t>;
    using TClock = std::chrono::steady_clock;
    enum TDirection { dirAtoB, dirBtoA };
    enum TFault {
        fPass,       // delivered as it came
        fDrop,       // never delivered
        fCorrupt,    // one byte changed (RTU: bits flipped; ASCII: another hex digit)
        fSplitShort, // delivered in two parts with a gap well inside the silent interval
        fSplitLong,  // delivered in two parts with a gap beyond it; neither part is a valid frame
        fDuplicate,  // delivered twice, back to back
        fDelay,      // delivered late, well within a reply timeout
        fForeign,    // a valid frame for another address first, then (after a pause) the frame
    };
    static constexpr int FaultCount = fForeign + 1;
    static const char* FaultName(TFault F) {
        static const char* Names[] = {"pass",       "drop",      "corrupt", "split-short",
                                      "split-long", "duplicate", "delay",   "foreign"};
        return Names[F];
    }

    struct TOptions {
        std::uint64_t Seed = 1;
        bool Ascii = false;
        bool Echo = false;
        double FaultRate = 0.2;       // share of frames that get a fault other than fPass
        std::uint32_t SilenceMs = 16; // the receivers' frame-ending silence (RTU) or character gap (ASCII)
        std::uint32_t MaxDelayMs = 25;
    };

    // One frame the relay read, and what it did with it.
    struct TRecord {
        TDirection Direction;
        std::uint64_t Query = 0; // A to B: this frame's number (from 1); B to A: the last query's number
        TFault Fault = fPass;
        TBytes Frame;
        TClock::time_point FirstByte;        // when its first byte reached the relay
        TClock::time_point Received;         // when the relay had it whole
        TClock::time_point FirstDelivered{}; // when its first part was written (none when dropped)
        TClock::time_point Delivered{};      // when its last part was written (none when dropped)
        std::chrono::microseconds Gap{0};    // for splits: the silence the receiver really saw at most
        bool Injected = false;               // a frame of the relay's own making (foreign or echo)
        bool Echo = false;                   // the echo of a query
        std::size_t Companion = SIZE_MAX;    // a foreign frame: the record of the frame it came before
    };

    explicit TFaultRelay(const TOptions& Options) : FOptions(Options), FRandom(Options.Seed) {
        FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (FWake == -1)
            throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
        FThread = std::thread([this] { Run(); });
    }

    ~TFaultRelay() {
        FStop.store(true);
        const std::uint64_t One = 1;
        // Cannot fail for an eventfd counter this far from its limit.
        (void)::write(FWake, &One, sizeof One);
        FThread.join();
        (void)::close(FWake);
    }

    TFaultRelay(const TFaultRelay&) = delete;
    TFaultRelay& operator=(const TFaultRelay&) = delete;

    const std::string& SlavePathA() const noexcept { return FA.SlavePath(); }
    const std::string& SlavePathB() const noexcept { return FB.SlavePath(); }

    // From now on every frame passes (or gets faults again).
    void SetFaultRate(double Rate) {
        std::lock_guard Lock(FLock);
        FOptions.FaultRate = Rate;
    }
    std::vector<TRecord> Records() {
        std::lock_guard Lock(FLock);
        return FRecords;
    }
    std::string Error() {
        std::lock_guard Lock(FLock);
        return FError;
    }

    // The error checks the relay judges its own fragments and injections with.
    static std::uint16_t Crc16(const std::uint8_t* Data, std::size_t Count) {
        std::uint16_t Crc = 0xFFFF;
        for (std::size_t I = 0; I < Count; ++I) {
            Crc ^= Data[I];
            for (int Bit = 0; Bit < 8; ++Bit)
                Crc = (Crc & 1) ? static_cast<std::uint16_t>((Crc >> 1) ^ 0xA001)
                                : static_cast<std::uint16_t>(Crc >> 1);
        }
        return Crc;
    }
    static bool ValidRtu(const TBytes& F) {
        return F.size() >= 4 && Crc16(F.data(), F.size() - 2) == (F[F.size() - 2] | F[F.size() - 1] << 8);
    }

private:
    struct TPiece {
        TClock::time_point Due;
        TBytes Bytes;
        std::size_t Record = SIZE_MAX; // the record whose delivery this piece is part of
        bool Last = false;             // the record's last piece
        bool SecondHalf = false;       // the second part of a split: its gap is measured
    };
    struct TLane {
        int From = -1;
        int To = -1;
        TDirection Direction;
        TBytes Assembling;
        TClock::time_point FirstByte{};
        TClock::time_point LastByte{};
        std::deque<TPiece> Out;
        TClock::time_point LastWriteEnd{};
    };

    static constexpr auto RtuQuiet = std::chrono::milliseconds(4);

    void Run() {
        FLanes[0].From = FA.MasterFd();
        FLanes[0].To = FB.MasterFd();
        FLanes[0].Direction = dirAtoB;
        FLanes[1].From = FB.MasterFd();
        FLanes[1].To = FA.MasterFd();
        FLanes[1].Direction = dirBtoA;
        while (!FStop.load()) {
            const auto Now = TClock::now();
            auto Next = Now + std::chrono::milliseconds(100);
            for (auto& L : FLanes) {
                if (!L.Out.empty())
                    Next = std::min(Next, L.Out.front().Due);
                if (!FOptions.Ascii && !L.Assembling.empty())
                    Next = std::min(Next, L.LastByte + RtuQuiet);
            }
            const auto Wait = std::chrono::duration_cast<std::chrono::microseconds>(Next - Now);
            timespec Ts{};
            if (Wait.count() > 0) {
                Ts.tv_sec = static_cast<time_t>(Wait.count() / 1000000);
                Ts.tv_nsec = static_cast<long>(Wait.count() % 1000000) * 1000;
            }
            std::array<pollfd, 3> Fds{
                {{FWake, POLLIN, 0}, {FLanes[0].From, POLLIN, 0}, {FLanes[1].From, POLLIN, 0}}};
            if (ppoll(Fds.data(), Fds.size(), &Ts, nullptr) < 0 && errno != EINTR)
                return Fail("ppoll");
            for (std::size_t I = 0; I < 2; ++I) {
                if ((Fds[I + 1].revents & POLLIN) != 0 && !ReadLane(FLanes[I]))
                    return;
            }
            const auto After = TClock::now();
            for (auto& L : FLanes) {
                if (!FOptions.Ascii && !L.Assembling.empty() && After - L.LastByte >= RtuQuiet) {
                    TBytes Frame;
                    Frame.swap(L.Assembling);
                    Plan(L, std::move(Frame));
                }
            }
            for (auto& L : FLanes) {
                while (!L.Out.empty() && L.Out.front().Due <= TClock::now()) {
                    if (!WritePiece(L, L.Out.front()))
                        return;
                    L.Out.pop_front();
                }
            }
        }
    }

    bool ReadLane(TLane& L) {
        std::uint8_t Chunk[512];
        const ssize_t N = ::read(L.From, Chunk, sizeof Chunk);
        if (N < 0 && (errno == EAGAIN || errno == EINTR || errno == EIO))
            return true; // EIO: the slave is not open just now
        if (N <= 0)
            return Fail("read from pty master"), false;
        L.LastByte = TClock::now();
        for (ssize_t I = 0; I < N; ++I) {
            if (L.Assembling.empty())
                L.FirstByte = L.LastByte;
            L.Assembling.push_back(Chunk[I]);
            // ASCII: a frame ends with its LF; whatever precedes a ':' is line noise kept with it.
            if (FOptions.Ascii && Chunk[I] == '\n') {
                TBytes Frame;
                Frame.swap(L.Assembling);
                Plan(L, std::move(Frame));
            }
        }
        return true;
    }

    double Uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(FRandom); }
    std::size_t Below(std::size_t N) { return std::uniform_int_distribution<std::size_t>(0, N - 1)(FRandom); }

    // Decides what happens to a frame and queues its delivery.
    void Plan(TLane& L, TBytes Frame) {
        std::lock_guard Lock(FLock);
        const auto Now = TClock::now();
        TRecord R;
        R.Direction = L.Direction;
        R.FirstByte = L.FirstByte;
        R.Received = Now;
        if (L.Direction == dirAtoB)
            R.Query = ++FQueries;
        else
            R.Query = FQueries;
        R.Fault = fPass;
        if (Uniform() < FOptions.FaultRate)
            R.Fault = static_cast<TFault>(1 + Below(FaultCount - 1));
        // ASCII receivers end a frame at its LF, so a duplicated query could be
        // answered twice; duplicates of ASCII queries are left out.
        if (R.Fault == fDuplicate && FOptions.Ascii && L.Direction == dirAtoB)
            R.Fault = fPass;
        const bool Framed = FOptions.Ascii ? Frame.size() >= 9 && Frame[0] == ':' : ValidRtu(Frame);
        if (!Framed && R.Fault != fDrop)
            R.Fault = fPass; // line noise (a query cut by the sender, say) goes on as it is
        R.Frame = Frame;
        const std::size_t Index = FRecords.size();
        FRecords.push_back(R);

        if (FOptions.Echo && L.Direction == dirAtoB) {
            TRecord E;
            E.Direction = dirBtoA;
            E.Query = R.Query;
            E.Injected = true;
            E.Echo = true;
            E.FirstByte = Now;
            E.Received = Now;
            E.Frame = Frame;
            FRecords.push_back(E);
            Queue(FLanes[1], {Now, Frame, FRecords.size() - 1, true, false});
        }

        const auto Silence = std::chrono::milliseconds(FOptions.SilenceMs);
        switch (R.Fault) {
        case fPass:
            Queue(L, {Now, Frame, Index, true, false});
            break;
        case fDrop:
            break;
        case fCorrupt:
            Queue(L, {Now, Corrupted(Frame), Index, true, false});
            break;
        case fSplitShort: {
            const std::size_t Cut = 1 + Below(Frame.size() - 1);
            Queue(L, {Now, TBytes(Frame.begin(), Frame.begin() + Cut), Index, false, false});
            Queue(L, {Now + std::chrono::milliseconds(1), TBytes(Frame.begin() + Cut, Frame.end()), Index,
                      true, true});
            break;
        }
        case fSplitLong: {
            std::size_t Cut = 1 + Below(Frame.size() - 1);
            // Neither part may be a frame of its own (for RTU a CRC can match by chance).
            for (int Try = 0; Try < 100 && !FOptions.Ascii; ++Try) {
                if (!ValidRtu(TBytes(Frame.begin(), Frame.begin() + Cut)) &&
                    !ValidRtu(TBytes(Frame.begin() + Cut, Frame.end())))
                    break;
                Cut = 1 + Below(Frame.size() - 1);
            }
            Queue(L, {Now, TBytes(Frame.begin(), Frame.begin() + Cut), Index, false, false});
            Queue(L, {Now + Silence + std::chrono::milliseconds(30), TBytes(Frame.begin() + Cut, Frame.end()),
                      Index, true, true});
            break;
        }
        case fDuplicate: {
            TBytes Twice = Frame;
            Twice.insert(Twice.end(), Frame.begin(), Frame.end());
            if (!FOptions.Ascii && ValidRtu(Twice)) {
                FRecords[Index].Fault = fPass; // would read as one valid frame: not the fault meant
                Twice = Frame;
            }
            Queue(L, {Now, Twice, Index, true, false});
            break;
        }
        case fDelay: {
            const auto Delay = std::chrono::milliseconds(5 + Below(FOptions.MaxDelayMs));
            Queue(L, {Now + Delay, Frame, Index, true, false});
            break;
        }
        case fForeign: {
            TRecord F;
            F.Direction = L.Direction;
            F.Query = R.Query;
            F.Fault = fPass;
            F.Injected = true;
            F.Companion = Index;
            F.FirstByte = Now;
            F.Received = Now;
            F.Frame = Foreign(Frame);
            FRecords.push_back(F);
            Queue(L, {Now, F.Frame, FRecords.size() - 1, true, false});
            Queue(L, {Now + Silence + std::chrono::milliseconds(20), Frame, Index, true, false});
            break;
        }
        }
    }

    // Inserts by due time, after pieces due at the same time (so parts keep their order).
    static void Queue(TLane& L, TPiece P) {
        auto It = std::find_if(L.Out.begin(), L.Out.end(), [&](const TPiece& Q) { return Q.Due > P.Due; });
        L.Out.insert(It, std::move(P));
    }

    TBytes Corrupted(TBytes F) {
        if (FOptions.Ascii) {
            // Another upper-case hex digit: the frame still reads as hex, and its LRC fails.
            static const char Digits[] = "0123456789ABCDEF";
            const std::size_t Pos = 1 + Below(F.size() - 3);
            char New;
            do
                New = Digits[Below(16)];
            while (New == static_cast<char>(F[Pos]));
            F[Pos] = static_cast<std::uint8_t>(New);
        } else {
            F[Below(F.size())] ^= static_cast<std::uint8_t>(1 + Below(255));
        }
        return F;
    }

    // The same frame from (or to) another address, with its own valid check.
    TBytes Foreign(const TBytes& F) {
        if (FOptions.Ascii) {
            std::vector<std::uint8_t> Bin;
            for (std::size_t I = 1; I + 3 < F.size(); I += 2)
                Bin.push_back(static_cast<std::uint8_t>(Hex(F[I]) << 4 | Hex(F[I + 1])));
            if (Bin.empty())
                return F;
            Bin[0] = OtherAddress(Bin[0]);
            std::uint8_t Sum = 0;
            for (std::size_t I = 0; I + 1 < Bin.size(); ++I)
                Sum = static_cast<std::uint8_t>(Sum + Bin[I]);
            Bin.back() = static_cast<std::uint8_t>(-Sum);
            static const char Digits[] = "0123456789ABCDEF";
            TBytes Out{':'};
            for (auto B : Bin) {
                Out.push_back(static_cast<std::uint8_t>(Digits[B >> 4]));
                Out.push_back(static_cast<std::uint8_t>(Digits[B & 15]));
            }
            Out.push_back('\r');
            Out.push_back('\n');
            return Out;
        }
        TBytes Out = F;
        Out[0] = OtherAddress(Out[0]);
        const std::uint16_t Crc = Crc16(Out.data(), Out.size() - 2);
        Out[Out.size() - 2] = static_cast<std::uint8_t>(Crc & 0xFF);
        Out[Out.size() - 1] = static_cast<std::uint8_t>(Crc >> 8);
        return Out;
    }
    std::uint8_t OtherAddress(std::uint8_t A) {
        std::uint8_t B;
        do
            B = static_cast<std::uint8_t>(1 + Below(247));
        while (B == A);
        return B;
    }
    static int Hex(std::uint8_t C) { return C <= '9' ? C - '0' : C - 'A' + 10; }

    bool WritePiece(TLane& L, const TPiece& P) {
        const auto Start = TClock::now();
        std::size_t Done = 0;
        while (Done < P.Bytes.size()) {
            const ssize_t N = ::write(L.To, P.Bytes.data() + Done, P.Bytes.size() - Done);
            if (N > 0) {
                Done += static_cast<std::size_t>(N);
            } else if (N < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd Fd{L.To, POLLOUT, 0};
                if (poll(&Fd, 1, 1000) <= 0)
                    return Fail("pty master does not take bytes"), false;
            } else {
                return Fail("write to pty master"), false;
            }
        }
        const auto End = TClock::now();
        if (P.Record != SIZE_MAX) {
            std::lock_guard Lock(FLock);
            auto& R = FRecords[P.Record];
            if (P.SecondHalf)
                R.Gap = std::chrono::duration_cast<std::chrono::microseconds>(Start - L.LastWriteEnd);
            if (R.FirstDelivered == TClock::time_point{})
                R.FirstDelivered = Start;
            if (P.Last)
                R.Delivered = End;
        }
        L.LastWriteEnd = End;
        return true;
    }

    void Fail(const char* What) {
        std::lock_guard Lock(FLock);
        FError = std::string(What) + ": " + std::strerror(errno);
    }

    TPtyPair FA;
    TPtyPair FB;
    std::mutex FLock; // FOptions.FaultRate, FRecords, FError
    TOptions FOptions;
    std::mt19937_64 FRandom;
    std::array<TLane, 2> FLanes;
    std::vector<TRecord> FRecords;
    std::uint64_t FQueries = 0;
    std::string FError;
    std::atomic<bool> FStop{false};
    int FWake = -1;
    std::thread FThread;
};

} // namespace QuorvelTest
