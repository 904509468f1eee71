#include "NullPort.h"

#include "model/Module1.h"
#include "panel/Form1.h"
#include "port/NTPort.h"

#include <QPushButton>

#include <benchmark/benchmark.h>

namespace {

// "Full Scale" from code 0 with every bit 0: seven rises, the code change with
// its fourteen nested bit changes, and two frames. The heaviest single action.
void BM_FullScaleFromZero(benchmark::State& state) {
    usePortOutput(std::make_shared<NullPort>());
    Module1::Data_Byte = 0;
    bool failed = false;
    Form1 form([&failed](const std::exception&) { failed = true; });
    for (auto _ : state) {
        state.PauseTiming();
        form.cmdZS->click();
        state.ResumeTiming();
        form.cmdFS->click();
    }
    releasePortOutput();
    if (failed || Module1::Data_Byte != 127) {
        state.SkipWithError("Full Scale did not send 127");
    }
}
BENCHMARK(BM_FullScaleFromZero)->Unit(benchmark::kMicrosecond);

} // namespace
