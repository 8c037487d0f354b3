// A whole network-module update (firmware and web content) against the simulated
// logger with the line paced at 115200 baud, compared with the least time the
// line and the module itself allow.
//
// The bound is the simulator's Stats::BoundSeconds (every byte's time on the wire
// plus the module's own start-marker, erase and record times) plus the worker's
// fixed 10-second pause after the erase, which the product keeps on purpose.
//
// A pseudo-terminal does not hold a writer back to the line's speed, so the
// product may finish writing before the simulated line has carried every byte.
// The time that counts is the later of the product's own end and the moment the
// last byte has arrived at the module on the simulated line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

#include "Globals.h"
#include "NetModule.h"
#include "Simulator.h"
#include "TempDir.h"
#include "VirtualBus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 1;
constexpr std::uint32_t kSerial = 0x00001234;
constexpr double kFixedPauseSeconds = 10.0;
constexpr int kRecordMs = 4;

int Usage() {
    std::fprintf(stderr, "usage: bench_netmodule [imf KiB (default 320)] [img KiB (default 160)]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t imfKiB = 320, imgKiB = 160;
    if (argc > 3) return Usage();
    if (argc > 1) imfKiB = std::strtoul(argv[1], nullptr, 10);
    if (argc > 2) imgKiB = std::strtoul(argv[2], nullptr, 10);
    if (imfKiB == 0) return Usage();

    const nimbra::testsupport::TempDir busDir("nbb"), filesDir("nbf");
    const std::string &bus = busDir.path(), &files = filesDir.path();
    if (bus.empty() || files.empty()) return 1;
    setenv(nimbra::bus::kEnvVar, bus.c_str(), 1);

    nimbra::sim::SampleOptions samples;
    samples.imfBytes = imfKiB * 1024;
    samples.imgBytes = imgKiB * 1024;
    if (nimbra::sim::WriteSamples(files, samples) != 0) return 1;

    nimbra::sim::SimConfig config;
    config.busDir = bus;
    nimbra::sim::LoggerConfig logger;
    logger.com = kCom;
    logger.serial = kSerial;
    config.loggers.push_back(logger);
    config.timing.paced = true;
    config.timing.dollarDelayMs = 500;
    config.timing.netEraseMs = 1500;
    config.timing.recordMs = kRecordMs;
    nimbra::sim::Simulator sim(config);
    if (sim.Start() != 0) return 1;

    nimbra::ResetGlobalsForTest();
    nimbra::g_comPort = kCom;
    nimbra::g_deviceSerial = kSerial;
    nimbra::g_webImagePath = files + "/Nimbra.img";
    nimbra::g_mainDialog->m_updateType = 6;
    nimbra::g_netResult = 1;
    nimbra::NetWorkerSettings settings;  // the product's timing, the 10 s pause included
    settings.imageFolder = files;
    nimbra::SetNetWorkerSettings(settings);

    sim.ResetStats();
    const auto start = Clock::now();
    const auto cpuStart = std::clock();
    nimbra::StartIChipWorker(810);
    while (nimbra::g_netResult.load(std::memory_order_acquire) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    nimbra::WaitIChipWorker();
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const int result = nimbra::g_netResult.load();

    const nimbra::sim::Stats stats = sim.GetStats();
    const double bound = stats.BoundSeconds() + kFixedPauseSeconds;
    const double moduleEnd = stats.lastArrivalSeconds;
    const double effective = wall > moduleEnd ? wall : moduleEnd;
    std::printf("network-module update, firmware %zu KiB + web content %zu KiB, paced 115200 baud\n", imfKiB, imgKiB);
    std::printf("result            %d%s%s\n", result, result ? " " : "", result ? nimbra::g_lastErrorText.c_str() : "");
    std::printf("bytes to module   %llu, from module %llu\n", static_cast<unsigned long long>(stats.bytesToDevice),
                static_cast<unsigned long long>(stats.bytesFromDevice));
    std::printf("product's end     %.3f s (CPU %.3f s)\n", wall, cpu);
    std::printf("module's end      %.3f s (its last byte arrived on the simulated line)\n", moduleEnd);
    std::printf("wall time         %.3f s (the later of the two)\n", effective);
    std::printf("simulator bound   %.3f s (line %.3f s + module %.3f s)\n", stats.BoundSeconds(), stats.lineSeconds,
                stats.processingSeconds);
    std::printf("fixed pause       %.3f s (the worker's pause after the erase, counted in the bound)\n",
                kFixedPauseSeconds);
    std::printf("bound with pause  %.3f s\n", bound);
    std::printf("ratio             %.4f (wall / bound with pause; target <= 1.05)\n", effective / bound);
    std::printf("ratio w/o pause   %.4f ((wall - pause) / simulator bound)\n",
                (effective - kFixedPauseSeconds) / stats.BoundSeconds());

    sim.Stop();
    return result == 0 ? 0 : 1;
}
