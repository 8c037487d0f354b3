#include <fstream>
#include <sstream>

#include "SimTestUtil.h"

namespace {

std::string ReadFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Hex {
    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(nimbra::sim::kFlashSize, 0xFF);
    std::size_t dataBytes = 0, ela = 0, rec16 = 0, rec32 = 0, end = 0;
    bool ok = true;
};

// A strict reader: every line a record with a good checksum, CRLF ends.
Hex ParseHex(const std::string& text) {
    Hex h;
    std::istringstream in(text);
    std::string line;
    std::uint32_t base = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line.back() != '\r' || line[0] != ':') return h.ok = false, h;
        line.pop_back();
        std::vector<std::uint8_t> b;
        for (std::size_t i = 1; i + 1 < line.size(); i += 2) b.push_back(static_cast<std::uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
        unsigned sum = 0;
        for (auto x : b) sum += x;
        if ((sum & 0xFF) != 0 || b.size() != b[0] + 5u) return h.ok = false, h;
        const std::uint32_t addr = (b[1] << 8) | b[2];
        if (b[3] == 4) {
            base = ((b[4] << 8) | b[5]) << 16;
            h.ela++;
        } else if (b[3] == 0) {
            for (std::size_t i = 0; i < b[0]; ++i) h.image.at(base + addr + i) = b[4 + i];
            h.dataBytes += b[0];
            (b[0] == 16 ? h.rec16 : h.rec32) += b[0] == 16 || b[0] == 32;
            h.end = base + addr + b[0];
        } else if (b[3] != 1) {
            return h.ok = false, h;
        }
    }
    return h;
}

TEST(Samples, AreDeterministicAndCarryTheirTags) {
    nimbra::testsupport::TempDir tmp("nsim");
    ASSERT_FALSE(tmp.path().empty());
    const std::string a = tmp / "a", b = tmp / "b", full = tmp / "full";
    nimbra::sim::SampleOptions o;
    o.firmVersion = "9.87";
    ASSERT_EQ(nimbra::sim::WriteSamples(a, o), 0);
    ASSERT_EQ(nimbra::sim::WriteSamples(b, o), 0);
    for (const char* f : {"Nimbra.hex", "Nimbra_809.imf", "Nimbra_810.imf", "Nimbra.img", "UpDateMng.txt"})
        EXPECT_EQ(ReadFile(a + "/" + f), ReadFile(b + "/" + f)) << f;

    Hex h = ParseHex(ReadFile(a + "/Nimbra.hex"));
    ASSERT_TRUE(h.ok);
    EXPECT_EQ(h.dataBytes, o.firmBytes);
    EXPECT_GE(h.ela, 2u) << "data above 64 KiB needs extended linear address records";
    EXPECT_GT(h.rec16, 0u);
    EXPECT_GT(h.rec32, 0u);
    const std::string tag = std::string(nimbra::sim::kFirmVersionMarker) + "9.87";
    const std::string img(h.image.begin(), h.image.end());
    EXPECT_NE(img.find(tag + '\0'), std::string::npos);
    int blank = 0;
    for (std::size_t blk = 0; blk < h.end / 2048; ++blk)
        blank += std::all_of(h.image.begin() + blk * 2048, h.image.begin() + (blk + 1) * 2048, [](auto c) { return c == 0xFF; });
    EXPECT_GT(blank, 0) << "0xFF gaps leave blank blocks";

    for (const char* f : {"/Nimbra_809.imf", "/Nimbra_810.imf"}) {
        const std::string imf = ReadFile(a + f);
        ASSERT_EQ(imf.size(), o.imfBytes);
        std::uint32_t load = 0;
        for (int i = 0; i < 4; ++i) load |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(imf[80 + i])) << (8 * i);
        EXPECT_EQ(load, o.imfLoadAddress);
        EXPECT_NE(imf.find(std::string(nimbra::sim::kNetVersionMarker) + o.netVersion + '\0'), std::string::npos);
    }
    EXPECT_NE(ReadFile(a + "/Nimbra_809.imf"), ReadFile(a + "/Nimbra_810.imf"));
    EXPECT_NE(ReadFile(a + "/Nimbra.img").find(std::string(nimbra::sim::kWebVersionMarker) + o.webVersion + '\0'), std::string::npos);
    EXPECT_EQ(ReadFile(a + "/UpDateMng.txt"), "#T#:1.31\r\n#F#:9.87\r\n#N#:2.01\r\n#P#:2.01\r\n#W#:OFF\r\n");

    o.fullFlash = true;
    ASSERT_EQ(nimbra::sim::WriteSamples(full, o), 0);
    Hex f = ParseHex(ReadFile(full + "/Nimbra.hex"));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.dataBytes, nimbra::sim::kFlashSize);
    EXPECT_EQ(f.end, nimbra::sim::kFlashSize);
    EXPECT_EQ(f.ela, 8u);
}

}  // namespace
