#include "scpi/Scpi.h"
#include "setup/StopSignals.h"

int main(int argc, char** argv) {
    return endAs(runScpi(argc, argv));
}
