// A serial device that passes everything to a real one and records the calls
// whose effect a pty cannot show (modem lines) and their order and timing.
#pragma once

#include <detail/SerialDevice.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace QuorvelTest {

struct TDeviceCall {
    std::string What; // "RTS 1", "DTR 0", "write", "drain", "configure", "purge", "closed"
    std::chrono::steady_clock::time_point When;
    Quorvel::detail::TLineSettings Settings; // for "configure"
};

// Shared by the test and the device, so the record survives the device's close.
struct TDeviceLog {
    std::mutex Lock;
    std::vector<TDeviceCall> Calls;

    void Add(std::string What, const Quorvel::detail::TLineSettings& Settings = {}) {
        std::lock_guard L(Lock);
        Calls.push_back({std::move(What), std::chrono::steady_clock::now(), Settings});
    }
    std::vector<std::string> Names() {
        std::lock_guard L(Lock);
        std::vector<std::string> Result;
        for (const auto& C : Calls)
            Result.push_back(C.What);
        return Result;
    }
    std::vector<TDeviceCall> Snapshot() {
        std::lock_guard L(Lock);
        return Calls;
    }
    // Waits until What has been recorded; false after Timeout.
    bool WaitFor(const std::string& What,
                 std::chrono::milliseconds Timeout = std::chrono::milliseconds(2000)) {
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        while (std::chrono::steady_clock::now() < Deadline) {
            for (const auto& Name : Names())
                if (Name == What)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    void Clear() {
        std::lock_guard L(Lock);
        Calls.clear();
    }
};

class TRecordingDevice : public Quorvel::detail::TSerialDevice {
public:
    TRecordingDevice(std::unique_ptr<Quorvel::detail::TSerialDevice> AInner, std::shared_ptr<TDeviceLog> ALog)
        : FInner(std::move(AInner)), FLog(std::move(ALog)) {}
    ~TRecordingDevice() override { FLog->Add("closed"); }

    int Handle() const noexcept override { return FInner->Handle(); }
    bool SetupBuffers(std::int32_t In, std::int32_t Out) override { return FInner->SetupBuffers(In, Out); }
    bool SetTimeouts() override { return FInner->SetTimeouts(); }
    bool SetEventMask() override { return FInner->SetEventMask(); }
    bool Configure(const Quorvel::detail::TLineSettings& S) override {
        FLog->Add("configure", S);
        return FInner->Configure(S);
    }
    void SetRTS(bool Raised) override {
        FLog->Add(Raised ? "RTS 1" : "RTS 0");
        FInner->SetRTS(Raised);
    }
    void SetDTR(bool Raised) override {
        FLog->Add(Raised ? "DTR 1" : "DTR 0");
        FInner->SetDTR(Raised);
    }
    void Purge(bool Rx, bool Tx) override {
        FInner->Purge(Rx, Tx);
        FLog->Add("purge");
    }
    void ClearErrors() override { FInner->ClearErrors(); }
    std::int32_t Read(std::uint8_t* Dest, std::int32_t Max) override { return FInner->Read(Dest, Max); }
    bool Write(const std::uint8_t* Data, std::int32_t Count, std::uint32_t TimeoutMs) override {
        FLog->Add("write");
        return FInner->Write(Data, Count, TimeoutMs);
    }
    void Drain() override {
        FInner->Drain();
        FLog->Add("drain");
    }
    Quorvel::detail::TWaitResult WaitReadable(std::uint32_t TimeoutMs,
                                              Quorvel::detail::TEvent* Break) override {
        return FInner->WaitReadable(TimeoutMs, Break);
    }

private:
    std::unique_ptr<Quorvel::detail::TSerialDevice> FInner;
    std::shared_ptr<TDeviceLog> FLog;
};

} // namespace QuorvelTest
