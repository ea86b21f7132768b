// Serial line I/O of TModbusConnection: opening and configuring the port, the
// real silent interval, and the line primitives the worker thread builds its
// exchanges from.

#include "ModbusConnection.h"

#include "QuorvelErrors.h"
#include "detail/Event.h"
#include "detail/SerialDevice.h"
#include "detail/TransactionThread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

namespace Quorvel {

namespace {

constexpr std::uint32_t MinRealSilentInterval = 16;
constexpr std::uint32_t MinFrameTime = 500;

using TClock = std::chrono::steady_clock;
constexpr TClock::time_point Never = TClock::time_point::max(); // a deadline that does not apply

constexpr std::uint32_t BaudRateValue[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                           19200, 38400, 56000, 57600, 115200, 128000, 256000};

void SleepMs(std::uint32_t Ms) {
    if (Ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

} // namespace

void TModbusConnection::OpenPort() {
    std::unique_ptr<detail::TSerialDevice> Device;
    if (FHookExistingPort)
        Device = detail::HookSerialDevice(DoGetHookedPortHandle());
    else if (FDeviceFactory)
        Device = FDeviceFactory(FPort);
    else
        Device = detail::OpenSerialDevice(FPort);
    if (!Device)
        throw EQuorvelError(qmOpenPortFailed);
    FDevice = std::move(Device);
    try {
        if (!FDevice->SetupBuffers(FInputBufferSize, FOutputBufferSize))
            throw EQuorvelError(qmInitIOBuffersFailed);
        if (!FDevice->SetTimeouts())
            throw EQuorvelError(qmInitCommTimeoutsFailed);
        if (!FDevice->SetEventMask())
            throw EQuorvelError(qmInitEventMaskFailed);
        UpdateDeviceControlBlock();
        UpdateRealSilentInterval();
        // Whatever arrived before the port was ours is stale. Purged here, before
        // the worker starts, so that nothing that arrives once Open has returned
        // (a client's first request to a new server) is thrown away.
        PurgeLine(true, true);
        // A break signalled after the last close must not end the new thread's first wait.
        FBreakEvent->Reset();
        FThread = std::make_unique<detail::TTransactionThread>(*this);
    } catch (...) {
        ClosePort();
        throw;
    }
}

void TModbusConnection::ClosePort() {
    // The thread's destructor stops it and waits: a client transaction on the
    // line finishes its attempts first.
    FThread.reset();
    // An owned device closes its descriptor; a hooked one leaves it open.
    FDevice.reset();
}

void TModbusConnection::UpdateDeviceControlBlock() {
    if (!FDevice)
        return;
    detail::TLineSettings S;
    S.BaudRate = FBaudRate == brCustom ? FCustomBaudRate : BaudRateValue[FBaudRate];
    S.DataBits = FDataBits == db7 ? 7 : 8;
    S.Parity = FParity;
    S.StopBits = FStopBits;
    S.FlowControl = FFlowControl;
    // With RTS toggling, RTS is raised only around a write; with RTS/CTS the driver owns it.
    S.RTSRaised = FRTSEnabled && (FFlowControl == fcNone || FFlowControl == fcDtrDsr);
    S.DTRRaised = FDTREnabled && FFlowControl != fcDtrDsr;
    if (!FDevice->Configure(S))
        throw EQuorvelError(qmUpdateDeviceControlBlockFailed);
}

void TModbusConnection::UpdateRealSilentInterval() {
    std::uint32_t Interval;
    // Character times to milliseconds; the start bit is not counted.
    const std::uint32_t Bits =
        (FDataBits == db7 ? 7u : 8u) + (FParity != psNone ? 1u : 0u) + (FStopBits == sb1 ? 1u : 2u);
    const std::uint32_t Baud = FBaudRate == brCustom ? FCustomBaudRate : BaudRateValue[FBaudRate];
    if (FTransmissionMode == tmASCII) {
        Interval = FSilentInterval;
    } else {
        const std::uint32_t Product = Bits * FSilentInterval * 1000u; // fits: SilentInterval is bounded
        Interval = static_cast<std::uint32_t>(std::ceil(static_cast<double>(Product) / Baud));
    }
    if (Interval < MinRealSilentInterval)
        Interval = MinRealSilentInterval;
    // Bytes that keep coming for longer than twice the longest frame takes at
    // this rate, plus a few silent intervals, are no frame (a babbling device,
    // noise at another rate): the receive ends then, so that neither the worker
    // nor a close waits for them for ever.
    const double LongestFrame = 1000.0 * InterimBufferSize() * (Bits + 1) / Baud;
    const double Limit = 2 * LongestFrame + 4.0 * Interval;
    const std::uint32_t FrameTime =
        Limit > 3.6e6 ? 3600000u : std::max(MinFrameTime, static_cast<std::uint32_t>(std::ceil(Limit)));
    std::unique_lock Lock(FLock);
    FRealSilentInterval = Interval;
    FMaxFrameTime = FrameTime;
}

void TModbusConnection::PurgeLine(bool Receive, bool Transmit) {
    if (Receive)
        FReceiveCarry.clear();
    if (Receive || Transmit)
        FDevice->Purge(Receive, Transmit);
}

void TModbusConnection::ResetCommEvents() {
    // Every wait on the port is a poll() made and finished by the worker thread
    // itself, so no wait is ever left pending to cancel here; a wait that must
    // end early is woken through the break event instead.
}

bool TModbusConnection::WriteFrame(const std::uint8_t* Data, std::int32_t Count, std::uint32_t Timeout) {
    DoBeforeFrameSendAsync();
    FDevice->ClearErrors();
    const bool Toggle = FFlowControl == fcRtsToggle;
    if (Toggle)
        FDevice->SetRTS(true);
    const bool Result = FDevice->Write(Data, Count, Timeout);
    // RS-485 converters switch back to receive when RTS drops: only once every
    // byte has left the port, plus the hold delay.
    FDevice->Drain();
    if (Toggle) {
        SleepMs(RTSHoldDelay());
        FDevice->SetRTS(false);
    }
    FDevice->ClearErrors();
    DoAfterFrameSendAsync();
    return Result;
}

std::int32_t TModbusConnection::ReadAvailable(std::uint8_t* Dest, std::int32_t Max) {
    FDevice->ClearErrors();
    const std::int32_t Count = Max > 0 ? FDevice->Read(Dest, Max) : 0;
    FDevice->ClearErrors();
    return Count;
}

bool TModbusConnection::WaitForReceivedChar(std::uint32_t Timeout) {
    ResetCommEvents();
    // A wait without limit ends on the close signal as well, in either mode, so
    // that closing never waits for a byte that may not come.
    detail::TEvent* Break = Timeout == detail::InfiniteTimeout ? FBreakEvent.get() : nullptr;
    const detail::TWaitResult R = FDevice->WaitReadable(Timeout, Break);
    return R == detail::wrReadable;
}

std::int32_t TModbusConnection::ReceiveFrame(std::uint8_t* Dest, std::int32_t Max, std::uint32_t Timeout) {
    std::uint32_t Silence, FrameTime;
    {
        std::shared_lock Lock(FLock);
        Silence = FRealSilentInterval;
        FrameTime = FMaxFrameTime;
    }
    return FTransmissionMode == tmRTU ? ReceiveFrameRTU(Dest, Max, Timeout, Silence, FrameTime)
                                      : ReceiveFrameASCII(Dest, Max, Timeout, Silence, FrameTime);
}

std::int32_t TModbusConnection::ReceiveFrameRTU(std::uint8_t* Dest, std::int32_t Max, std::uint32_t Timeout,
                                                std::uint32_t Silence, std::uint32_t FrameTime) {
    // An RTU frame ends when the line stays silent for the real silent interval;
    // nothing in the bytes is looked at.
    if (Timeout == 0)
        return 0;
    FReceiveCarry.clear(); // ASCII bytes left from before a change of mode
    FDevice->ClearErrors();
    if (!WaitForReceivedChar(Timeout))
        return 0;
    std::int32_t N = ReadAvailable(Dest, Max);
    if (N == 0)
        return 0;
    const auto Deadline = TClock::now() + std::chrono::milliseconds(FrameTime);
    while (TClock::now() < Deadline && WaitForReceivedChar(Silence)) {
        // Once Dest is full, the rest of an overlong frame is read and dropped
        // until the line is silent: left in the port it would keep the wait
        // awake and then pose as the start of the next frame.
        std::uint8_t Overflow[64];
        const std::int32_t Got =
            N < Max ? ReadAvailable(Dest + N, Max - N) : ReadAvailable(Overflow, sizeof Overflow);
        if (Got <= 0)
            break;
        if (N < Max)
            N += Got;
    }
    return N;
}

namespace {

// Receive states of an ASCII frame.
// asAbandoned: CR followed by another byte; the frame so far is returned as it is.
enum TAsciiState { asWaitColon, asInFrame, asCRSeen, asComplete, asAbandoned };

} // namespace

std::int32_t TModbusConnection::ReceiveFrameASCII(std::uint8_t* Dest, std::int32_t Max, std::uint32_t Timeout,
                                                  std::uint32_t Silence, std::uint32_t FrameTime) {
    // An ASCII frame runs from ':' to CR LF. Bytes before the first ':' are
    // skipped; every ':' restarts the frame; inside it each gap may last at most
    // the silent interval. A frame cut short is returned as it is and fails
    // decoding. A frame lasts at most FrameTime from its first ':'; bytes that
    // never bring one end a limited wait FrameTime after its timeout.
    if (Timeout == 0)
        return 0;
    FDevice->ClearErrors();
    TAsciiState State = asWaitColon;
    std::int32_t N = 0;
    const auto WaitDeadline =
        Timeout == detail::InfiniteTimeout
            ? Never
            : TClock::now() + std::chrono::milliseconds(std::uint64_t{Timeout} + FrameTime);
    auto FrameDeadline = Never;
    auto InTime = [](TClock::time_point Deadline) { return Deadline == Never || TClock::now() < Deadline; };

    // Bytes carried over from the last receive come first, then the port's.
    auto Pending = [&](std::uint32_t Wait) { return !FReceiveCarry.empty() || WaitForReceivedChar(Wait); };
    // Reads at Dest + N and walks what came; false when the read brought nothing.
    // Whatever follows the LF (a reply right behind its echo) is kept for the
    // next receive.
    auto ScanChunk = [&]() -> bool {
        std::uint8_t* Chunk = Dest + N;
        std::int32_t Got;
        if (!FReceiveCarry.empty()) {
            Got = std::min<std::int32_t>(static_cast<std::int32_t>(FReceiveCarry.size()), Max - N);
            std::memcpy(Chunk, FReceiveCarry.data(), static_cast<std::size_t>(Got));
            FReceiveCarry.erase(FReceiveCarry.begin(), FReceiveCarry.begin() + Got);
        } else {
            Got = ReadAvailable(Chunk, Max - N);
        }
        if (Got <= 0)
            return false;
        std::int32_t FrameStart = -1;
        std::int32_t K = 0;
        std::int32_t I = 0;
        for (; I < Got && State != asComplete && State != asAbandoned; ++I) {
            const std::uint8_t Ch = Chunk[I];
            if (Ch == ':') {
                State = asInFrame;
                FrameStart = I;
                K = 1;
                if (FrameDeadline == Never) // a later ':' restarts the frame, not its time
                    FrameDeadline = TClock::now() + std::chrono::milliseconds(FrameTime);
            } else if (State == asInFrame) {
                ++K;
                if (Ch == '\r')
                    State = asCRSeen;
            } else if (State == asCRSeen) {
                if (Ch == '\n') {
                    ++K;
                    State = asComplete;
                } else {
                    State = asAbandoned; // that byte is dropped, what follows it kept
                }
            }
        }
        if (I < Got)
            FReceiveCarry.insert(FReceiveCarry.begin(), Chunk + I, Chunk + Got);
        if (FrameStart >= 0) {
            std::memmove(Dest, Chunk + FrameStart, static_cast<std::size_t>(K));
            N = K;
        } else {
            N += K;
        }
        return true;
    };

    while (State == asWaitColon && InTime(WaitDeadline) && Pending(Timeout)) {
        if (!ScanChunk())
            break;
    }
    while ((State == asInFrame || State == asCRSeen) && InTime(FrameDeadline) &&
           Pending(Silence)) {
        if (!ScanChunk())
            break;
    }
    return N;
}

} // namespace Quorvel
