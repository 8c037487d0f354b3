// Block programming and verify over a real pty, against a stand-in boot loader
// that records every frame it receives.
#include "FakeBootLoader.h"
#include "FlashCore.h"
#include "PtyLine.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace nimbra::flash;
using flashtest::FakeBootLoader;
using flashtest::Frame;
using nimbra::testsupport::PtyLine;
using nimbra::testsupport::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint16_t kCom = 11;

class BlockSteps : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_NO_FATAL_FAILURE(pty_.Open(dir_.path(), kCom));
        ASSERT_EQ(nimbra::serial::OpenComPortDefault(kCom, 1024, 1024, 115200, &port_), 0);
        status_ = ThreadStatus(true);
        ASSERT_NE(status_, nullptr);
        *status_ = UpdateStatus{};
        SetPercentObserver([](void* c, int p) { static_cast<std::vector<int>*>(c)->push_back(p); }, &percents_);
    }
    void TearDown() override {
        SetPercentObserver(nullptr, nullptr);
        nimbra::serial::SetThreadMessagePump(nullptr, nullptr);
        nimbra::serial::CloseComPort(port_);
        pty_.Close();
    }

    // An image whose listed blocks hold data (block i filled with i + 1) and the rest 0xFF.
    std::string ImageFile(int blocks, std::initializer_list<int> used, std::size_t trim = 0) {
        image_.assign(static_cast<std::size_t>(blocks) * kBlockSize - trim, 0xFF);
        for (int b : used)
            for (std::size_t k = 0; k < kBlockSize && b * kBlockSize + k < image_.size(); k += 3)
                image_[b * kBlockSize + k] = static_cast<std::uint8_t>(b + 1);
        const std::string path = dir_ / "fw.bin";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image_.data()),
                                                    static_cast<std::streamsize>(image_.size()));
        return path;
    }

    // The blocks that got a command, in order, and how many data frames each got.
    static std::vector<std::pair<int, int>> Blocks(const std::vector<Frame>& frames) {
        std::vector<std::pair<int, int>> out;
        for (const Frame& f : frames) {
            if (f.first == SOH)
                out.push_back({(f.payload[1] << 16 | f.payload[2] << 8 | f.payload[3]) / 2048, 0});
            else if (!out.empty())
                ++out.back().second;
        }
        return out;
    }

    TempDir dir_{"nblk"};
    PtyLine pty_;
    nimbra::serial::PortHandle port_ = nimbra::serial::kInvalidPort;
    UpdateStatus* status_ = nullptr;
    std::vector<int> percents_;
    Bytes image_;
};

TEST_F(BlockSteps, BlankBlocksAreSkippedAndPercentRunsPerBlock) {
    const std::string path = ImageFile(6, {0, 1, 5});
    FakeBootLoader loader(pty_.master());
    EXPECT_EQ(Programming(port_, path, 512), 6);
    EXPECT_EQ(percents_, (std::vector<int>{0, 16, 33, 50, 66, 83}));
    EXPECT_EQ(status_->percent, 83);

    auto frames = loader.Frames();
    using P = std::vector<std::pair<int, int>>;
    EXPECT_EQ(Blocks(frames), (P{{0, 8}, {1, 8}, {5, 8}}));
    // The data frames carry the image: block 5's bytes, ETB on frames 0..6, ETX on 7.
    Bytes sent;
    for (std::size_t i = frames.size() - 8; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].last, i + 1 == frames.size() ? ETX : ETB);
        sent.insert(sent.end(), frames[i].payload.begin(), frames[i].payload.end());
    }
    EXPECT_EQ(sent, Bytes(image_.begin() + 5 * 2048, image_.begin() + 6 * 2048));

    percents_.clear();
    EXPECT_EQ(Verify(port_, path, 6), 0);
    frames = loader.Frames();
    EXPECT_EQ(frames.size(), 2 * 27u);
    EXPECT_EQ(frames[27].payload[0], 0x13);
    EXPECT_EQ(percents_, (std::vector<int>{0, 16, 33, 50, 66, 83}));
}

TEST_F(BlockSteps, CancelTakesEffectAtTheNextBlockBoundary) {
    const std::string path = ImageFile(5, {0, 1, 2, 3, 4});
    FakeBootLoader loader(pty_.master());
    // The pump runs before every write: cancel while block 3 is under way.
    struct Ctx {
        UpdateStatus* status;
    } ctx{status_};
    nimbra::serial::SetThreadMessagePump(
        [](void* c) {
            auto* s = static_cast<Ctx*>(c)->status;
            if (s->percent == 60) s->cancel = 1;
        },
        &ctx);
    EXPECT_EQ(Programming(port_, path, 512), -13);
    using P = std::vector<std::pair<int, int>>;
    EXPECT_EQ(Blocks(loader.Frames()), (P{{0, 8}, {1, 8}, {2, 8}, {3, 8}}));
    EXPECT_EQ(status_->percent, 60);

    status_->cancel = 1;
    EXPECT_EQ(Verify(port_, path, 5), -11);
}

TEST_F(BlockSteps, RefusedDataFrameEndsOnlyItsBlock) {
    const std::string path = ImageFile(5, {0, 1, 2, 3, 4});
    int dataFrames = 0;
    FakeBootLoader loader(pty_.master(), [&](const Frame& f, std::uint8_t command) {
        if (f.first == STX && ++dataFrames == 17) return flashtest::Status({0x06, 0x15});  // block 2, frame 0
        return FakeBootLoader::Healthy(f, command);
    });
    EXPECT_EQ(Programming(port_, path, 512), -11);
    using P = std::vector<std::pair<int, int>>;
    EXPECT_EQ(Blocks(loader.Frames()), (P{{0, 8}, {1, 8}, {2, 1}, {3, 1}, {4, 1}}));
}

TEST_F(BlockSteps, StepCodesFromTheLoadersAnswers) {
    const std::string path = ImageFile(2, {0, 1});
    struct Case {
        const char* name;
        bool verify;
        int commandAnswer;  // 0 healthy, 1 NAK, 2 broken frame
        int dataAnswer;
        int finalAnswer;
        int result;
    } cases[] = {
        {"program command refused", false, 1, 0, 0, -7},
        {"program command status broken", false, 2, 0, 0, -6},
        {"program data status broken", false, 0, 2, 0, -10},
        {"program final status broken", false, 0, 0, 2, -9},
        {"program final status refused", false, 0, 0, 1, -12},
        {"verify command refused", true, 1, 0, 0, -6},
        {"verify command status broken", true, 2, 0, 0, -5},
        {"verify data status broken", true, 0, 2, 0, -9},
        {"verify data refused", true, 0, 1, 0, -10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBootLoader loader(pty_.master(), [&](const Frame& f, std::uint8_t command) {
            const auto pick = [](int how, flashtest::FakeBootLoader::Responder::result_type ok) {
                if (how == 0) return ok;
                if (how == 1) {
                    ok[ok.size() - 3] = 0x15;  // last status byte refused, sum fixed below
                    ok[ok.size() - 2] = static_cast<std::uint8_t>(ok[ok.size() - 2] - (0x15 - 0x06));
                    return ok;
                }
                ok[ok.size() - 1] = ETB;  // broken end
                return ok;
            };
            if (f.first == SOH) return pick(c.commandAnswer, flashtest::Status({0x06}));
            auto a = pick(c.dataAnswer, flashtest::Status({0x06, 0x06}));
            if (f.last == ETX && command == 0x40) {
                auto fin = pick(c.finalAnswer, flashtest::Status({0x06}));
                a.insert(a.end(), fin.begin(), fin.end());
            }
            return a;
        });
        const int r = c.verify ? Verify(port_, path, 2) : Programming(port_, path, 512);
        EXPECT_EQ(r, c.result);
    }
}

TEST_F(BlockSteps, ImageSizeLimitsAndEdgeImages) {
    FakeBootLoader loader(pty_.master());
    // 256 blocks fit 512 KiB, 257 do not; all blank sends nothing and does not divide by zero.
    EXPECT_EQ(Programming(port_, ImageFile(256, {}), 512), 0);
    EXPECT_EQ(Programming(port_, ImageFile(257, {}), 512), -3);
    percents_.clear();
    EXPECT_EQ(Programming(port_, ImageFile(3, {}), 512), 0);
    EXPECT_EQ(percents_, (std::vector<int>{0, 100, 200}));
    EXPECT_EQ(Verify(port_, dir_ / "fw.bin", 0), 0);
    EXPECT_TRUE(loader.Frames().empty());

    // 2049 bytes are two blocks, the second one byte and 2047 bytes of 0xFF.
    std::ofstream(dir_ / "odd.bin", std::ios::binary) << std::string(2049, '\x5A');
    Bytes image;
    ASSERT_EQ(LoadImage(dir_ / "odd.bin", &image), 0);
    ASSERT_EQ(image.size(), 4096u);
    EXPECT_EQ(image[2048], 0x5A);
    EXPECT_EQ(image[2049], 0xFF);
    EXPECT_EQ(LastUsedBlocks(image), 2);
    EXPECT_EQ(Programming(port_, dir_ / "none.bin", 512), -1);
    EXPECT_EQ(Verify(port_, dir_ / "none.bin", 1), -1);
}

}  // namespace
