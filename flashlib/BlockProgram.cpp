// Block programming and verify: 2 KiB blocks, each a command frame and eight
// 256-byte data frames; blank blocks are never sent.
#include "FlashCore.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace nimbra::flash {
namespace {

using namespace nimbra::serial;

constexpr int kPollMs = 10;
constexpr int kFramesPerBlock = 8;
constexpr int kFrameBytes = 256;

bool Blank(const std::uint8_t* block) {
    return std::all_of(block, block + kBlockSize, [](std::uint8_t b) { return b == 0xFF; });
}

// Percent of block i out of n. An image whose blocks are all blank has n = 0;
// it then counts as if one block were used (values past 100, as trailing blank
// blocks give anyway) instead of dividing by zero.
int Percent(int i, int n) { return 100 * i / std::max(n, 1); }

bool Cancelled() {
    const UpdateStatus* s = ThreadStatus(false);
    return s && s->cancel == 1;
}

struct BlockCodes {
    std::uint8_t command;
    int readMs;            // status after each data frame
    bool finalStatus;      // programming has a closing status frame per block
    int cancel, commandSend, commandCheck, commandNak, dataSend, dataCheck, dataNak, finalCheck, finalNak;
};

constexpr BlockCodes kProgram{0x40, 10000, true, -13, -4, -6, -7, -8, -10, -11, -9, -12};
constexpr BlockCodes kVerify{0x13, 3000, false, -11, -3, -5, -6, -7, -9, -10, 0, 0};

// Sends blocks 0..blocks-1 with their data frames. Returns the recorded code (0: none).
int SendBlocks(PortHandle port, const std::vector<std::uint8_t>& image, int blocks, int n, const BlockCodes& c) {
    int recorded = 0;
    for (int i = 0; i < blocks; ++i) {
        if (Cancelled()) {
            recorded = c.cancel;
            break;
        }
        SetPercent(Percent(i, n));
        const std::uint8_t* block = image.data() + static_cast<std::size_t>(i) * kBlockSize;
        if (Blank(block)) continue;

        PurgeComPort(port, 0);
        PurgeComPort(port, 1);
        std::uint8_t command[7];
        BlockCommand(c.command, i, command);
        if (SendFrame(port, SOH, ETX, command, 7) != 0) {
            recorded = c.commandSend;
            break;
        }
        std::uint8_t status[6] = {};
        ReadComPort(port, 3000, status, 5, kPollMs);
        if (CheckFrame(status, 5) != 0) {
            recorded = c.commandCheck;
            break;
        }
        if (status[2] != ACK) {
            recorded = c.commandNak;
            break;
        }
        // A data-frame failure ends only this block; later blocks still start, and
        // the recorded code ends each of them after its first data frame.
        for (int k = 0; k < kFramesPerBlock; ++k) {
            const bool lastFrame = k == kFramesPerBlock - 1;
            if (SendFrame(port, STX, lastFrame ? ETX : ETB, block + k * kFrameBytes, kFrameBytes) != 0) {
                recorded = c.dataSend;
                break;
            }
            std::fill(std::begin(status), std::end(status), 0);
            ReadComPort(port, c.readMs, status, 6, kPollMs);
            if (CheckFrame(status, 6) != 0) {
                recorded = c.dataCheck;
                break;
            }
            if (status[2] != ACK || status[3] != ACK) {
                recorded = c.dataNak;
                break;
            }
            if (lastFrame && c.finalStatus) {
                std::fill(std::begin(status), std::end(status), 0);
                ReadComPort(port, 1000, status, 5, kPollMs);
                if (CheckFrame(status, 5) != 0) {
                    recorded = c.finalCheck;
                    break;
                }
                if (status[2] != ACK) {
                    recorded = c.finalNak;
                    break;
                }
            }
            if (recorded != 0) break;
        }
    }
    return recorded;
}

}  // namespace

int LoadImage(const std::string& path, std::vector<std::uint8_t>* image) {
    int fd = -1;
    for (int attempt = 0; attempt < 5; ++attempt) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < 0) {
        close(fd);
        return -1;
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    const std::size_t rounded = (size + kBlockSize - 1) / kBlockSize * kBlockSize;
    try {
        image->assign(rounded, 0xFF);
    } catch (const std::bad_alloc&) {
        close(fd);
        return -2;
    }
    std::size_t done = 0;
    while (done < size) {
        ssize_t got = read(fd, image->data() + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // a file that shrank meanwhile: the rest stays blank
        done += static_cast<std::size_t>(got);
    }
    close(fd);
    return 0;
}

int LastUsedBlocks(const std::vector<std::uint8_t>& image) {
    for (std::size_t b = image.size() / kBlockSize; b > 0; --b)
        if (!Blank(image.data() + (b - 1) * kBlockSize)) return static_cast<int>(b);
    return 0;
}

void BlockCommand(std::uint8_t code, int block, std::uint8_t out[7]) {
    const std::uint32_t start = static_cast<std::uint32_t>(block) * kBlockSize;
    const std::uint32_t end = start + kBlockSize - 1;
    out[0] = code;
    out[1] = static_cast<std::uint8_t>(start >> 16);
    out[2] = static_cast<std::uint8_t>(start >> 8);
    out[3] = static_cast<std::uint8_t>(start);
    out[4] = static_cast<std::uint8_t>(end >> 16);
    out[5] = static_cast<std::uint8_t>(end >> 8);
    out[6] = static_cast<std::uint8_t>(end);
}

int Programming(PortHandle port, const std::string& imagePath, int flashSizeKB) {
    std::vector<std::uint8_t> image;
    if (int r = LoadImage(imagePath, &image); r != 0) return r;
    const int blocks = static_cast<int>(image.size() / kBlockSize);
    if (blocks > flashSizeKB / 2) return -3;
    const int n = LastUsedBlocks(image);
    const int recorded = SendBlocks(port, image, blocks, n, kProgram);
    return recorded != 0 ? recorded : n;
}

int Verify(PortHandle port, const std::string& imagePath, int n) {
    std::vector<std::uint8_t> image;
    if (int r = LoadImage(imagePath, &image); r != 0) return r;
    if (n <= 0) return 0;
    // The caller's n comes from programming the same file; never read past the image.
    const int blocks = std::min(n, static_cast<int>(image.size() / kBlockSize));
    return SendBlocks(port, image, blocks, n, kVerify);
}

const char* ProgrammingText(int code) {
    if (code >= 0) return "Programming(Success)\r\n";
    switch (code) {
    case -1: return "Programming(Send File Open Error)\r\n";
    case -2: return "Programming(Memory Alloc Error)\r\n";
    case -3: return "Programming(Calcu Block size Error)\r\n";
    case -4: return "Programming(Command Send Error)\r\n";
    case -6: return "Programming(Command Recv Check Error Error)\r\n";
    case -7: return "Programming(Command NAK Error)\r\n";
    case -8: return "Programming(Data Send Error)\r\n";
    case -9: return "Programming(Data Recv Error)\r\n";
    case -10: return "Programming(Data Recv Check Error Error)\r\n";
    case -11: return "Programming(Data NAK Error)\r\n";
    case -12: return "Programming(Final Data NAK Error)\r\n";
    default: return "Programming(Cancel)\r\n";
    }
}

const char* VerifyText(int code) {
    switch (code) {
    case 0: return "Verify(Success)\r\n";
    case -1: return "Verify(Send File Open Error)\r\n";
    case -2: return "Verify(Memory Alloc Error)\r\n";
    case -3: return "Verify(Command Send Error)\r\n";
    case -5: return "Verify(Command Recv Check Error Error)\r\n";
    case -6: return "Verify(Command NAK Error)\r\n";
    case -7: return "Verify(Data Send Error)\r\n";
    case -9: return "Verify(Data Recv Check Error Error)\r\n";
    case -10: return "Verify(Data NAK Error)\r\n";
    default: return "Verify(Cancel)\r\n";
    }
}

}  // namespace nimbra::flash
