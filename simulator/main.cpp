// nimbra-sim: one or more virtual Nimbra loggers on a virtual bus, until SIGINT/SIGTERM.
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

#include "Simulator.h"

namespace {

const char kUsage[] =
    "usage: nimbra-sim [options]\n"
    "  --bus DIR               bus directory (default: $NIMBRA_VIRTUAL_BUS)\n"
    "  --loggers N             number of loggers (default 1)\n"
    "  --com N[,N...]          COM numbers of their bridges (default 1, 2, ...)\n"
    "  --serial S[,S...]       logger serial numbers, decimal or 0x-hex (default 0x1234, 0x1235, ...)\n"
    "  --product-id HEX        bridge USB product id (default 0d5e)\n"
    "  --product-string TEXT   bridge USB product string\n"
    "  --usb-serial TEXT       bridge USB serial number (default 0001, 0002, ...)\n"
    "  --firm-ver V            FWV reported while the flash holds no version tag (default 1.30)\n"
    "  --net-ver V             NETV reported while the module holds no tagged firmware (default 2.00)\n"
    "  --ac V                  AC item value (default 1)\n"
    "  --flash FILE            initial flash contents (a flat image, padded with 0xFF)\n"
    "  --paced | --fast        pace the line at its speed (default: --fast)\n"
    "  --erase-ms N            chip erase time of the boot loader\n"
    "  --block-program-ms N    programming time of one 2 KiB block\n"
    "  --dollar-delay-ms N     network module: update mode to \"$$$\"\n"
    "  --net-erase-ms N        network module: erase command to its prompt\n"
    "  --record-ms N           network module: record to its prompt\n"
    "  --no-speed-check        accept bytes whatever speed the product's tty is set to\n"
    "  --fault [LOGGER@]FAULT   add a fault (repeatable; grammar in simulator/README.md)\n"
    "  --evidence DIR          write flash, network-module store and transcript there at exit\n"
    "  --ready-fd N            also write the READY line to descriptor N\n"
    "  --exit-after-seconds S  stop after S seconds\n"
    "  --write-samples DIR     write the sample files into DIR and exit\n"
    "      --full-flash        ... with a Nimbra.hex covering all 512 KiB\n"
    "      --sample-firm V, --sample-net V, --sample-web V   ... their version tags\n"
    "  --help\n";

bool ParseU32(const std::string& s, std::uint32_t& out) {
    int base = 10;
    std::string t = s;
    if (t.size() > 2 && (t.compare(0, 2, "0x") == 0 || t.compare(0, 2, "0X") == 0)) {
        base = 16;
        t = t.substr(2);
    }
    if (t.empty()) return false;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), out, base);
    return ec == std::errc() && p == t.data() + t.size();
}

bool ParseInt(const std::string& s, int& out) {
    std::uint32_t v = 0;
    if (!ParseU32(s, v) || v > 0x7FFFFFFF) return false;
    out = static_cast<int>(v);
    return true;
}

std::vector<std::string> SplitComma(const std::string& s) {
    std::vector<std::string> v;
    std::size_t start = 0;
    for (;;) {
        std::size_t p = s.find(',', start);
        v.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) return v;
        start = p + 1;
    }
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "nimbra-sim: %s\n%s", what.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace nimbra::sim;
    SimConfig config;
    if (const char* env = std::getenv("NIMBRA_VIRTUAL_BUS")) config.busDir = env;
    int loggers = 1;
    std::vector<int> coms;
    std::vector<std::uint32_t> serials;
    LoggerConfig base;
    bool haveUsbSerial = false;
    std::string flashFile, samplesDir;
    SampleOptions samples;
    std::vector<std::pair<int, std::string>> faults;
    int readyFd = -1;
    double exitAfter = 0;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--paced") {
            config.timing.paced = true;
        } else if (a == "--fast") {
            config.timing.paced = false;
        } else if (a == "--no-speed-check") {
            config.checkLineSpeed = false;
        } else if (a == "--full-flash") {
            samples.fullFlash = true;
        } else if (!value(v)) {
            return Fail("unknown option or missing value: " + a);
        } else if (a == "--bus") {
            config.busDir = v;
        } else if (a == "--loggers") {
            if (!ParseInt(v, loggers) || loggers < 1 || loggers > 255) return Fail("bad --loggers");
        } else if (a == "--com") {
            for (const std::string& s : SplitComma(v)) {
                int c = 0;
                if (!ParseInt(s, c) || c < 1 || c > 255) return Fail("bad --com");
                coms.push_back(c);
            }
        } else if (a == "--serial") {
            for (const std::string& s : SplitComma(v)) {
                std::uint32_t x = 0;
                if (!ParseU32(s, x)) return Fail("bad --serial");
                serials.push_back(x);
            }
        } else if (a == "--product-id") {
            std::uint32_t x = 0;
            if (!ParseU32("0x" + v, x) || x > 0xFFFF) return Fail("bad --product-id");
            base.productId = static_cast<std::uint16_t>(x);
        } else if (a == "--product-string") {
            base.productString = v;
        } else if (a == "--usb-serial") {
            base.usbSerial = v;
            haveUsbSerial = true;
        } else if (a == "--firm-ver") {
            base.firmVer = v;
        } else if (a == "--net-ver") {
            base.netVer = v;
        } else if (a == "--ac") {
            base.ac = v;
        } else if (a == "--flash") {
            flashFile = v;
        } else if (a == "--erase-ms") {
            if (!ParseInt(v, config.timing.eraseMs)) return Fail("bad --erase-ms");
        } else if (a == "--block-program-ms") {
            if (!ParseInt(v, config.timing.blockProgramMs)) return Fail("bad --block-program-ms");
        } else if (a == "--dollar-delay-ms") {
            if (!ParseInt(v, config.timing.dollarDelayMs)) return Fail("bad --dollar-delay-ms");
        } else if (a == "--net-erase-ms") {
            if (!ParseInt(v, config.timing.netEraseMs)) return Fail("bad --net-erase-ms");
        } else if (a == "--record-ms") {
            if (!ParseInt(v, config.timing.recordMs)) return Fail("bad --record-ms");
        } else if (a == "--fault") {
            int logger = 0;
            std::string faultText = v;
            const std::size_t at = v.find('@');
            if (at != std::string::npos && at < v.find(':')) {
                if (!ParseInt(v.substr(0, at), logger)) return Fail("bad --fault logger");
                faultText = v.substr(at + 1);
            }
            faults.emplace_back(logger, faultText);
        } else if (a == "--evidence") {
            config.evidenceDir = v;
        } else if (a == "--ready-fd") {
            if (!ParseInt(v, readyFd)) return Fail("bad --ready-fd");
        } else if (a == "--exit-after-seconds") {
            char* end = nullptr;
            exitAfter = std::strtod(v.c_str(), &end);
            if (!end || *end || exitAfter <= 0) return Fail("bad --exit-after-seconds");
        } else if (a == "--write-samples") {
            samplesDir = v;
        } else if (a == "--sample-firm") {
            samples.firmVersion = samples.title = v;
        } else if (a == "--sample-net") {
            samples.netVersion = v;
        } else if (a == "--sample-web") {
            samples.webVersion = v;
        } else {
            return Fail("unknown option: " + a);
        }
    }

    if (!samplesDir.empty()) {
        if (WriteSamples(samplesDir, samples) != 0) {
            std::fprintf(stderr, "nimbra-sim: cannot write the samples into %s\n", samplesDir.c_str());
            return 1;
        }
        std::printf("samples written to %s\n", samplesDir.c_str());
        return 0;
    }
    if (config.busDir.empty()) return Fail("no bus directory: give --bus or set NIMBRA_VIRTUAL_BUS");

    if (!flashFile.empty()) {
        FILE* f = std::fopen(flashFile.c_str(), "rb");
        if (!f) return Fail("cannot read " + flashFile);
        base.flash.resize(kFlashSize);
        base.flash.resize(std::fread(base.flash.data(), 1, kFlashSize, f));
        std::fclose(f);
    }
    for (int i = 0; i < loggers; ++i) {
        LoggerConfig l = base;
        l.com = i < static_cast<int>(coms.size()) ? coms[static_cast<std::size_t>(i)] : (coms.empty() ? 1 + i : coms.back() + i);
        l.serial = i < static_cast<int>(serials.size()) ? serials[static_cast<std::size_t>(i)]
                                                        : (serials.empty() ? 0x1234u : serials.back()) + static_cast<std::uint32_t>(i);
        if (!haveUsbSerial) {
            char s[16];
            std::snprintf(s, sizeof s, "%04d", i + 1);
            l.usbSerial = s;
        }
        config.loggers.push_back(l);
    }
    for (auto& [logger, faultText] : faults)
        if (logger < 0 || logger >= loggers) return Fail("--fault names logger " + std::to_string(logger));

    // The signals are taken synchronously below; block them before any thread starts.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Simulator sim(config);
    int rc = sim.Start();
    if (rc != 0) {
        std::fprintf(stderr, "nimbra-sim: cannot start on %s: %s\n", config.busDir.c_str(), std::strerror(-rc));
        return 1;
    }
    for (auto& [logger, faultText] : faults) {
        if (!sim.AddFault(logger, faultText)) {
            std::fprintf(stderr, "nimbra-sim: fault not understood: %s\n", faultText.c_str());
            sim.Stop();
            return 2;
        }
    }
    for (const LoggerConfig& l : config.loggers)
        std::printf("LOGGER COM%d serial=%u product=%04x usb-serial=%s\n", l.com, l.serial, l.productId,
                    l.usbSerial.c_str());
    const std::string ready = "READY " + config.busDir + "\n";
    std::fputs(ready.c_str(), stdout);
    std::fflush(stdout);
    if (readyFd >= 0) {
        [[maybe_unused]] ssize_t w = write(readyFd, ready.data(), ready.size());
    }

    timespec limit{};
    limit.tv_sec = static_cast<time_t>(exitAfter);
    limit.tv_nsec = static_cast<long>((exitAfter - static_cast<double>(limit.tv_sec)) * 1e9);
    for (;;) {
        int sig = exitAfter > 0 ? sigtimedwait(&set, nullptr, &limit) : sigwaitinfo(&set, nullptr);
        if (sig >= 0 || errno == EAGAIN) break;
    }
    sim.Stop();
    for (std::size_t i = 0; i < config.loggers.size(); ++i) {
        const Stats s = sim.GetStats(static_cast<int>(i));
        std::printf("STATS COM%d bytes-to-device=%llu bytes-from-device=%llu line=%.6fs processing=%.6fs bound=%.6fs\n",
                    config.loggers[i].com, static_cast<unsigned long long>(s.bytesToDevice),
                    static_cast<unsigned long long>(s.bytesFromDevice), s.lineSeconds, s.processingSeconds,
                    s.BoundSeconds());
    }
    if (!config.evidenceDir.empty()) std::printf("EVIDENCE %s\n", config.evidenceDir.c_str());
    return 0;
}
