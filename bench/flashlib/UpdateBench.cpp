// A full-size main-firmware update (512 KiB, with verify) against the simulated
// logger running at the real line speeds. Prints the wall time, the simulator's
// bound (line time plus the device's own work), their ratio and the CPU time of the
// updating thread (the library) and of the whole process (library and simulator).
#include "KorvatSarnUpdate.h"
#include "Simulator.h"
#include "TempDir.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

static double Cpu(int who) {
    rusage r{};
    getrusage(who, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

int main(int argc, char** argv) {
    // Arguments: COM number (default 201), image size in KiB (default 512: the whole flash).
    const int com = argc > 1 ? std::atoi(argv[1]) : 201;
    const int kib = argc > 2 ? std::atoi(argv[2]) : 512;
    const nimbra::testsupport::TempDir tmp("nfb");
    if (tmp.path().empty()) return 1;
    const std::string& dir = tmp.path();
    setenv("NIMBRA_VIRTUAL_BUS", (dir + "/bus").c_str(), 1);

    nimbra::sim::SampleOptions samples;
    samples.fullFlash = kib >= 512;
    samples.firmBytes = static_cast<std::size_t>(kib) * 1024;
    if (nimbra::sim::WriteSamples(dir, samples) != 0) return 1;

    nimbra::sim::SimConfig config;
    config.busDir = dir + "/bus";
    nimbra::sim::LoggerConfig logger;
    logger.com = com;
    config.loggers.push_back(logger);
    config.timing.paced = true;
    config.timing.eraseMs = 1500;        // chip erase, well inside the 3 s the library allows
    config.timing.blockProgramMs = 25;   // one 2 KiB block
    nimbra::sim::Simulator sim(config);
    if (sim.Start() != 0) return 1;
    sim.ResetStats(0);

    const std::string hex = dir + "/Nimbra.hex";
    const double cpuThread0 = Cpu(RUSAGE_THREAD), cpuProcess0 = Cpu(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    const int result = KorvatSarnUpdate(hex.c_str(), com, "Korvat USB-UART Controller", "0001", 512, 1);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpuThread = Cpu(RUSAGE_THREAD) - cpuThread0, cpuProcess = Cpu(RUSAGE_SELF) - cpuProcess0;

    const auto stats = sim.GetStats(0);
    const double bound = stats.BoundSeconds();
    std::printf("result                 %d\n", result);
    std::printf("bytes to / from device %llu / %llu\n", static_cast<unsigned long long>(stats.bytesToDevice),
                static_cast<unsigned long long>(stats.bytesFromDevice));
    std::printf("wall time              %.2f s\n", wall);
    std::printf("simulator bound        %.2f s (line %.2f s + device %.2f s)\n", bound, stats.lineSeconds,
                stats.processingSeconds);
    std::printf("ratio                  %.4f   (target <= 1.05)\n", wall / bound);
    std::printf("library CPU (thread)   %.3f s = %.2f %% of one core   (target <= 5 %%)\n", cpuThread,
                100.0 * cpuThread / wall);
    std::printf("process CPU (with sim) %.3f s = %.2f %% of one core\n", cpuProcess, 100.0 * cpuProcess / wall);
    sim.Stop();
    std::error_code ec;
    char log[64];
    std::snprintf(log, sizeof log, "FlightMsg_%d.txt", com);
    fs::remove(fs::read_symlink("/proc/self/exe").parent_path() / log, ec);
    return result == 0 ? 0 : 2;
}
