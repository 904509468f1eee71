#include "app/Program.h"
#include "setup/StopSignals.h"

int main(int argc, char** argv) {
    return endAs(runProgram(argc, argv));
}
