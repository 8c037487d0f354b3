// Internals of the flash library: HEX conversion, boot-loader framing and steps,
// block programming and verify, port discovery and the update driver. The exports
// in Exports.cpp are thin wrappers around these.
#pragma once

#include "SerialPort.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nimbra::flash {

using serial::PortHandle;

// ---- per-thread status ----------------------------------------------------------
struct UpdateStatus {
    int step = 0;
    int percent = 0;
    int cancel = 0;
};
// The calling thread's record; nullptr when it has none (and `create` is false or
// memory ran out). Freed when the thread ends.
UpdateStatus* ThreadStatus(bool create);
// Writes the calling thread's `percent` (when it has a record) and tells the
// thread's percent observer, if one is set. The observer sees every value, also
// those that no write follows (blank blocks); tracing and tests use it.
void SetPercent(int value);
using PercentObserver = void (*)(void* context, int percent);
void SetPercentObserver(PercentObserver observer, void* context);

// ---- Intel HEX ------------------------------------------------------------------
inline constexpr std::size_t kImageSpace = 0x200000;
inline constexpr std::size_t kBlockSize = 2048;

// 0 HEX, 1 flat image, -1 neither (by the last three characters, any case).
int GetFirmwareFileKind(const std::string& path);
// The image file written for a HEX file: its last three characters replaced by "bin".
std::string ImagePathFor(const std::string& hexPath);

// Result codes beyond the classic -1..-9.
inline constexpr int kHexMalformed = -10;  // non-hex characters, too short, count beyond the line
inline constexpr int kHexNoData = -11;     // no data byte in the whole file

// The image of a HEX file: kImageSpace bytes, 0xFF where no record writes. Memory
// is taken in 64 KiB chunks as records reach them, so a small image stays small.
class HexImage {
public:
    static constexpr std::size_t kChunk = 64 * 1024;
    // Feeds one line (without its line end). Returns 0 or the conversion's error code
    // (-2..-8, kHexMalformed).
    int Line(const char* text, std::size_t length);
    // After the last line: the end position, or kHexNoData.
    int Finish() const;
    // Chunk i (kChunk bytes), or nullptr when no record reached it (all 0xFF).
    const std::uint8_t* Chunk(std::size_t i) const { return chunks_[i].get(); }

private:
    void Store(std::size_t address, const std::uint8_t* data, std::size_t count);
    std::unique_ptr<std::uint8_t[]> chunks_[kImageSpace / kChunk];
    std::uint32_t base_ = 0;
    long end_ = -1;
    bool anyData_ = false;
};

// Reads the HEX file, writes the image file beside it (atomically: a temporary file
// renamed over the old one) and returns the end position, or -1..-11.
int ConvertIntelHex(const std::string& hexPath);

// ---- boot-loader framing ----------------------------------------------------------
inline constexpr std::uint8_t SOH = 0x01, STX = 0x02, ETX = 0x03, ETB = 0x17, ACK = 0x06;

inline constexpr int kMaxPayload = 256;
// Writes the frame (first, LEN, payload, SUM, last) and one zero byte into `out`
// (n + 5 bytes); returns the frame's length, n + 4.
int BuildFrame(std::uint8_t first, std::uint8_t last, const std::uint8_t* payload, int n, std::uint8_t* out);
int SendFrame(PortHandle port, std::uint8_t first, std::uint8_t last, const std::uint8_t* payload, int n);
int CheckFrame(const std::uint8_t* bytes, int expected);

// The bridge's output lines through the CP210x runtime.
int Latch(PortHandle port, unsigned short mask, unsigned short value);

int Programming_Mode(PortHandle port, bool enter);
int Reset_Synchro(PortHandle port, bool first);
int Change_BaudRate(PortHandle port);
int Silicon_Signature(PortHandle port);
int Erace_Flash(PortHandle port);

// Log texts of the steps for their codes.
const char* ProgrammingModeText(int code);
const char* ResetSynchroText(int code);
const char* ChangeBaudRateText(int code);
const char* SiliconSignatureText(int code);
const char* EraceFlashText(int code);
const char* ProgrammingText(int code);
const char* VerifyText(int code);

// ---- block programming and verify -----------------------------------------------
// Loads the image file into a buffer rounded up to whole blocks (tail 0xFF).
int LoadImage(const std::string& path, std::vector<std::uint8_t>* image);
// One more than the last non-blank block; 0 when all are blank.
int LastUsedBlocks(const std::vector<std::uint8_t>& image);
// Command payload (7 bytes) for block i: code, start and end address, MSB first.
void BlockCommand(std::uint8_t code, int block, std::uint8_t out[7]);

int Programming(PortHandle port, const std::string& imagePath, int flashSizeKB);
int Verify(PortHandle port, const std::string& imagePath, int n);

// ---- discovery and identity -------------------------------------------------------
inline constexpr std::uint16_t kVendorId = 0x2a7c;
inline constexpr std::uint16_t kDefaultProductId = 0x0d3b;

// Flags COM(k+1) in flags[k] for every port of the bridge named by "vvvv-pppp".
// 0 after a walk, -2 malformed identity text, -3 nothing of that identity known.
int FindUsbComPorts(const std::string& identityText, std::uint8_t flags[256]);
int ComTable(std::uint16_t productId, std::uint16_t* table);

// Checks the bridge on an open port; on failure closes it and appends the line.
int CheckBridgeIdentity(PortHandle port, const char* product, const char* serial, std::string* log);

// ---- driver -----------------------------------------------------------------------
int RunUpdate(const char* firmwarePath, int port, const char* productString, const char* serialNumber,
              int flashSizeKB, int verify);
// Folder of the running program (no trailing slash).
std::string ProgramFolder();
void WriteFlightMsg(const std::string& log, int port);
int ResetLine(int port, int mask, int level);

}  // namespace nimbra::flash
