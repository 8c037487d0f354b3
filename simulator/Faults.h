// Fault texts of the simulator (grammar in Simulator.h and README.md), parsed once
// when they are added so that a bad fault text is refused before it changes anything.
#pragma once

#include <optional>
#include <string>

namespace nimbra::sim {

enum class FaultKind {
    // boot loader
    Nak, Silence, BadSum, Etb, Slow, NoEcho, Vanish, Announce,
    // bridge
    PortHeld, GpioFail, ProductString, UsbSerial,
    // command link
    LinkOpen, LinkRecv, LinkSilent, LinkStatus, LinkMissing, LinkSlow, LinkAc,
    // network module
    NoDollar, DollarPrefix, NoPrompt,
};

struct Fault {
    FaultKind kind = FaultKind::Nak;
    std::string faultText;      // as given, for the transcript
    int cmd = -1;          // boot-loader command code; -1 any
    int block = -1;        // 2 KiB block index; -1 any
    int frame = -1;        // data frame 0..7, 8 the block's final status; -1 the command's own status
    int times = 1;         // how often it fires; 0 always
    int fired = 0;
    int ms = 0;            // slow / link-slow
    int value = -1;        // announce byte; -2 no announcement
    std::string text;      // link-status value, link-missing key, link-ac value, identity text
    std::string linkCmd;   // RUINF / EBSTS / ICHIP, empty: any
    bool atReopen = false; // port-held from the baud-rate change on
    int promptAt = 0;      // no-prompt: 0 first prompt, 1 erase prompt, 2 record prompt
    int record = -1;       // no-prompt: record index (0-based), -1 any
    int pokes = -1;        // no-prompt: pokes ignored before answering again; -1 all until the next command

    bool Live() const { return times == 0 || fired < times; }
};

std::optional<Fault> ParseFault(const std::string& faultText);

}  // namespace nimbra::sim
