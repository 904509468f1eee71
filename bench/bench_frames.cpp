#include "NullPort.h"

#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "port/NTPort.h"
#include "port/TappedPort.h"
#include "watch/SimulatedBoard.h"
#include "watch/VcdTrace.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

// One frame per iteration, the code changing every time.
void sendFrames(benchmark::State& state) {
    int code = 0;
    for (auto _ : state) {
        Module1::Data_Byte = code;
        Read_Write_Bits_to_Parallel_Port();
        code = (code + 37) & 127;
    }
    state.SetItemsProcessed(state.iterations() * 16);
    releasePortOutput();
}

void BM_FrameWriter_NullPort(benchmark::State& state) {
    usePortOutput(std::make_shared<NullPort>());
    sendFrames(state);
}
BENCHMARK(BM_FrameWriter_NullPort);

void BM_FrameWriter_SimulatedBoard(benchmark::State& state) {
    auto board = std::make_shared<SimulatedBoard>();
    usePortOutput(board);
    sendFrames(state);
    if (board->malformedCount() != 0) {
        state.SkipWithError("the board saw a malformed frame");
    }
}
BENCHMARK(BM_FrameWriter_SimulatedBoard);

void BM_FrameWriter_Traced(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "zovrel-bench-trace.vcd";
    auto trace = VcdTrace::create(path, "zovrel-bench");
    auto tapped = std::make_shared<TappedPort>(std::make_shared<NullPort>());
    tapped->addTap([&trace](std::uint16_t, std::uint16_t word) { trace->record(word); });
    usePortOutput(tapped);
    sendFrames(state);
    trace->close();
    std::filesystem::remove(path);
}
// Bounded, so that the trace file stays a few tens of megabytes.
BENCHMARK(BM_FrameWriter_Traced)->Iterations(200000);

} // namespace
