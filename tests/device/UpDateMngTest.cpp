// The update-management file readers and the version policy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "AppHelpers.h"
#include "TempDir.h"
#include "UpDateMng.h"

namespace nimbra {
namespace {

class UpDateMngFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        path_ = dir_ / kUpDateMngFileName;
    }
    void Write(const std::string& bytes) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    static std::string Caption(const std::string& t) { return LoadMessage(500) + "(" + t + ")"; }

    testsupport::TempDir dir_{"nbmng"};
    std::string path_;
};

struct FileCase {
    const char* name;
    std::string bytes;
    std::string title;  // the #T# value
    std::string f, n, p, w;
};

const char* const kOld = "old";

TEST_F(UpDateMngFile, ReadersTable) {
    const FileCase cases[] = {
        {"shipped", "#T#:1.31\r\n#F#:1.31\r\n#N#:2.01\r\n#P#:2.02\r\n#W#:ON\r\n", "1.31", "1.31", "2.01", "2.02", "ON"},
        {"marker inside the line", "x#F#1.31\n", "", "1.31", kOld, kOld, kOld},
        {"no separator", "#F#1.31\n", "", ".31", kOld, kOld, kOld},
        {"marker alone", "#F#\n#T#", "", "", kOld, kOld, kOld},
        {"last line wins, no final LF", "#F#:1.30\n#F#:1.31", "", "1.31", kOld, kOld, kOld},
        {"first marker in order decides", "#N#:x #F#\n", "", "x #F#", kOld, kOld, kOld},
        {"value may hold a marker", "#F#:#N#:2\n", "", "#N#:2", kOld, kOld, kOld},
        {"markers are case-sensitive", "#f#:1\n#t#:2\n", "", kOld, kOld, kOld, kOld},
        {"only a CR before LF goes", "#F#:1.31\r\r\n#N#:2\r", "", "1.31\r", "2\r", kOld, kOld},
        {"empty web value", "#W#:\n", "", kOld, kOld, kOld, ""},
        {"title twice", "#T#:1.30\n#T#:1.31\n", "1.31", kOld, kOld, kOld, kOld},
        {"values not trimmed", "#T#: 1.31 \n#P#:\t2\n", " 1.31 ", kOld, kOld, "\t2", kOld},
        {"high bytes as Latin-1", "#T#:\xE9t\xE9\n#F#:\xFF", "\xC3\xA9t\xC3\xA9", "\xC3\xBF", kOld, kOld, kOld},
        {"NUL bytes kept", std::string("#F#:1.\0" "31\n\0#N#:2", 16), "", std::string("1.\0" "31", 5), ":2", kOld, kOld},
        {"empty file", "", "", kOld, kOld, kOld, kOld},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Write(c.bytes);
        EXPECT_EQ(ReadUpDateMngTitle(path_), Caption(c.title));
        DialogData d;
        d.m_fileFirmVer = d.m_fileNetVerN = d.m_fileNetVerP = d.m_fileWebFirm = kOld;
        EXPECT_EQ(ReadUpDateMng(d, path_), 0);
        EXPECT_EQ(d.m_fileFirmVer, c.f);
        EXPECT_EQ(d.m_fileNetVerN, c.n);
        EXPECT_EQ(d.m_fileNetVerP, c.p);
        EXPECT_EQ(d.m_fileWebFirm, c.w);
    }
}

TEST_F(UpDateMngFile, CaptionReadsInJapanese) {
    Write("#T#:1.31\r\n");
    EXPECT_EQ(ReadUpDateMngTitle(path_), "Nimbra ファームウェア アップデート(1.31)");
}

TEST_F(UpDateMngFile, MissingFileGivesEmptyCaptionAndChangesNothing) {
    for (const std::string& path : {path_, dir_.path()}) {  // no such file; a folder
        SCOPED_TRACE(path);
        EXPECT_EQ(ReadUpDateMngTitle(path), "");
        DialogData d;
        d.m_fileFirmVer = kOld;
        EXPECT_EQ(ReadUpDateMng(d, path), -1);
        EXPECT_EQ(d.m_fileFirmVer, kOld);
        EXPECT_EQ(d.m_fileWebFirm, "");
    }
}

TEST_F(UpDateMngFile, MissingFileMeansUpdateEverythingForALoggerReportingBoth) {
    DialogData d;
    ReadUpDateMng(d, path_);
    d.m_devFirmVer = "1.30";
    d.m_devNetVer = "2.00";
    EXPECT_EQ(DecideUpdateType(d, 0x00001234), 7);
    EXPECT_EQ(d.m_netImageNo, 809);
}

TEST_F(UpDateMngFile, TenMegabyteLine) {
    const std::string big(10 * 1024 * 1024, 'x');
    Write("#T#:" + big + "\n#F#:" + big + "#F#\n#N#:2.01\n");
    EXPECT_EQ(ReadUpDateMngTitle(path_), Caption(big));
    DialogData d;
    EXPECT_EQ(ReadUpDateMng(d, path_), 0);
    EXPECT_EQ(d.m_fileFirmVer, big + "#F#");
    EXPECT_EQ(d.m_fileNetVerN, "2.01");
}

TEST_F(UpDateMngFile, RandomBytesNeverBreakTheReaders) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 50; ++round) {
        std::string bytes(rng() % 4096, '\0');
        for (auto& b : bytes) b = static_cast<char>(rng() % 8 == 0 ? "#FNPWT\r\n"[rng() % 8] : rng());
        Write(bytes);
        const std::string title = ReadUpDateMngTitle(path_);
        EXPECT_EQ(title.rfind(LoadMessage(500) + "(", 0), 0u);
        DialogData d;
        EXPECT_EQ(ReadUpDateMng(d, path_), 0);
    }
}

struct PolicyCase {
    const char* name;
    const char *fileF, *fileN, *fileP, *fileW;
    const char *devF, *devN;
    std::uint32_t serial;
    int expectedType;
    int expectedImage;  // the image number starts at 123 to show when it is left alone
};

TEST(DecideUpdateType, Table) {
    const PolicyCase cases[] = {
        {"all current, web off", "1.31", "2.01", "2.01", "OFF", "1.31", "2.01", 0x1234, 0, 123},
        {"main differs", "1.31", "2.01", "2.01", "OFF", "1.30", "2.01", 0x1234, 1, 123},
        {"newer logger is updated too", "1.31", "2.01", "2.01", "OFF", "1.32", "2.01", 0x1234, 1, 123},
        {"trailing blank differs", "1.31", "2.01", "2.01", "OFF", "1.31 ", "2.01", 0x1234, 1, 123},
        {"main OFF", "OFF", "2.01", "2.01", "OFF", "9.99", "2.01", 0x1234, 0, 123},
        {"lower-case off is a version", "off", "2.01", "2.01", "OFF", "1.31", "2.01", 0x1234, 1, 123},
        {"0x0FFF uses #N#", "OFF", "2.01", "OFF", "OFF", "", "2.00", 0x0FFF, 2, 809},
        {"0x0FFF ignores #P#", "OFF", "2.00", "2.01", "OFF", "", "2.00", 0x0FFF, 0, 123},
        {"high bits play no part in N/P", "OFF", "2.01", "OFF", "OFF", "", "2.00", 0x72120FFF, 2, 809},
        {"0x1000 uses #P#", "OFF", "OFF", "2.01", "OFF", "", "2.00", 0x1000, 2, 809},
        {"0x1000 ignores #N#", "OFF", "2.01", "2.00", "OFF", "", "2.00", 0x1000, 0, 123},
        {"field 0x39 gives 810", "OFF", "OFF", "2.01", "OFF", "", "2.00", (0x39u << 17) | 0x1234, 2, 810},
        {"field 0x3B gives 810", "OFF", "OFF", "2.01", "OFF", "", "2.00", (0x3Bu << 17) | 0x1234, 2, 810},
        {"field 0x3A gives 809", "OFF", "OFF", "2.01", "OFF", "", "2.00", (0x3Au << 17) | 0x1234, 2, 809},
        {"field 0 gives 809", "OFF", "OFF", "2.01", "OFF", "", "2.00", 0x1234, 2, 809},
        {"bit 16 and bits 24-31 play no part", "OFF", "OFF", "2.01", "OFF", "", "2.00",
         0xFF000000u | (0x39u << 17) | 0x10000u | 0x1234u, 2, 810},
        {"0x39 below 0x1000 still 809", "OFF", "2.01", "OFF", "OFF", "", "2.00", (0x39u << 17) | 0x0123, 2, 809},
        {"web on", "1.31", "2.01", "2.01", "ON", "1.31", "2.01", 0x1234, 4, 123},
        {"web empty counts as on", "1.31", "2.01", "2.01", "", "1.31", "2.01", 0x1234, 4, 123},
        {"everything", "1.31", "2.01", "2.01", "ON", "1.30", "2.00", (0x3Bu << 17) | 0x1234, 7, 810},
        {"empty file values, empty device values", "", "", "", "OFF", "", "", 0x1234, 0, 123},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DialogData d;
        d.m_fileFirmVer = c.fileF;
        d.m_fileNetVerN = c.fileN;
        d.m_fileNetVerP = c.fileP;
        d.m_fileWebFirm = c.fileW;
        d.m_devFirmVer = c.devF;
        d.m_devNetVer = c.devN;
        d.m_netImageNo = 123;
        EXPECT_EQ(DecideUpdateType(d, c.serial), c.expectedType);
        EXPECT_EQ(d.m_netImageNo, c.expectedImage);
    }
}

TEST_F(UpDateMngFile, MatchingVersionsAndNoWebLineStillAskForTheWebContent) {
    Write("#T#:1.31\n#F#:1.31\n#N#:2.01\n#P#:2.01\n");
    DialogData d;
    ASSERT_EQ(ReadUpDateMng(d, path_), 0);
    d.m_devFirmVer = "1.31";
    d.m_devNetVer = "2.01";
    EXPECT_EQ(DecideUpdateType(d, 0x0100), 4);
    EXPECT_EQ(DecideUpdateType(d, 0x1234), 4);
}

}  // namespace
}  // namespace nimbra
