// Starts two programs in turn, many times, and compares them: the time from
// exec to the line "shown" on their standard output, and their peak memory.
//   startup-compare RUNS PROGRAM YARDSTICK
// Prints one line per program, "name medianMs peakKib", then the ratios.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Start {
    double ms = 0;
    long peakKib = 0;
};

bool startOnce(const char* program, Start& start) {
    int out[2];
    if (pipe(out) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(program), nullptr};
    const auto began = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return false;
    }
    std::string said;
    char buffer[256];
    bool shown = false;
    while (!shown) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        said.append(buffer, std::size_t(n));
        if (said.find("shown\n") != std::string::npos) {
            shown = true;
            start.ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                    .count();
        }
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    start.peakKib = usage.ru_maxrss;
    return shown && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename T> T Median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: startup-compare RUNS PROGRAM YARDSTICK\n");
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    const char* programs[2] = {argv[2], argv[3]};
    std::vector<double> ms[2];
    std::vector<long> kib[2];
    for (int run = 0; run < runs + 1; ++run) {
        for (int p = 0; p < 2; ++p) {
            Start start;
            if (!startOnce(programs[p], start)) {
                std::fprintf(stderr, "startup-compare: %s did not report its window\n",
                             programs[p]);
                return 1;
            }
            // The first round only warms the file cache.
            if (run > 0) {
                ms[p].push_back(start.ms);
                kib[p].push_back(start.peakKib);
            }
        }
    }
    for (int p = 0; p < 2; ++p) {
        std::printf("%s %.2f %ld\n", programs[p], Median(ms[p]), Median(kib[p]));
    }
    std::printf("ratio %.3f %.3f\n", Median(ms[0]) / Median(ms[1]),
                double(Median(kib[0])) / double(Median(kib[1])));
    return 0;
}
