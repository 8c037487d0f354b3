// The update run: convert, open and check the bridge, enter the boot loader, erase,
// program, verify, leave boot mode; the run log goes to FlightMsg_<port>.txt.
#include "FlashCore.h"

#include "CP210xRuntime.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace nimbra::flash {
namespace {

using namespace nimbra::serial;

constexpr std::size_t kMaxPath = 260;

void Wait(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool Empty(const char* s) { return s == nullptr || *s == '\0'; }

class Run {
public:
    Run(UpdateStatus* status, int com) : status_(status), com_(com) {}

    void Step(int step) { status_->step = step; }
    void Append(const char* text) { log_ += text; }
    std::string& Log() { return log_; }
    int Finish(int code) {
        WriteFlightMsg(log_, com_);
        return code;
    }
    // A step after boot mode failed: take the target out of boot mode, close, log.
    int Abandon(PortHandle port, int code, const char* text) {
        Programming_Mode(port, false);
        CloseComPort(port);
        Append(text);
        return Finish(code);
    }

private:
    UpdateStatus* status_;
    int com_;
    std::string log_;
};

}  // namespace

std::string ProgramFolder() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    const std::string exe(path, static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

void WriteFlightMsg(const std::string& log, int port) {
    char name[64];
    std::snprintf(name, sizeof name, "/FlightMsg_%d.txt", port);
    const std::string path = ProgramFolder() + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(log.data(), 1, log.size(), f);
    std::fclose(f);
}

int RunUpdate(const char* firmwarePath, int port, const char* productString, const char* serialNumber,
              int flashSizeKB, int verify) {
    UpdateStatus* status = ThreadStatus(true);
    if (!status) return -1;  // never run without a status record
    status->step = 0;
    status->cancel = 0;

    const int com = port & 0xFFFF;
    // A path that does not fit the working copy is refused rather than cut short.
    if (Empty(firmwarePath) || std::strlen(firmwarePath) > kMaxPath || com > 255 || Empty(productString) ||
        Empty(serialNumber))
        return -1;

    const std::string path(firmwarePath);
    const int kind = GetFirmwareFileKind(path);
    if (kind < 0) return -2;
    Run run(status, com);
    std::string imagePath = path;
    if (kind == 0) {
        const int e = ConvertIntelHex(path);
        if (e < 0) {
            char line[64];
            std::snprintf(line, sizeof line, "INTEL HEX FILE CONVERT ERR(%d)", e);
            run.Append(line);
            return run.Finish(-3);
        }
        imagePath = ImagePathFor(path);
    }

    PortHandle h = kInvalidPort;
    int r = OpenComPortDefault(static_cast<std::uint16_t>(com), 1024, 1024, 9600, &h);
    if (r == kOpenHeldElsewhere) return -4;
    if (r != kOpenOk) return -5;
    run.Append("Port Open(9600)\r\n");

    if ((r = CheckBridgeIdentity(h, productString, serialNumber, &run.Log())) != 0) return run.Finish(r);

    run.Step(1);
    if ((r = Programming_Mode(h, true)) != 0) {
        CloseComPort(h);
        run.Append(ProgrammingModeText(r));
        return run.Finish(-10);
    }
    run.Append(ProgrammingModeText(0));
    Wait(500);

    run.Step(2);
    if ((r = Reset_Synchro(h, true)) != 0) return run.Abandon(h, -11, ResetSynchroText(r));
    run.Append(ResetSynchroText(0));

    run.Step(3);
    if ((r = Change_BaudRate(h)) != 0) return run.Abandon(h, -12, ChangeBaudRateText(r));
    run.Append(ChangeBaudRateText(0));

    CloseComPort(h);
    run.Append("Com Close(9600)\r\n");
    Wait(30);
    r = OpenComPortDefault(static_cast<std::uint16_t>(com), 1024, 1024, 115200, &h);
    if (r == kOpenHeldElsewhere) return run.Finish(-4);
    if (r != kOpenOk) return run.Finish(-5);
    run.Append("Port Open(115200)\r\n");
    Wait(30);
    Wait(500);

    run.Step(4);
    if ((r = Reset_Synchro(h, false)) != 0) return run.Abandon(h, -11, ResetSynchroText(r));
    run.Append(ResetSynchroText(0));

    run.Step(5);
    if ((r = Silicon_Signature(h)) != 0) return run.Abandon(h, -13, SiliconSignatureText(r));
    run.Append(SiliconSignatureText(0));

    run.Step(6);
    if ((r = Erace_Flash(h)) != 0) return run.Abandon(h, -14, EraceFlashText(r));
    run.Append(EraceFlashText(0));

    run.Step(7);
    const int blocks = Programming(h, imagePath, flashSizeKB);
    if (blocks < 0) return run.Abandon(h, -15, ProgrammingText(blocks));
    run.Append(ProgrammingText(blocks));

    if (verify != 0) {
        run.Step(8);
        if ((r = Verify(h, imagePath, blocks)) != 0) return run.Abandon(h, -16, VerifyText(r));
        run.Append(VerifyText(0));
    }

    run.Step(9);
    if ((r = Programming_Mode(h, false)) != 0) {
        CloseComPort(h);
        run.Append(r == -2 ? "Programming_Mode(Set Error)\r\n" : "Programming_Mode(Reset Error)\r\n");
        return run.Finish(-17);
    }
    run.Append("Firmware Update Success !!\r\n");
    run.Step(10);
    CloseComPort(h);
    return run.Finish(0);
}

int ResetLine(int port, int mask, int level) {
    const int line = mask & 0xFF;
    if (line != 1 && line != 2 && line != 4 && line != 8) return -1;
    PortHandle h = kInvalidPort;
    const int r = OpenComPortDefault(static_cast<std::uint16_t>(port), 1024, 1024, 9600, &h);
    if (r == kOpenHeldElsewhere) return -4;
    if (r != kOpenOk) return -5;
    const unsigned short lines = static_cast<unsigned short>(mask & 0xFFFF);
    // The latch value is 0 or 1 whatever the mask: it is not shifted to the line.
    const unsigned short v = level != 0 ? 1 : 0;
    if (SetBridgeGpio(h, lines, v) != 0) {
        CloseComPort(h);
        return -18;
    }
    Wait(50);
    if (SetBridgeGpio(h, lines, static_cast<unsigned short>(1 - v)) != 0) {
        CloseComPort(h);
        return -18;
    }
    CloseComPort(h);
    Wait(50);
    return 0;
}

}  // namespace nimbra::flash
