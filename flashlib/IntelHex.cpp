// Intel HEX to flat image. The file is read once in chunks and each line is parsed
// in place; the image (2 MiB) is the only large allocation.
#include "FlashCore.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbra::flash {
namespace {

// Digit values 0..15; kNotHex for every other character.
constexpr unsigned kNotHex = 0x10;
struct HexTable {
    std::uint8_t v[256];
    constexpr HexTable() : v{} {
        for (int i = 0; i < 256; ++i) v[i] = kNotHex;
        for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<std::uint8_t>(i);
        for (int i = 0; i < 6; ++i) {
            v['a' + i] = static_cast<std::uint8_t>(10 + i);
            v['A' + i] = static_cast<std::uint8_t>(10 + i);
        }
    }
};
constexpr HexTable kHex;

inline unsigned Nibble(char c) { return kHex.v[static_cast<unsigned char>(c)]; }
// Count, address, type, 255 data bytes and the checksum.
constexpr std::size_t kMaxRecordBytes = 260;

bool WriteFull(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

int GetFirmwareFileKind(const std::string& path) {
    if (path.size() < 3) return -1;
    std::string tail = path.substr(path.size() - 3);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tail == "hex") return 0;
    if (tail == "bin") return 1;
    return -1;
}

std::string ImagePathFor(const std::string& hexPath) {
    return hexPath.substr(0, hexPath.size() - std::min<std::size_t>(3, hexPath.size())) + "bin";
}

void HexImage::Store(std::size_t address, const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const std::size_t i = address / kChunk, offset = address % kChunk;
        const std::size_t n = std::min(count, kChunk - offset);
        if (!chunks_[i]) {
            chunks_[i].reset(new std::uint8_t[kChunk]);
            std::memset(chunks_[i].get(), 0xFF, kChunk);
        }
        std::memcpy(chunks_[i].get() + offset, data, n);
        address += n;
        data += n;
        count -= n;
    }
}

int HexImage::Line(const char* t, std::size_t len) {
    // Line ends of any convention, and trailing blanks, are not part of the record.
    while (len > 0 && (t[len - 1] == '\r' || t[len - 1] == ' ' || t[len - 1] == '\t')) --len;
    if (len == 0 || t[0] != ':') return 0;

    // One pass decodes the digit pairs, sums them and notes any character that is
    // not a hex digit: a record holding one is not trusted at all.
    std::uint8_t bytes[kMaxRecordBytes];
    const std::size_t pairs = (len - 1) / 2;
    unsigned sum = 0;
    unsigned bad = 0;
    for (std::size_t k = 0; k < pairs; ++k) {
        const unsigned hi = Nibble(t[1 + 2 * k]), lo = Nibble(t[2 + 2 * k]);
        bad |= hi | lo;
        const unsigned v = ((hi << 4) | lo) & 0xFF;
        sum += v;
        if (k < kMaxRecordBytes) bytes[k] = static_cast<std::uint8_t>(v);
    }
    if ((len - 1) % 2 != 0) {  // a last single character forms a group of its own
        const unsigned last = Nibble(t[len - 1]);
        bad |= last;
        sum += last & 0xF;
    }
    if (bad & kNotHex) return kHexMalformed;
    if ((sum & 0xFF) != 0) return -2;

    if (len < 11) return kHexMalformed;  // no room for count, address, type and checksum
    const unsigned count = bytes[0];
    const unsigned type = bytes[3];
    // The fields the record claims must lie on its line.
    const bool fits = len >= 11 + 2 * static_cast<std::size_t>(count);
    switch (type) {
    case 0x00: {
        if (!fits) return kHexMalformed;
        const std::uint64_t address = static_cast<std::uint64_t>(bytes[1] * 256u + bytes[2]) + base_;
        if (address + count > kImageSpace) return -3;
        Store(static_cast<std::size_t>(address), bytes + 4, count);
        end_ = static_cast<long>(address + count);
        if (count > 0) anyData_ = true;
        return 0;
    }
    case 0x01:
        return 0;  // reading goes on: records after it still count
    case 0x02:
        if (count != 2) return -4;
        if (!fits) return kHexMalformed;
        base_ = ((bytes[4] << 8) | bytes[5]) * 16u;
        return 0;
    case 0x03:
        return count != 4 ? -5 : 0;
    case 0x04:
        if (count != 2) return -6;
        if (!fits) return kHexMalformed;
        base_ = static_cast<std::uint32_t>((bytes[4] << 8) | bytes[5]) << 16;
        return 0;
    case 0x05:
        return count != 4 ? -7 : 0;
    default:
        return -8;
    }
}

int HexImage::Finish() const {
    // A file without a single data byte would become an empty image, and the update
    // would erase the target and report success: refuse it.
    if (!anyData_) return kHexNoData;
    return static_cast<int>(end_);
}

static int ConvertOpen(int in, const std::string& hexPath) {
    HexImage hex;
    std::string carry;
    std::vector<char> chunk(64 * 1024);
    int error = 0;
    for (;;) {
        ssize_t got = read(in, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = -1;
            break;
        }
        if (got == 0) break;
        const char* p = chunk.data();
        const char* end = p + got;
        while (error == 0) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (!nl) {
                carry.append(p, end);
                break;
            }
            if (carry.empty()) {
                error = hex.Line(p, static_cast<std::size_t>(nl - p));
            } else {
                carry.append(p, nl);
                error = hex.Line(carry.data(), carry.size());
                carry.clear();
            }
            p = nl + 1;
        }
        if (error != 0) break;
    }
    if (error == 0 && !carry.empty()) error = hex.Line(carry.data(), carry.size());
    if (error != 0) return error;
    const int endPosition = hex.Finish();
    if (endPosition < 0) return endPosition;

    const std::size_t length = (static_cast<std::size_t>(endPosition) + kBlockSize - 1) / kBlockSize * kBlockSize;
    const std::string imagePath = ImagePathFor(hexPath);
    std::string temp = imagePath + ".XXXXXX";
    const int out = mkstemp(temp.data());
    if (out < 0) return -9;
    static const std::vector<std::uint8_t> blank(HexImage::kChunk, 0xFF);
    bool ok = fchmod(out, 0644) == 0;
    for (std::size_t i = 0; ok && i * HexImage::kChunk < length; ++i) {
        const std::uint8_t* chunk = hex.Chunk(i);
        ok = WriteFull(out, chunk ? chunk : blank.data(), std::min(HexImage::kChunk, length - i * HexImage::kChunk));
    }
    ok = (close(out) == 0) && ok;
    if (!ok || rename(temp.c_str(), imagePath.c_str()) != 0) {
        unlink(temp.c_str());
        return -9;
    }
    return endPosition;
}

int ConvertIntelHex(const std::string& hexPath) {
    const int in = open(hexPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    int result = -9;
    try {
        result = ConvertOpen(in, hexPath);
    } catch (const std::bad_alloc&) {
    }
    close(in);
    return result;
}

}  // namespace nimbra::flash
