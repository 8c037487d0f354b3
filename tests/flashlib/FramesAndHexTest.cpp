// Boot-loader frames on the wire, the frame check, the firmware file kinds and the
// Intel HEX conversion, on real files.
#include "FlashCore.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace nimbra::flash;
using nimbra::testsupport::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Frame(std::uint8_t first, std::uint8_t last, const Bytes& payload) {
    Bytes out(payload.size() + 5, 0xEE);
    const int n = BuildFrame(first, last, payload.data(), static_cast<int>(payload.size()), out.data());
    EXPECT_EQ(out[static_cast<std::size_t>(n)], 0) << "the byte after the frame must be 0";
    out.resize(static_cast<std::size_t>(n));
    return out;
}

TEST(Frames, WireBytesOfEveryFrameTheLibrarySends) {
    std::uint8_t block0[7], verify0[7], block5[7];
    BlockCommand(0x40, 0, block0);
    BlockCommand(0x13, 0, verify0);
    BlockCommand(0x40, 5, block5);
    struct Case {
        const char* name;
        Bytes got, want;
    } cases[] = {
        {"reset", Frame(SOH, ETX, {0x00}), {0x01, 0x01, 0x00, 0xFF, 0x03}},
        {"baud rate", Frame(SOH, ETX, {0x9A, 0x00, 0x00, 0x0A, 0x01}), {0x01, 0x05, 0x9A, 0x00, 0x00, 0x0A, 0x01, 0x56, 0x03}},
        {"signature", Frame(SOH, ETX, {0xC0}), {0x01, 0x01, 0xC0, 0x3F, 0x03}},
        {"erase", Frame(SOH, ETX, {0x20}), {0x01, 0x01, 0x20, 0xDF, 0x03}},
        {"ack status", Frame(STX, ETX, {0x06}), {0x02, 0x01, 0x06, 0xF9, 0x03}},
        {"program block 0", Frame(SOH, ETX, Bytes(block0, block0 + 7)),
         {0x01, 0x07, 0x40, 0x00, 0x00, 0x00, 0x00, 0x07, 0xFF, 0xB3, 0x03}},
        {"verify block 0", Frame(SOH, ETX, Bytes(verify0, verify0 + 7)),
         {0x01, 0x07, 0x13, 0x00, 0x00, 0x00, 0x00, 0x07, 0xFF, 0xE0, 0x03}},
        {"program block 5", Frame(SOH, ETX, Bytes(block5, block5 + 7)),
         {0x01, 0x07, 0x40, 0x00, 0x28, 0x00, 0x00, 0x2F, 0xFF, 0x63, 0x03}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.name;

    // A 256-byte data frame carries LEN 0x00; the sum still covers all 256 bytes.
    Bytes data(256);
    for (int i = 0; i < 256; ++i) data[i] = static_cast<std::uint8_t>(i);
    const Bytes f = Frame(STX, ETB, data);
    ASSERT_EQ(f.size(), 260u);
    EXPECT_EQ(f[0], STX);
    EXPECT_EQ(f[1], 0x00);
    EXPECT_EQ(f[258], 0x80);  // 0 - 0 - (0+1+...+255) mod 256
    EXPECT_EQ(f[259], ETB);
}

TEST(Frames, CheckFrameCodes) {
    struct Case {
        Bytes bytes;
        int expected, result;
    } cases[] = {
        {{0x02, 0x01, 0x06, 0xF9, 0x03}, 5, 0},
        {{0x02, 0x02, 0x06, 0x06, 0xF2, 0x03}, 6, 0},
        {{0x02, 0x01, 0x15, 0xEA, 0x03}, 5, 0},  // a valid refusal
        {{0x00, 0x00, 0x00, 0x00, 0x00}, 5, -1},  // silence: zero-filled buffer
        {{0x01, 0x01, 0x06, 0xF9, 0x03}, 5, -1},
        {{0x02, 0x02, 0x06, 0x06, 0xF2, 0x03}, 5, -2},
        {{0x02, 0x01, 0x06, 0xF8, 0x03}, 5, -3},
        {{0x02, 0x01, 0x06, 0xF9, 0x17}, 5, -4},  // ETB is not accepted at the end
    };
    for (const auto& c : cases) EXPECT_EQ(CheckFrame(c.bytes.data(), c.expected), c.result);
}

TEST(FirmwareFile, KindByTheLastThreeCharacters) {
    const std::pair<const char*, int> cases[] = {
        {"C/FIRMWARE.HEX", 0}, {"firmware.hex.bak", -1}, {"firmwarexhex", 0}, {"a.bin", 1},
        {"a.BiN", 1},          {"a.txt", -1},            {"ex", -1},          {"", -1},
    };
    for (const auto& [path, kind] : cases) EXPECT_EQ(GetFirmwareFileKind(path), kind) << path;
    EXPECT_EQ(ImagePathFor("/x/FIRMWARE.HEX"), "/x/FIRMWARE.bin");
}

// One HEX record with its checksum.
std::string Rec(unsigned type, unsigned address, const Bytes& data) {
    std::string s = ":";
    char buf[32];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    s += buf;
    for (auto b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return s + buf;
}
std::string Data(unsigned address, const Bytes& data) { return Rec(0, address, data); }
std::string Linear(unsigned upper) { return Rec(4, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)}); }
const std::string kEof = ":00000001FF";

class HexConversion : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    std::string Write(const std::string& text, const std::string& name = "fw.hex") {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    Bytes Image(const std::string& name = "fw.bin") {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    TempDir tmp_{"nhex"};
    const std::string dir_ = tmp_.path();
};

TEST_F(HexConversion, CasesAsOneTable) {
    struct Case {
        const char* name;
        std::string text;
        int result;
        std::size_t imageSize;                                // checked when result >= 0
        std::vector<std::pair<std::size_t, std::uint8_t>> at;  // image bytes to check
    };
    const Case cases[] = {
        {"plain", Data(0, {1, 2, 3}) + "\n" + kEof + "\n", 3, 2048, {{0, 1}, {2, 3}, {3, 0xFF}}},
        {"CRLF line ends, lower-case digits", "\r\n" + std::string(":0300100001020ae0") + "\r\n" + kEof + "\r\n", 0x13, 2048,
         {{0x10, 1}, {0x12, 0x0A}}},
        {"records after end of file still apply", kEof + "\n" + Data(0x10, {7}) + "\n", 0x11, 2048, {{0x10, 7}}},
        {"comments and blank lines skipped", "# made by hand\n\n" + Data(0, {9}) + "\nxyz\n", 1, 2048, {{0, 9}}},
        {"gap stays blank", Data(0, {1}) + "\n" + Data(0x1000, {2}) + "\n", 0x1001, 6144,
         {{0, 1}, {1, 0xFF}, {0xFFF, 0xFF}, {0x1000, 2}}},
        {"image ends at the last record, not the highest", Data(0x1000, {5}) + "\n" + Data(0x10, {6}) + "\n", 0x11, 2048,
         {{0x10, 6}}},
        {"end 4097 rounds to 6144", Data(0x1000, {1}) + "\n", 4097, 6144, {}},
        {"end 4096 stays 4096", Data(0xFFF, {1}) + "\n", 4096, 4096, {{0xFFF, 1}}},
        {"extended segment address", Rec(2, 0, {0x01, 0x00}) + "\n" + Data(0x10, {4}) + "\n", 0x1011, 6144,
         {{0x1010, 4}}},
        {"last byte at 0x1FFFFF", Linear(0x1F) + "\n" + Data(0xFFFF, {8}) + "\n", 0x200000, 0x200000,
         {{0x1FFFFF, 8}}},
        {"record across a 64 KiB boundary", Data(0xFFF8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}) + "\n",
         0x10008, 0x10800, {{0xFFF7, 0xFF}, {0xFFF8, 1}, {0xFFFF, 8}, {0x10000, 9}, {0x10007, 16}, {0x10008, 0xFF}}},
        {"start records ignored", Rec(3, 0, {0, 0, 0, 0}) + "\n" + Rec(5, 0, {0, 0, 0, 0}) + "\n" + Data(0, {1}) + "\n",
         1, 2048, {}},
        {"bad checksum", Data(0, {1}).substr(0, 11) + "00\n", -2, 0, {}},
        {"reaching 0x200000", Linear(0x1F) + "\n" + Data(0xFFFF, {8, 9}) + "\n", -3, 0, {}},
        {"segment record count", Rec(2, 0, {1}) + "\n", -4, 0, {}},
        {"start segment count", Rec(3, 0, {1, 2}) + "\n", -5, 0, {}},
        {"linear record count", Rec(4, 0, {1, 2, 3}) + "\n", -6, 0, {}},
        {"start linear count", Rec(5, 0, {1}) + "\n", -7, 0, {}},
        {"type above 05", Rec(6, 0, {}) + "\n", -8, 0, {}},
        {"first bad record ends it", Rec(6, 0, {}) + "\n" + Data(0, {1}).substr(0, 9) + "\n", -8, 0, {}},
        // Mended: these used to read past the line or become an empty image.
        {"count beyond the line", ":10000000F0\n", kHexMalformed, 0, {}},
        {"non-hex character", ":0100000G01FE\n", kHexMalformed, 0, {}},
        {"too short for a record", ":0\n", kHexMalformed, 0, {}},
        {"no data record", kEof + "\n", kHexNoData, 0, {}},
        {"empty file", "", kHexNoData, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ + "/fw.bin");
        const int r = ConvertIntelHex(Write(c.text));
        EXPECT_EQ(r, c.result);
        if (c.result < 0) {
            EXPECT_FALSE(fs::exists(dir_ + "/fw.bin")) << "no image on failure";
            continue;
        }
        const Bytes image = Image();
        ASSERT_EQ(image.size(), c.imageSize);
        for (auto [address, value] : c.at) EXPECT_EQ(image[address], value) << "at " << address;
    }
    EXPECT_EQ(ConvertIntelHex(dir_ + "/missing.hex"), -1);
}

TEST_F(HexConversion, ImageIsReplacedWholeOrNotAtAll) {
    // A failed conversion leaves the older image as it was.
    const std::string hex = Write(Data(0, Bytes(16, 0xAB)) + "\n");
    ASSERT_EQ(ConvertIntelHex(hex), 16);
    const Bytes old = Image();
    Write(Data(0, {1}) + "\n" + ":0100000000FE\n");
    EXPECT_EQ(ConvertIntelHex(hex), -2);
    EXPECT_EQ(Image(), old);

    // An image that cannot be written: -9, and no temporary file left behind.
    fs::create_directory(dir_ + "/dir.bin");
    fs::create_directory(dir_ + "/dir.bin/keep");
    EXPECT_EQ(ConvertIntelHex(Write(Data(0, {1}) + "\n", "dir.hex")), -9);
    EXPECT_TRUE(fs::exists(dir_ + "/dir.bin/keep"));
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
    EXPECT_EQ(entries, 4);  // fw.hex, fw.bin, dir.hex, dir.bin
}

}  // namespace
