// Converting the 512 KiB sample HEX file: ours against `objcopy -I ihex -O binary`
// on the same file in the same run (median of several runs each), and the peak
// memory of our conversion above the process's baseline.
#include "FlashCore.h"
#include "Simulator.h"
#include "TempDir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static long StatusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return -1;
}

static double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

static std::vector<char> Read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

int main() {
    const nimbra::testsupport::TempDir tmp("nhb");
    if (tmp.path().empty()) return 1;
    const std::string& dir = tmp.path();
    nimbra::sim::SampleOptions samples;
    samples.fullFlash = true;
    if (nimbra::sim::WriteSamples(dir, samples) != 0) return 1;
    const std::string hex = dir + "/Nimbra.hex";

    // Peak memory: reset the high-water mark, convert once, read it back.
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    const long baseline = StatusKiB("VmRSS:");
    const int end = nimbra::flash::ConvertIntelHex(hex);
    const long peak = StatusKiB("VmHWM:");
    if (end <= 0) {
        std::printf("conversion failed: %d\n", end);
        return 2;
    }

    constexpr int kRuns = 15;
    std::vector<double> ours, theirs;
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = Clock::now();
        nimbra::flash::ConvertIntelHex(hex);
        ours.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());

        t0 = Clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            execlp("objcopy", "objcopy", "-I", "ihex", "-O", "binary", hex.c_str(), (dir + "/objcopy.bin").c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        theirs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::printf("objcopy failed\n");
            return 2;
        }
    }
    const auto a = Read(dir + "/Nimbra.bin"), b = Read(dir + "/objcopy.bin");
    const bool same = !b.empty() && a.size() >= b.size() && std::equal(b.begin(), b.end(), a.begin());

    std::printf("HEX file               %ju bytes, image %zu bytes (end position %d)\n",
                static_cast<std::uintmax_t>(fs::file_size(hex)), a.size(), end);
    std::printf("ours (median of %d)    %.2f ms\n", kRuns, Median(ours));
    std::printf("objcopy (median)       %.2f ms\n", Median(theirs));
    std::printf("speed-up               %.1fx   (target >= 3x)\n", Median(theirs) / Median(ours));
    std::printf("peak memory            %ld KiB above a baseline of %ld KiB   (target <= 8192 KiB)\n",
                peak - baseline, baseline);
    std::printf("images agree           %s\n", same ? "yes" : "NO");
    return same ? 0 : 2;
}
