// nimbra-update end to end: the program runs as a child against a simulated
// logger on its own virtual bus, and the test reads its output, its exit code
// and the simulated device.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Simulator.h"
#include "TempDir.h"

namespace fs = std::filesystem;
using nimbra::sim::Simulator;

namespace {

std::vector<unsigned char> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Result {
    int exit = -1;
    std::string out;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.path().empty());
        data_ = root_ / "data";
        fs::create_directories(data_);
        ASSERT_EQ(nimbra::sim::WriteSamples(data_.string(), {}), 0);
        // Versions of the shipped files; web content left alone, so that an
        // up-to-date logger needs nothing.
        std::ofstream(data_ / "UpDateMng.txt") << "#T#:1.31\r\n#F#:1.31\r\n#N#:2.01\r\n#P#:2.01\r\n#W#:OFF\r\n";
        setenv("NIMBRA_VIRTUAL_BUS", (root_ / "bus").c_str(), 1);
    }
    void TearDown() override {
        sim_.reset();
    }

    void StartSim(std::vector<std::string> faults = {}) {
        nimbra::sim::SimConfig cfg;
        cfg.busDir = (root_ / "bus").string();
        nimbra::sim::LoggerConfig logger;
        logger.com = 3;
        logger.firmVer = "1.30";
        logger.netVer = "2.00";
        logger.faults = std::move(faults);
        cfg.loggers.push_back(logger);
        sim_ = std::make_unique<Simulator>(cfg);
        ASSERT_EQ(sim_->Start(), 0);
    }

    Result Run(std::vector<std::string> args) {
        std::string cmd = std::string(NIMBRA_UPDATE_EXE) + " --dir '" + data_.string() + "'";
        for (const auto& a : args) cmd += " " + a;
        cmd += " 2>&1";
        Result r;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return r;
        std::array<char, 4096> buf;
        size_t n;
        while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
        int status = pclose(p);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }

    // The flash holds the converted image (Nimbra.bin, written beside the HEX file).
    void ExpectFlashHoldsImage() {
        auto image = ReadFile(data_ / "Nimbra.bin");
        ASSERT_FALSE(image.empty());
        auto flash = sim_->Flash(0);
        ASSERT_GE(flash.size(), image.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    }

    nimbra::testsupport::TempDir tmp_{"nucli"};
    const fs::path root_ = tmp_.path();
    fs::path data_;
    std::unique_ptr<Simulator> sim_;
};

TEST_F(CliTest, UpdatesAnOutOfDateLoggerThenFindsNothingToDo) {
    StartSim();
    Result first = Run({"--lang", "en"});
    EXPECT_EQ(first.exit, 0) << first.out;
    EXPECT_NE(first.out.find("UpdateType = 3"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("Done: Update complete"), std::string::npos) << first.out;
    ExpectFlashHoldsImage();
    // The logger's serial 0x1234 has its low 16 bits at 0x1000 or above and field 0: image 809.
    auto imf = ReadFile(data_ / "Nimbra_809.imf");
    std::uint32_t load = imf[80] | imf[81] << 8 | imf[82] << 16 | static_cast<std::uint32_t>(imf[83]) << 24;
    EXPECT_EQ(sim_->NetBytes(0, load & ~0xFFFu, imf.size()), imf);

    Result second = Run({"--lang", "en"});
    EXPECT_EQ(second.exit, 0) << second.out;
    EXPECT_NE(second.out.find("No firmware update is needed."), std::string::npos) << second.out;
}

TEST_F(CliTest, LibraryFailureGivesItsCodeAndJsonOutcome) {
    StartSim({"nak:cmd=20,times=0"});
    Result r = Run({"--json", "--lang", "ja"});
    EXPECT_EQ(r.exit, 10) << r.out;
    // Every line is one JSON object; the last one is the outcome.
    std::vector<std::string> lines;
    std::string line;
    for (char c : r.out) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    ASSERT_FALSE(lines.empty());
    for (const auto& l : lines) {
        EXPECT_EQ(l.front(), '{') << l;
        EXPECT_EQ(l.back(), '}') << l;
    }
    EXPECT_NE(lines.back().find("\"event\":\"outcome\""), std::string::npos);
    EXPECT_NE(lines.back().find("\"libraryCode\":-14"), std::string::npos) << lines.back();
    EXPECT_NE(r.out.find("アップデート失敗(-14)"), std::string::npos);
}

TEST_F(CliTest, ListShowsTheVirtualLogger) {
    StartSim();
    Result r = Run({"--list"});
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_NE(r.out.find("COM3"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("serial 4660"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("firmware 1.30"), std::string::npos) << r.out;
}

TEST_F(CliTest, ExplainsWhatStopsIt) {
    // No logger at all.
    Result none = Run({"--lang", "en"});
    EXPECT_EQ(none.exit, 3) << none.out;
    EXPECT_NE(none.out.find("No Nimbra is connected"), std::string::npos) << none.out;

    // The port held by another program: this test process holds the lock.
    StartSim();
    int fd = open((root_ / "bus" / "COM3").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    Result held = Run({"--lang", "en"});
    close(fd);
    EXPECT_EQ(held.exit, 9) << held.out;
    EXPECT_NE(held.out.find("in use by another program: process " + std::to_string(getpid())), std::string::npos)
        << held.out;

    // A missing firmware file is named.
    fs::remove(data_ / "Nimbra.hex");
    Result missing = Run({"--lang", "en"});
    EXPECT_EQ(missing.exit, 7) << missing.out;
    EXPECT_NE(missing.out.find("missing or unreadable: " + (data_ / "Nimbra.hex").string()), std::string::npos)
        << missing.out;
}

TEST_F(CliTest, RejectsBadCommandLines) {
    EXPECT_EQ(Run({"--lang", "fr"}).exit, 2);
    EXPECT_EQ(Run({"--bogus"}).exit, 2);
    Result help = Run({"--help"});
    EXPECT_EQ(help.exit, 0);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
}

}  // namespace
