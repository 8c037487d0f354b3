// Boot-loader framing and the control steps before programming.
#include "FlashCore.h"

#include "CP210xRuntime.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace nimbra::flash {
namespace {

using namespace nimbra::serial;

constexpr int kPollMs = 10;

void Wait(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void PurgeBoth(PortHandle port) {
    PurgeComPort(port, 0);
    PurgeComPort(port, 1);
}

// Sends a one-byte command frame and reads the 5-byte status that answers it.
// 0 accepted, -1 not sent, -3 invalid status frame, -4 refused.
int Command(PortHandle port, std::uint8_t code) {
    PurgeBoth(port);
    if (SendFrame(port, SOH, ETX, &code, 1) != 0) return -1;
    std::uint8_t status[5] = {};
    ReadComPort(port, 3000, status, 5, kPollMs);
    if (CheckFrame(status, 5) != 0) return -3;
    if (status[2] != ACK) return -4;
    return 0;
}

}  // namespace

int BuildFrame(std::uint8_t first, std::uint8_t last, const std::uint8_t* payload, int n, std::uint8_t* out) {
    // One zero byte beyond the frame, as the write's queue wait expects.
    std::memset(out, 0, static_cast<std::size_t>(n) + 5);
    out[0] = first;
    out[1] = static_cast<std::uint8_t>(n & 0xFF);
    std::uint8_t sum = static_cast<std::uint8_t>(0 - out[1]);
    for (int i = 0; i < n; ++i) {
        out[2 + i] = payload[i];
        sum = static_cast<std::uint8_t>(sum - payload[i]);
    }
    out[n + 2] = sum;
    out[n + 3] = last;
    return n + 4;
}

int SendFrame(PortHandle port, std::uint8_t first, std::uint8_t last, const std::uint8_t* payload, int n) {
    if (n < 1 || n > kMaxPayload) return -1;
    std::uint8_t frame[kMaxPayload + 5];
    const int length = BuildFrame(first, last, payload, n, frame);
    if (WriteComPort(port, frame, length) < 0) return -1;
    // The line echoes what we send: read it back and drop it.
    ReadComPort(port, 3000, frame, length, kPollMs);
    return 0;
}

int CheckFrame(const std::uint8_t* bytes, int expected) {
    if (bytes[0] != STX) return -1;
    const int len = bytes[1];
    if (expected != len + 4) return -2;
    std::uint8_t sum = 0;
    for (int i = 1; i <= len + 1; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    if (static_cast<std::uint8_t>(sum + bytes[len + 2]) != 0) return -3;
    if (bytes[len + 3] != ETX) return -4;
    return 0;
}

int Latch(PortHandle port, unsigned short mask, unsigned short value) { return SetBridgeGpio(port, mask, value); }

int Programming_Mode(PortHandle port, bool enter) {
    PurgeBoth(port);
    if (!enter) {
        if (Latch(port, 3, 2) != 0) return -2;
        Wait(20);
        if (Latch(port, 3, 0) != 0) return -1;
        return 0;
    }
    if (Latch(port, 3, 0) != 0) return -1;
    Wait(20);
    if (Latch(port, 3, 2) != 0) return -2;
    Wait(20);
    if (Latch(port, 3, 3) != 0) return -3;
    Wait(100);
    std::uint8_t announce = 0xFF;
    const int got = ReadComPort(port, 4000, &announce, 1, kPollMs);
    return (got == 1 && announce == 0x00) ? 0 : -5;
}

int Reset_Synchro(PortHandle port, bool first) {
    PurgeBoth(port);
    if (first) {
        const std::uint8_t zero[2] = {0, 0};
        if (WriteComPort(port, zero, 1) < 0) return -1;
        Wait(5);
        if (WriteComPort(port, zero, 1) < 0) return -2;
        PurgeComPort(port, 1);
    }
    Wait(30);
    for (int attempt = 0; attempt < 16; ++attempt) {
        DispatchThreadMessages();
        Wait(1);
        PurgeBoth(port);
        const std::uint8_t reset = 0x00;
        if (SendFrame(port, SOH, ETX, &reset, 1) != 0) return -3;
        std::uint8_t status[5] = {};
        ReadComPort(port, 3000, status, 5, kPollMs);
        if (CheckFrame(status, 5) == 0) {
            if (status[2] == ACK) return 0;
            Wait(100);
        }
    }
    return -5;
}

int Change_BaudRate(PortHandle port) {
    PurgeBoth(port);
    const std::uint8_t payload[] = {0x9A, 0x00, 0x00, 0x0A, 0x01};
    return SendFrame(port, SOH, ETX, payload, sizeof payload) != 0 ? -2 : 0;
}

int Silicon_Signature(PortHandle port) {
    if (int r = Command(port, 0xC0); r != 0) return r;
    std::uint8_t signature[28];
    ReadComPort(port, 3000, signature, sizeof signature, kPollMs);  // the target's business
    return 0;
}

int Erace_Flash(PortHandle port) { return Command(port, 0x20); }

const char* ProgrammingModeText(int code) {
    switch (code) {
    case 0: return "Programming_Mode(Success)\r\n";
    case -1: return "Programming_Mode(Reset Error)\r\n";
    case -2: return "Programming_Mode(Set Error)\r\n";
    case -3: return "Programming_Mode(Reset Release Error)\r\n";
    default: return "Programming_Mode(Ack Error)\r\n";
    }
}

const char* ResetSynchroText(int code) {
    switch (code) {
    case 0: return "Reset_Synchro(Success)\r\n";
    case -1: return "Reset_Synchro(0x00-1 Error)\r\n";
    case -2: return "Reset_Synchro(0x00-2 Error)\r\n";
    case -3: return "Reset_Synchro(Send Error)\r\n";
    default: return "Reset_Synchro(Synchro Fail)\r\n";
    }
}

const char* ChangeBaudRateText(int code) {
    return code == 0 ? "Change_BaudRate(Success)\r\n" : "Change_BaudRate(Send Error)\r\n";
}

const char* SiliconSignatureText(int code) {
    switch (code) {
    case 0: return "Silicon_Signature(Success)\r\n";
    case -1: return "Silicon_Signature(Send Error)\r\n";
    case -3: return "Silicon_Signature(Data Check Error)\r\n";
    default: return "Silicon_Signature(NAK Error)\r\n";
    }
}

const char* EraceFlashText(int code) {
    switch (code) {
    case 0: return "Erace_Flash(Success)\r\n";
    case -1: return "Erace_Flash(Send Error)\r\n";
    case -3: return "Erace_Flash(Data Check Error)\r\n";
    default: return "Erace_Flash(NAK Error)\r\n";
    }
}

}  // namespace nimbra::flash
