#include "CommandExchange.h"

#include <algorithm>
#include <cstring>

#include "Globals.h"
#include "KorvatSarnComm.h"

namespace nimbra {

std::vector<std::uint8_t> BuildCommandFrame(std::string_view data) {
    if (data.size() > kMaxFrameData) return {};
    std::uint8_t area[kFrameArea] = {};
    const std::size_t n = data.size();
    area[0] = 0x54;
    area[1] = 0x32;
    area[2] = static_cast<std::uint8_t>(n & 0xFF);
    area[3] = static_cast<std::uint8_t>(n >> 8);
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        area[4 + i] = static_cast<std::uint8_t>(data[i]);
        sum += area[4 + i];
    }
    sum &= 0xFFFF;
    area[4 + n] = static_cast<std::uint8_t>(sum & 0xFF);
    area[5 + n] = static_cast<std::uint8_t>(sum >> 8);
    return std::vector<std::uint8_t>(area, area + 6 + n);
}

std::string RuinfCommandData() { return "RUINF:"; }
std::string EbstsCommandData() { return "EBSTS:"; }
std::string IchipCommandData() { return std::string("ICHIP:MODE=\x01\x00" "1", 14); }

ExchangeResult RunExchange(std::string_view commandData, int capacity, int wait) {
    ExchangeResult r;
    const std::uint32_t serial = g_deviceSerial.load();
    if (KorvatSarn_OpenUSBComm(serial) != 0) {
        r.outcome = ExchangeOutcome::OpenFailure;
        return r;
    }
    const std::vector<std::uint8_t> frame = BuildCommandFrame(commandData);
    KorvatSarn_SendComm(serial, frame.data(), static_cast<int>(frame.size()));
    capacity = std::max(capacity, 0);
    r.answer.assign(static_cast<std::size_t>(capacity), 0);
    const int got = KorvatSarn_RecvComm(serial, r.answer.data(), capacity, wait);
    KorvatSarn_CloseComm(serial);
    if (got < 0) {
        r.outcome = ExchangeOutcome::RecvFailure;
        return r;
    }
    // A count beyond the area would make every later read run past it.
    r.n = std::min(got, capacity);
    r.outcome = ExchangeOutcome::Answer;
    return r;
}

std::string GetResponseValue(const std::uint8_t* answer, int n, std::string_view key) {
    if (answer == nullptr || n <= 0) return {};
    const std::size_t end = static_cast<std::size_t>(n);
    const std::size_t k = key.size();
    auto byteAt = [&](std::size_t i) -> unsigned { return i < end ? answer[i] : 0u; };

    std::size_t pos = 4;
    while (pos < end && answer[pos] != ':') ++pos;
    std::size_t item = pos + 1;
    while (item < end) {
        const auto* eqp = static_cast<const std::uint8_t*>(std::memchr(answer + item, '=', end - item));
        if (eqp == nullptr) return {};
        const std::size_t eq = static_cast<std::size_t>(eqp - answer);
        const std::size_t len = byteAt(eq + 1) | byteAt(eq + 2) << 8;
        if (eq - item >= k && std::memcmp(answer + item, key.data(), k) == 0) {
            const std::size_t start = eq + 3;
            if (start >= end) return {};
            std::size_t stop = std::min(start + len, end);
            if (const void* zero = std::memchr(answer + start, 0, stop - start))
                stop = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - answer);
            return AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(answer + start), stop - start));
        }
        item = eq + 3 + len;
    }
    return {};
}

namespace {

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// One "%d" conversion: white space, optional sign, at least one digit.
// `zero` tells whether the number is 0 (kept exact however long the digits run).
bool ScanInt(std::string_view s, std::size_t& pos, bool& zero) {
    while (pos < s.size() && IsCSpace(s[pos])) ++pos;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) ++pos;
    const std::size_t digits = pos;
    zero = true;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        if (s[pos] != '0') zero = false;
        ++pos;
    }
    return pos > digits;
}

}  // namespace

StatusCheck CheckStatusText(std::string_view s) {
    std::size_t pos = 0;
    bool zero = false;
    if (!ScanInt(s, pos, zero)) return StatusCheck::Error1;
    if (pos >= s.size() || s[pos] != '-') return StatusCheck::Error1;
    ++pos;
    if (!ScanInt(s, pos, zero)) return StatusCheck::Error1;
    return zero ? StatusCheck::Accepted : StatusCheck::Error2;
}

StatusCheck CheckStatus(const std::uint8_t* answer, int n) {
    return CheckStatusText(GetResponseValue(answer, n, "STATUS"));
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string AnsiToUtf8(std::string_view bytes) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    auto cont = [&](std::size_t j) { return j < size && (static_cast<unsigned char>(bytes[j]) & 0xC0) == 0x80; };
    while (i < size) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t len = 0;
        if (c < 0x80) len = 1;
        else if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c >= 0xE0 && c <= 0xEF) len = 3;
        else if (c >= 0xF0 && c <= 0xF4) len = 4;
        bool ok = len > 0;
        for (std::size_t j = 1; ok && j < len; ++j) ok = cont(i + j);
        if (ok && len >= 3) {
            const auto c1 = static_cast<unsigned char>(bytes[i + 1]);
            if (c == 0xE0 && c1 < 0xA0) ok = false;   // overlong
            if (c == 0xED && c1 >= 0xA0) ok = false;  // surrogate
            if (c == 0xF0 && c1 < 0x90) ok = false;   // overlong
            if (c == 0xF4 && c1 >= 0x90) ok = false;  // beyond U+10FFFF
        }
        if (ok) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            out.append(kReplacement);
            ++i;
        }
    }
    return out;
}

}  // namespace nimbra
