// The yardstick for the sender's start-up: a C++ program that links the same
// C++ runtime and does nothing.
#include <iostream>

int main() {
    std::cout.flush();
    return 0;
}
