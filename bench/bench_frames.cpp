#include "NullPort.h"

#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "port/NTPort.h"
#include "port/SimulatedBoard.h"
#include "port/TappedPort.h"
#include "port/VcdTrace.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

// One frame per iteration, the code changing every time.
void Send_Frames(benchmark::State& state) {
    int code = 0;
    for (auto _ : state) {
        Module1::Data_Byte = code;
        Read_Write_Bits_to_Parallel_Port();
        code = (code + 37) & 127;
    }
    state.SetItemsProcessed(state.iterations() * 16);
    Release_Port_Output();
}

void BM_FrameWriter_NullPort(benchmark::State& state) {
    Use_Port_Output(std::make_shared<Null_Port>());
    Send_Frames(state);
}
BENCHMARK(BM_FrameWriter_NullPort);

void BM_FrameWriter_SimulatedBoard(benchmark::State& state) {
    auto board = std::make_shared<SimulatedBoard>();
    Use_Port_Output(board);
    Send_Frames(state);
    if (board->malformedCount() != 0) {
        state.SkipWithError("the board saw a malformed frame");
    }
}
BENCHMARK(BM_FrameWriter_SimulatedBoard);

void BM_FrameWriter_Traced(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "zovrel-bench-trace.vcd";
    auto trace = Vcd_Trace::Create(path, "zovrel-bench");
    auto tapped = std::make_shared<Tapped_Port>(std::make_shared<Null_Port>());
    tapped->addTap([&trace](std::uint16_t, std::uint16_t word) { trace->record(word); });
    Use_Port_Output(tapped);
    Send_Frames(state);
    trace->close();
    std::filesystem::remove(path);
}
// Bounded, so that the trace file stays a few tens of megabytes.
BENCHMARK(BM_FrameWriter_Traced)->Iterations(200000);

} // namespace
