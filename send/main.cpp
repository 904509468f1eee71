#include "send/Sender.h"
#include "setup/StopSignals.h"

int main(int argc, char** argv) {
    return endAs(runSender(argc, argv));
}
