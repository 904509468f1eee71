#include "send/Sender.h"

int main(int argc, char** argv) {
    return runSender(argc, argv);
}
