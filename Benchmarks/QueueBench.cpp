// The main-thread queue: the cost per posted message when many wait at once
// (a busy main thread), posted from a worker and handled by ProcessMessages.

#include <Quorvel.h>

#include "detail/MainThreadQueue.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <thread>

namespace {

using namespace Quorvel;

void BM_MainThreadQueue(benchmark::State& State) {
    const auto Count = static_cast<int>(State.range(0));
    int Handled = 0;
    detail::TMessageTarget Target([&](unsigned, std::uintptr_t, std::unique_ptr<detail::TMessagePayload>) {
        ++Handled;
    });
    for (auto _ : State) {
        Handled = 0;
        std::thread Worker([&] {
            for (int i = 0; i < Count; ++i)
                Target.Post(1, 0, nullptr);
        });
        Worker.join();
        while (Handled < Count)
            ProcessMessages();
    }
    State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()) * Count);
}
BENCHMARK(BM_MainThreadQueue)->Arg(100)->Arg(1000)->Arg(10000)->ArgName("queued")->Unit(benchmark::kMicrosecond);

} // namespace
