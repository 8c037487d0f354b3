// nimbra-sim as a library: one or more virtual Nimbra loggers on a virtual bus
// (layout: simulator/README.md). Tests start it in-process; the nimbra-sim program
// wraps the same class.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nimbra::sim {

inline constexpr std::size_t kFlashSize = 512 * 1024;

// Version tags that the sample images carry and the simulated logger reports.
// An image holds the marker followed by the version text and a NUL byte
// (at most 15 printable ASCII characters).
inline constexpr const char* kFirmVersionMarker = "NIMBRA_FW_VERSION=";
inline constexpr const char* kNetVersionMarker = "NIMBRA_NET_VERSION=";
inline constexpr const char* kWebVersionMarker = "NIMBRA_WEB_VERSION=";

struct Timing {
    bool paced = false;            // bytes leave at line speed (11 bits/byte 8N2, 10 bits 8N1)
    int eraseMs = 0;               // chip erase time of the boot loader
    int blockProgramMs = 0;        // programming time of one 2 KiB block
    int dollarDelayMs = 0;         // network module: time from update mode to "$$$"
    int netEraseMs = 0;            // network module: erase command to its prompt
    int recordMs = 0;              // network module: one record to its prompt
};

struct LoggerConfig {
    int com = 1;                                   // the bridge's COM number
    std::uint32_t serial = 0x00001234;             // logger serial (drives 809/810)
    std::uint16_t productId = 0x0d5e;              // bridge USB product id
    std::string productString = "Korvat USB-UART Controller";
    std::string usbSerial = "0001";
    std::string firmVer = "1.30";   // reported FWV while the flash holds no version tag
    std::string netVer = "2.00";    // reported NETV while the module holds no tagged firmware
    std::string ac = "1";           // AC item value
    std::vector<std::uint8_t> flash;   // initial flash (empty: all 0xFF)
    std::vector<std::string> faults;   // fault texts, see AddFault
};

struct SimConfig {
    std::string busDir;                // created if missing
    std::vector<LoggerConfig> loggers; // at least one
    Timing timing;
    std::string evidenceDir;           // when set, evidence is written there at Stop()
    // Bytes that the product sends while its tty is set to another speed than the
    // line runs at are garbage to the device (recorded, not echoed, not interpreted).
    bool checkLineSpeed = true;
};

// What the line and the simulator's own work cost: the lower bound of a run.
struct Stats {
    double lineSeconds = 0;        // sum of byte times at the speeds the bytes ran
    double processingSeconds = 0;  // erase/program/record/$$$ delays the device itself took
    std::uint64_t bytesToDevice = 0;
    std::uint64_t bytesFromDevice = 0;
    // When, on the simulated line, the last byte to the device has arrived: seconds
    // after ResetStats (or the start). A product may write faster than the line
    // carries (a pseudo-terminal does not hold it back); the device has its bytes
    // only at this time.
    double lastArrivalSeconds = 0;
    double BoundSeconds() const { return lineSeconds + processingSeconds; }
};

enum class Mode { Reset, BootLoader, NormalFirmware, NetModuleUpdate, Unplugged };

class Simulator {
public:
    explicit Simulator(SimConfig config);
    ~Simulator();  // Stop()
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Creates the bus entries and starts serving. 0, or a negative errno.
    int Start();
    void Stop();

    // Faults (also accepted by nimbra-sim --fault). Grammar:
    //   fault := kind [":" param ("," param)*]
    // Boot loader (answers to the boot-loader frames):
    //   nak | silence | badsum | etb | slow=MS      the matching answer
    //   noecho                                        stop echoing from the matching point on
    //   vanish                                        close the pty (unplug) at the matching point
    //   announce=HH | announce=none                   boot announcement byte
    //   params: cmd=HH (command code: 00 9a c0 20 40 13), block=N, frame=N (0..7 the data
    //   frame's status, 8 the block's final status; absent: the command's own status),
    //   times=N (how often it fires; default 1, 0 = always)
    // Port:
    //   port-held[:at=start|reopen]   the simulator holds the tty's lock (flock), from the
    //                                 start or from the baud-rate change on
    // Command link (params: cmd=RUINF|EBSTS|ICHIP, times=N):
    //   link-open | link-recv | link-silent | link-status=TEXT | link-missing=FWV|NETV|AC|STATUS
    //   | link-slow=MS
    // Network module:
    //   no-dollar | dollar-prefix (CR LF before "$$$") | no-prompt:at=first|erase|record=K
    // Returns false (and changes nothing) for a fault it does not understand.
    bool AddFault(int logger, const std::string& faultText);
    void ClearFaults(int logger);

    // Evidence.
    std::vector<std::uint8_t> Flash(int logger = 0) const;
    // The network module's store: bytes written by D records, by byte address.
    std::vector<std::uint8_t> NetBytes(int logger, std::uint32_t address, std::size_t length) const;
    std::vector<std::pair<std::uint32_t, std::size_t>> NetRecords(int logger = 0) const;  // (address, data bytes) in order
    std::string LastNetEraseCommand(int logger = 0) const;  // the 64-byte block as received
    std::vector<std::string> Transcript(int logger = 0) const;
    bool WriteEvidence(const std::string& dir) const;

    Stats GetStats(int logger = 0) const;
    void ResetStats(int logger = 0);
    Mode CurrentMode(int logger = 0) const;
    int BootCount(int logger = 0) const;   // how often the normal firmware was started

    // Hot-plug: remove / restore the logger's bus entries and pty.
    void Unplug(int logger);
    void Plug(int logger);

    // Configuration that may change while running (tests).
    void SetAc(int logger, const std::string& ac);
    void SetVersions(int logger, const std::string& firmVer, const std::string& netVer);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Deterministic synthetic sample files for tests, the demo and benchmarks.
struct SampleOptions {
    std::string firmVersion = "1.31";
    std::string netVersion = "2.01";
    std::string webVersion = "1.00";
    std::string title = "1.31";
    // "#W#" of UpDateMng.txt: "OFF" leaves the web content alone, so a logger that
    // reports the sample versions needs nothing; anything else always sends it.
    std::string webSwitch = "OFF";
    std::size_t firmBytes = 96 * 1024;  // data bytes in Nimbra.hex, spread with 0xFF gaps
    bool fullFlash = false;             // a HEX covering all 512 KiB (benchmarks)
    std::size_t imfBytes = 200 * 1024;  // each network-module firmware image
    std::size_t imgBytes = 120 * 1024;  // the web-content image
    std::uint32_t imfLoadAddress = 0x10000000;  // word at byte 80 of the .imf files
};
// Writes Nimbra.hex, Nimbra_809.imf, Nimbra_810.imf, Nimbra.img and UpDateMng.txt
// into `dir`. 0, or -1 when a file cannot be written.
int WriteSamples(const std::string& dir, const SampleOptions& options);

}  // namespace nimbra::sim
