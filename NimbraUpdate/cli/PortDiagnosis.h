// Why a logger's port cannot be used: the answers a person needs when the update
// says "no logger" although one is plugged in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nimbra::cli {

struct PortProblem {
    enum Kind { Permission, HeldElsewhere, Other } kind = Other;
    int com = 0;
    std::string path;     // the tty
    std::string message;  // what to tell the user, with what to do
};

// The COM numbers of the bridges with the logger's product id, whether or not they
// can be opened now: the virtual bus entries, or the USB ttys in sysfs.
std::vector<int> CandidatePorts(std::uint16_t productId);

// Opens each candidate the way the flash library does and explains each failure.
std::vector<PortProblem> DiagnosePorts(std::uint16_t productId);

// The processes that hold `path` open or locked ("1234 (minicom)"), best effort.
std::vector<std::string> ProcessesHolding(const std::string& path);

}  // namespace nimbra::cli
