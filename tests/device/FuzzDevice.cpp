// Fuzz target: the answer parser, the status check, the update-management readers
// and the version policy on arbitrary bytes. Built into the bounded driver run by
// ctest, and into a libFuzzer binary when the compiler is clang.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "CommandExchange.h"
#include "UpDateMng.h"

namespace {

bool ValidUtf8(const std::string& s) { return nimbra::AnsiToUtf8(s) == s; }

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace nimbra;
    // An exact-size heap copy, so any read past the answer is a sanitizer error.
    const std::vector<std::uint8_t> answer(data, data + size);
    const int n = static_cast<int>(size > 0x10000 ? 0x10000 : size);
    for (const char* key : {"STATUS", "FWV", "NETV", "AC", ""}) {
        const std::string v = GetResponseValue(answer.data(), n, key);
        Check(v.size() <= 3 * static_cast<std::size_t>(n) && ValidUtf8(v));
        Check(v.find('\0') == std::string::npos);
    }
    const StatusCheck s = CheckStatus(answer.data(), n);
    Check(s == StatusCheck::Accepted || s == StatusCheck::Error1 || s == StatusCheck::Error2);
    CheckStatusText(std::string(reinterpret_cast<const char*>(data), size));

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream titleIn(bytes);
    const std::string title = ReadUpDateMngTitleFrom(titleIn);
    Check(ValidUtf8(title) && title.size() <= 2 * size + 64);
    std::istringstream fileIn(bytes);
    DialogData d;
    ReadUpDateMngFrom(fileIn, d);
    d.m_devFirmVer = GetResponseValue(answer.data(), n, "FWV");
    d.m_devNetVer = GetResponseValue(answer.data(), n, "NETV");
    std::uint32_t serial = 0;
    if (size > 0) std::memcpy(&serial, data, size < 4 ? size : 4);
    const int t = DecideUpdateType(d, serial);
    Check(t >= 0 && t <= 7);
    Check((t & 2) == 0 || d.m_netImageNo == 809 || d.m_netImageNo == 810);
    return 0;
}
