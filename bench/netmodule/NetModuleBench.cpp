// A whole network-module update (firmware and web content) against the simulated
// logger with the line paced at 115200 baud, compared with the least time the
// line and the module itself allow.
//
// The bound is the simulator's Stats::BoundSeconds (every byte's time on the wire
// plus the module's own start-marker, erase and record times) plus the worker's
// fixed 10-second pause after the erase, which the product keeps on purpose.
//
// The simulator takes the product's bytes off the pseudo-terminal at once and
// only times its answers by the line. A write to a real tty drains at line speed
// before the link returns, but on a pseudo-terminal it returns at once, so the
// prompts that pokes earn while a record is still "on the wire" can let the
// product run ahead of the module. The time that counts is therefore the later
// of the product's own end and the moment the module has had every byte: from
// the first record on, the line is never idle, so that moment is at least the
// first record's start plus the line time of every byte sent from then on.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

#include "Globals.h"
#include "NetModule.h"
#include "Simulator.h"
#include "VirtualBus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 1;
constexpr std::uint32_t kSerial = 0x00001234;
constexpr double kFixedPauseSeconds = 10.0;
constexpr double kByteSeconds = 10.0 / 115200;  // 8N1
constexpr int kRecordMs = 4;

struct FirstRecord {
    nimbra::sim::Simulator* sim = nullptr;
    bool seen = false;
    Clock::time_point at;
    std::uint64_t bytesBefore = 0;
};

void OnStep(int step, void* context) {
    auto* first = static_cast<FirstRecord*>(context);
    if ((step == 6 || step == 7) && !first->seen) {
        first->seen = true;
        first->at = Clock::now();
        first->bytesBefore = first->sim->GetStats().bytesToDevice;
    }
}

std::string MakeTempDir(const char* prefix) {
    std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
    return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

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

    const std::string bus = MakeTempDir("nbb"), files = MakeTempDir("nbf");
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
    FirstRecord first;
    first.sim = &sim;
    settings.stepObserver = OnStep;
    settings.stepObserverContext = &first;
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
    double moduleEnd = 0;
    if (first.seen)
        moduleEnd = std::chrono::duration<double>(first.at - start).count() +
                    static_cast<double>(stats.bytesToDevice - first.bytesBefore) * kByteSeconds + kRecordMs / 1000.0;
    const double effective = wall > moduleEnd ? wall : moduleEnd;
    std::printf("network-module update, firmware %zu KiB + web content %zu KiB, paced 115200 baud\n", imfKiB, imgKiB);
    std::printf("result            %d%s%s\n", result, result ? " " : "", result ? nimbra::g_lastErrorText.c_str() : "");
    std::printf("bytes to module   %llu, from module %llu\n", static_cast<unsigned long long>(stats.bytesToDevice),
                static_cast<unsigned long long>(stats.bytesFromDevice));
    std::printf("product's end     %.3f s (CPU %.3f s)\n", wall, cpu);
    std::printf("module's end      %.3f s or later (all bytes on the line)\n", moduleEnd);
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
    std::error_code ec;
    std::filesystem::remove_all(bus, ec);
    std::filesystem::remove_all(files, ec);
    return result == 0 ? 0 : 1;
}
