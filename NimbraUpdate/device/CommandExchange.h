// Command frames, one exchange over the command link, and the answer parser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra {

inline constexpr std::size_t kFrameArea = 64;      // a frame is assembled in this many bytes
inline constexpr std::size_t kMaxFrameData = 58;   // so the data may be at most this long

// "T2", the data length (16-bit LE), the data, the data's byte sum mod 65536 (LE).
// Empty when `data` is longer than kMaxFrameData.
std::vector<std::uint8_t> BuildCommandFrame(std::string_view data);

// Command data of the three commands the program sends.
std::string RuinfCommandData();
std::string EbstsCommandData();
std::string IchipCommandData();  // "ICHIP:" with item MODE = "1"

enum class ExchangeOutcome { OpenFailure, RecvFailure, Answer };

struct ExchangeResult {
    ExchangeOutcome outcome = ExchangeOutcome::OpenFailure;
    std::vector<std::uint8_t> answer;  // the zero-filled receive area (capacity bytes)
    int n = 0;                         // answer bytes at its start (0..capacity)
};

// Open, send, receive, close with g_deviceSerial; the link is closed before the
// receive result is looked at.
ExchangeResult RunExchange(std::string_view commandData, int capacity, int wait);

// The value of the first item whose key begins with `key`, cut at its first zero
// byte and converted to UTF-8; empty when there is none. Reads only answer[0..n).
std::string GetResponseValue(const std::uint8_t* answer, int n, std::string_view key);

enum class StatusCheck { Accepted, Error1, Error2 };

// The STATUS item read as "%d-%d": fewer than two numbers Error1, a non-zero
// second number Error2, else Accepted.
StatusCheck CheckStatus(const std::uint8_t* answer, int n);
StatusCheck CheckStatusText(std::string_view status);

// Text conversions: the command link carries the locale's code page (UTF-8;
// invalid bytes become U+FFFD); the update-management file is single-byte text,
// each byte the character of the same code (Latin-1).
std::string AnsiToUtf8(std::string_view bytes);
std::string Latin1ToUtf8(std::string_view bytes);

}  // namespace nimbra
