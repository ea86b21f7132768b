// A client-mode connection on one end of a pty pair, with the test as the
// scripted server on the other end: it reads each query and answers with
// chosen bytes, gaps and delays.
#pragma once

#include <Quorvel.h>

#include "Support/PtyPair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace QuorvelTest {

using TBytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Pumps the main-thread queue until Done() holds or Timeout passes.
inline bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout = 3000ms) {
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= Deadline)
            return false;
        Quorvel::WaitForMessages(10);
        Quorvel::ProcessMessages();
    }
    return true;
}

// Pumps for a while, handling whatever arrives.
inline void PumpFor(std::chrono::milliseconds Duration) {
    const auto Deadline = std::chrono::steady_clock::now() + Duration;
    while (std::chrono::steady_clock::now() < Deadline) {
        Quorvel::WaitForMessages(5);
        Quorvel::ProcessMessages();
    }
}

// An RTU frame: Body plus its CRC-16, low byte first.
inline TBytes RtuFrame(const TBytes& Body) {
    Quorvel::TModbusBuffer B(256);
    B.PutBlock(Body.data(), static_cast<std::int32_t>(Body.size()));
    B.PutWordLoHi(B.CRC16());
    return TBytes(B.StartPtr(), B.StartPtr() + B.Size());
}

class ClientOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        Connection.SetPort(Pty.SlavePath());
        Connection.SetReceiveTimeout(500);
        Connection.SetTurnaroundDelay(0);
        Client.SetConnection(&Connection);
        Client.SetServerAddress(1);
        Connection.OnFrameSend = [this](Quorvel::TComponent*, const Quorvel::TFrameData& D) {
            Log.push_back("send " + Hex(D));
        };
        Connection.OnFrameReceive = [this](Quorvel::TComponent*, const Quorvel::TFrameData& D) {
            Log.push_back("receive " + Hex(D));
        };
        Client.OnTransactionProcessed = [this](Quorvel::TComponent*, const Quorvel::TTransactionInfo& Info,
                                               std::uint8_t Command, bool Custom) {
            Done.push_back(Info);
            Log.push_back("processed " + std::to_string(Command) + (Custom ? " custom" : ""));
        };
    }

    void TearDown() override {
        Connection.Close();
        PumpFor(20ms); // release what was posted before the close
    }

    static std::string Hex(const TBytes& Bytes) {
        static const char* Digits = "0123456789ABCDEF";
        std::string S;
        for (auto B : Bytes) {
            if (!S.empty())
                S += ' ';
            S += Digits[B >> 4];
            S += Digits[B & 15];
        }
        return S;
    }

    // The next query the library wrote (an RTU frame ends with a short silence).
    TBytes Query(std::chrono::milliseconds Timeout = 2000ms) {
        TBytes Q = Pty.Read(1, Timeout);
        if (Q.empty())
            return Q;
        TBytes Rest = Pty.ReadUntilQuiet(10ms);
        Q.insert(Q.end(), Rest.begin(), Rest.end());
        return Q;
    }

    void Answer(const TBytes& Body) { Pty.Write(RtuFrame(Body)); }

    // Pumps until the N-th completion has arrived.
    bool AwaitCompletions(std::size_t N, std::chrono::milliseconds Timeout = 3000ms) {
        return PumpUntil([&] { return Done.size() >= N; }, Timeout);
    }

    TPtyPair Pty;
    Quorvel::TModbusConnection Connection;
    Quorvel::TModbusClient Client;
    std::vector<Quorvel::TTransactionInfo> Done;
    std::vector<std::string> Log;
};

} // namespace QuorvelTest
