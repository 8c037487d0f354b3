// Deterministic synthetic sample files: the same options always give the same bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "Simulator.h"

namespace nimbra::sim {

namespace {

class Noise {
public:
    explicit Noise(std::uint32_t seed) : s_(seed ? seed : 1) {}
    std::uint8_t Next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 17;
        s_ ^= s_ << 5;
        return static_cast<std::uint8_t>(s_ >> 11);
    }

private:
    std::uint32_t s_;
};

void PutTag(std::vector<std::uint8_t>& image, std::size_t at, const char* marker, const std::string& version) {
    std::string tag = std::string(marker) + version.substr(0, 15);
    if (at + tag.size() + 1 > image.size()) return;
    std::memcpy(image.data() + at, tag.data(), tag.size());
    image[at + tag.size()] = 0;
}

std::string HexRecord(std::uint8_t type, std::uint16_t addr, const std::uint8_t* data, std::size_t n) {
    std::string line = ":";
    char b[16];
    unsigned sum = static_cast<unsigned>(n) + (addr >> 8) + (addr & 0xFF) + type;
    std::snprintf(b, sizeof b, "%02X%04X%02X", static_cast<unsigned>(n), addr, type);
    line += b;
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", data[i]);
        line += b;
        sum += data[i];
    }
    std::snprintf(b, sizeof b, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + b + "\r\n";
}

bool WriteFile(const std::string& path, const void* data, std::size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    return static_cast<bool>(out);
}

// Main firmware as Intel HEX: data in runs of 6 KiB with 4 KiB left blank between
// them (so some 2 KiB blocks are blank), 32-byte records in even runs and 16-byte
// records in odd ones, an extended linear address record at every 64 KiB boundary.
std::string MakeHex(const SampleOptions& o) {
    const std::size_t total = o.fullFlash ? kFlashSize : std::min(o.firmBytes, kFlashSize * 6 / 10);
    const std::size_t run = o.fullFlash ? kFlashSize : 6 * 1024, gap = o.fullFlash ? 0 : 4 * 1024;
    std::vector<std::uint8_t> image(kFlashSize, 0xFF);
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    Noise noise(0x4E494D42);
    std::size_t left = total, at = 0;
    while (left > 0 && at < kFlashSize) {
        const std::size_t n = std::min({left, run, kFlashSize - at});
        for (std::size_t i = 0; i < n; ++i) image[at + i] = noise.Next();
        runs.emplace_back(at, n);
        left -= n;
        at += n + gap;
    }
    PutTag(image, 0x100, kFirmVersionMarker, o.firmVersion);

    std::string hex;
    long upper = -1;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::size_t recLen = (r % 2 == 0) ? 32 : 16;
        for (std::size_t a = runs[r].first; a < runs[r].first + runs[r].second; a += recLen) {
            const std::size_t n = std::min(recLen, runs[r].first + runs[r].second - a);
            if (static_cast<long>(a >> 16) != upper) {
                upper = static_cast<long>(a >> 16);
                const std::uint8_t ela[2] = {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)};
                hex += HexRecord(0x04, 0, ela, 2);
            }
            hex += HexRecord(0x00, static_cast<std::uint16_t>(a & 0xFFFF), image.data() + a, n);
        }
    }
    hex += HexRecord(0x01, 0, nullptr, 0);
    return hex;
}

std::vector<std::uint8_t> MakeImage(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> image(size);
    Noise noise(seed);
    for (auto& b : image) b = noise.Next();
    return image;
}

}  // namespace

int WriteSamples(const std::string& dir, const SampleOptions& options) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    bool ok = true;

    const std::string hex = MakeHex(options);
    ok &= WriteFile(dir + "/Nimbra.hex", hex.data(), hex.size());

    const std::size_t imfSize = std::max<std::size_t>(options.imfBytes, 0x400);
    for (int no : {809, 810}) {
        std::vector<std::uint8_t> imf = MakeImage(imfSize, no == 809 ? 0x00080900u : 0x00081000u);
        for (int i = 0; i < 4; ++i) imf[80 + i] = static_cast<std::uint8_t>(options.imfLoadAddress >> (8 * i));
        PutTag(imf, 0x200, kNetVersionMarker, options.netVersion);
        ok &= WriteFile(dir + "/Nimbra_" + std::to_string(no) + ".imf", imf.data(), imf.size());
    }

    std::vector<std::uint8_t> img = MakeImage(options.imgBytes, 0x00494D47u);
    PutTag(img, 0x40, kWebVersionMarker, options.webVersion);
    ok &= WriteFile(dir + "/Nimbra.img", img.data(), img.size());

    const std::string mng = "#T#:" + options.title + "\r\n#F#:" + options.firmVersion + "\r\n#N#:" +
                            options.netVersion + "\r\n#P#:" + options.netVersion + "\r\n#W#:" + options.webSwitch + "\r\n";
    ok &= WriteFile(dir + "/UpDateMng.txt", mng.data(), mng.size());
    return ok ? 0 : -1;
}

}  // namespace nimbra::sim
