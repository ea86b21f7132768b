// Frame path benchmarks: the error checks and the encoding and decoding of one
// frame (read 10 holding registers: its query and its 25-byte reply) in RTU and
// in ASCII.

#include <Quorvel.h>

#include "detail/ConnectionAccess.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using namespace Quorvel;
using A = detail::TConnectionAccess;

// The reply to "read holding registers 0..9": address, function, byte count, data.
void PutReplyBody(TModbusBuffer& B) {
    B.PutByte(1);
    B.PutByte(3);
    B.PutByte(20);
    for (int i = 0; i < 10; ++i)
        B.PutWordHiLo(static_cast<std::uint16_t>(1000 + i));
}

void BM_Crc16(benchmark::State& State) {
    TModbusBuffer B(260);
    PutReplyBody(B);
    for (auto _ : State)
        benchmark::DoNotOptimize(B.CRC16());
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * B.Size());
}
BENCHMARK(BM_Crc16);

void BM_Lrc(benchmark::State& State) {
    TModbusBuffer B(260);
    PutReplyBody(B);
    for (auto _ : State)
        benchmark::DoNotOptimize(B.LRC8());
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * B.Size());
}
BENCHMARK(BM_Lrc);

// A connection used for its framing only: it is never opened.
TModbusConnection& Framer(TTransmissionMode Mode) {
    static TModbusConnection Rtu;
    static TModbusConnection Ascii;
    Ascii.SetTransmissionMode(tmASCII);
    return Mode == tmRTU ? Rtu : Ascii;
}

void BM_Encode(benchmark::State& State) {
    const auto Mode = static_cast<TTransmissionMode>(State.range(0));
    auto& C = Framer(Mode);
    TModbusBuffer B(A::FrameCapacity(C));
    PutReplyBody(B);
    C.EmitErrorCheck(B);
    std::vector<std::uint8_t> Out(static_cast<std::size_t>(A::InterimBufferSize(C)));
    for (auto _ : State) {
        benchmark::DoNotOptimize(A::EncodeFrame(C, B, Out.data(), static_cast<std::int32_t>(Out.size())));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Encode)->Arg(tmRTU)->Arg(tmASCII)->ArgName("ascii");

void BM_Decode(benchmark::State& State) {
    const auto Mode = static_cast<TTransmissionMode>(State.range(0));
    auto& C = Framer(Mode);
    TModbusBuffer B(A::FrameCapacity(C));
    PutReplyBody(B);
    C.EmitErrorCheck(B);
    std::vector<std::uint8_t> Line(static_cast<std::size_t>(A::InterimBufferSize(C)));
    const std::int32_t N = A::EncodeFrame(C, B, Line.data(), static_cast<std::int32_t>(Line.size()));
    TModbusBuffer Out(A::FrameCapacity(C));
    bool Ok = true;
    for (auto _ : State) {
        Ok &= A::DecodeFrame(C, Line.data(), N, Out);
        benchmark::ClobberMemory();
    }
    if (!Ok)
        State.SkipWithError("the frame did not decode");
}
BENCHMARK(BM_Decode)->Arg(tmRTU)->Arg(tmASCII)->ArgName("ascii");

} // namespace

BENCHMARK_MAIN();
