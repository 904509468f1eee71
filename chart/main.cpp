#include "chart/Plot.h"
#include "setup/StopSignals.h"
#include "sweep/Sweep.h"

int main(int argc, char** argv) {
    return endAs(runSweep(argc, argv, drawCharacterization));
}
