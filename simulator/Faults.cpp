#include "Faults.h"

#include <charconv>
#include <map>
#include <vector>

namespace nimbra::sim {

namespace {

bool ParseInt(const std::string& s, int base, int& out) {
    if (s.empty()) return false;
    int v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || p != s.data() + s.size() || v < 0) return false;
    out = v;
    return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t pos = s.find(sep, start);
        parts.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return parts;
}

const std::map<std::string, FaultKind>& Kinds() {
    static const std::map<std::string, FaultKind> kinds = {
        {"nak", FaultKind::Nak},
        {"silence", FaultKind::Silence},
        {"badsum", FaultKind::BadSum},
        {"etb", FaultKind::Etb},
        {"slow", FaultKind::Slow},
        {"noecho", FaultKind::NoEcho},
        {"vanish", FaultKind::Vanish},
        {"announce", FaultKind::Announce},
        {"port-held", FaultKind::PortHeld},
        {"gpio-fail", FaultKind::GpioFail},
        {"product-string", FaultKind::ProductString},
        {"usb-serial", FaultKind::UsbSerial},
        {"link-open", FaultKind::LinkOpen},
        {"link-recv", FaultKind::LinkRecv},
        {"link-silent", FaultKind::LinkSilent},
        {"link-status", FaultKind::LinkStatus},
        {"link-missing", FaultKind::LinkMissing},
        {"link-slow", FaultKind::LinkSlow},
        {"link-ac", FaultKind::LinkAc},
        {"no-dollar", FaultKind::NoDollar},
        {"dollar-prefix", FaultKind::DollarPrefix},
        {"no-prompt", FaultKind::NoPrompt},
    };
    return kinds;
}

bool IsLoaderKind(FaultKind k) {
    switch (k) {
    case FaultKind::Nak: case FaultKind::Silence: case FaultKind::BadSum: case FaultKind::Etb:
    case FaultKind::Slow: case FaultKind::NoEcho: case FaultKind::Vanish:
        return true;
    default:
        return false;
    }
}

bool IsLinkKind(FaultKind k) {
    switch (k) {
    case FaultKind::LinkOpen: case FaultKind::LinkRecv: case FaultKind::LinkSilent: case FaultKind::LinkStatus:
    case FaultKind::LinkMissing: case FaultKind::LinkSlow: case FaultKind::LinkAc:
        return true;
    default:
        return false;
    }
}

}  // namespace

std::optional<Fault> ParseFault(const std::string& faultText) {
    Fault f;
    f.faultText = faultText;
    const std::size_t colon = faultText.find(':');
    const std::string head = faultText.substr(0, colon);
    const std::string params = colon == std::string::npos ? std::string() : faultText.substr(colon + 1);
    const std::size_t eq = head.find('=');
    const std::string name = head.substr(0, eq);
    const bool hasArg = eq != std::string::npos;
    const std::string arg = hasArg ? head.substr(eq + 1) : std::string();

    auto it = Kinds().find(name);
    if (it == Kinds().end()) return std::nullopt;
    f.kind = it->second;

    // The kind's own argument.
    switch (f.kind) {
    case FaultKind::Slow:
    case FaultKind::LinkSlow:
        if (!hasArg || !ParseInt(arg, 10, f.ms)) return std::nullopt;
        break;
    case FaultKind::Announce:
        if (!hasArg) return std::nullopt;
        if (arg == "none") f.value = -2;
        else if (!ParseInt(arg, 16, f.value) || f.value > 0xFF || arg.size() > 2) return std::nullopt;
        break;
    case FaultKind::LinkStatus:
    case FaultKind::LinkAc:
    case FaultKind::ProductString:
    case FaultKind::UsbSerial:
        if (!hasArg) return std::nullopt;
        f.text = arg;
        break;
    case FaultKind::LinkMissing:
        if (!hasArg || (arg != "FWV" && arg != "NETV" && arg != "AC" && arg != "STATUS")) return std::nullopt;
        f.text = arg;
        break;
    default:
        if (hasArg) return std::nullopt;
        break;
    }
    if (f.kind == FaultKind::NoPrompt) f.promptAt = 0;  // the first prompt unless told otherwise

    if (!params.empty()) {
        for (const std::string& p : Split(params, ',')) {
            const std::size_t peq = p.find('=');
            if (peq == std::string::npos) return std::nullopt;
            const std::string key = p.substr(0, peq), value = p.substr(peq + 1);
            if (key == "times") {
                if (!ParseInt(value, 10, f.times)) return std::nullopt;
            } else if (key == "cmd" && IsLoaderKind(f.kind)) {
                if (value.size() > 2 || !ParseInt(value, 16, f.cmd)) return std::nullopt;
            } else if (key == "cmd" && IsLinkKind(f.kind)) {
                if (value != "RUINF" && value != "EBSTS" && value != "ICHIP") return std::nullopt;
                f.linkCmd = value;
            } else if (key == "block" && IsLoaderKind(f.kind)) {
                if (!ParseInt(value, 10, f.block) || f.block > 255) return std::nullopt;
            } else if (key == "frame" && IsLoaderKind(f.kind)) {
                if (!ParseInt(value, 10, f.frame) || f.frame > 8) return std::nullopt;
            } else if (key == "at" && f.kind == FaultKind::PortHeld) {
                if (value == "start") f.atReopen = false;
                else if (value == "reopen") f.atReopen = true;
                else return std::nullopt;
            } else if (key == "at" && f.kind == FaultKind::NoPrompt) {
                if (value == "first") f.promptAt = 0;
                else if (value == "erase") f.promptAt = 1;
                else if (value == "record") f.promptAt = 2;
                else if (value.rfind("record=", 0) == 0) {
                    f.promptAt = 2;
                    if (!ParseInt(value.substr(7), 10, f.record)) return std::nullopt;
                } else {
                    return std::nullopt;
                }
            } else if (key == "record" && f.kind == FaultKind::NoPrompt) {
                f.promptAt = 2;
                if (!ParseInt(value, 10, f.record)) return std::nullopt;
            } else if (key == "pokes" && f.kind == FaultKind::NoPrompt) {
                if (!ParseInt(value, 10, f.pokes)) return std::nullopt;
            } else {
                return std::nullopt;
            }
        }
    }
    return f;
}

}  // namespace nimbra::sim
