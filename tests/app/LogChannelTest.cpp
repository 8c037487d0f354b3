// The log channel on a real datagram socket: what a viewer receives.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>

#include "AppHelpers.h"
#include "Globals.h"

namespace nimbra {
namespace {

// A viewer stand-in: owns the socket in a private runtime folder.
class LogChannelTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    int fd = -1;

    void SetUp() override {
        ResetGlobalsForTest();
        dir = std::filesystem::path("/tmp") / ("nlog-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, LogSocketPath().c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        g_logViewerFound = true;
    }
    void TearDown() override {
        close(fd);
        g_logViewerFound = false;
        unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(dir);
    }
    // The next datagram (its size in `n`), or none within 200 ms.
    std::vector<unsigned char> Receive() {
        timeval tv{0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<unsigned char> buf(1024);
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        buf.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return buf;
    }
    static std::u16string Units(const std::vector<unsigned char>& r, std::size_t offset, std::size_t count) {
        std::u16string s;
        for (std::size_t i = 0; i < count; ++i)
            s += static_cast<char16_t>(r[offset + 2 * i] | (r[offset + 2 * i + 1] << 8));
        return s;
    }
    static std::int64_t Time(const std::vector<unsigned char>& r) {
        std::uint64_t t = 0;
        for (int i = 7; i >= 0; --i) t = (t << 8) | r[static_cast<std::size_t>(i)];
        return static_cast<std::int64_t>(t);
    }
};

TEST_F(LogChannelTest, RecordLayout) {
    const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_EQ(WriteLog("Start Update"), 1);
    const auto after = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();
    auto r = Receive();
    ASSERT_EQ(r.size(), 296u);
    EXPECT_GE(Time(r), before);
    EXPECT_LE(Time(r), after);
    std::u16string source = Units(r, 8, 64);
    EXPECT_EQ(source.substr(0, 13), std::u16string(u"NimbraUpdate\0", 13));
    EXPECT_EQ(source.find_first_not_of(u'\0', 12), std::u16string::npos);
    std::u16string text = Units(r, 136, 80);
    EXPECT_EQ(text.substr(0, 12), u"Start Update");
    EXPECT_EQ(text.find_first_not_of(u'\0', 12), std::u16string::npos);
}

TEST_F(LogChannelTest, TextIsCutAfter76CodeUnits) {
    struct Case {
        std::string line;
        std::u16string expected;
    };
    std::string jp76, jp77;
    std::u16string jp76u;
    for (int i = 0; i < 76; ++i) {
        jp76 += "書";
        jp76u += u"書";
    }
    jp77 = jp76 + "き";
    // A character outside the BMP takes two code units.
    std::string astral = std::string(75, 'a') + "\xF0\x9F\x98\x80";
    std::u16string astralCut = std::u16string(75, u'a') + u"\xD83D";
    const std::vector<Case> cases = {
        {std::string(76, 'x'), std::u16string(76, u'x')},
        {std::string(77, 'x'), std::u16string(76, u'x')},
        {std::string(300, 'y'), std::u16string(76, u'y')},
        {jp76, jp76u},
        {jp77, jp76u},
        {astral, astralCut},
        {"", u""},
        {"\xFF\xFE ok", u"\uFFFD\uFFFD ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(WriteLog(c.line), 1);
        auto r = Receive();
        ASSERT_EQ(r.size(), 296u);
        std::u16string text = Units(r, 136, 80);
        EXPECT_EQ(text.substr(0, c.expected.size()), c.expected);
        // terminator and zero fill after the text
        EXPECT_EQ(text.find_first_not_of(u'\0', c.expected.size()), std::u16string::npos);
    }
}

TEST_F(LogChannelTest, LoggingOffSendsNothing) {
    g_logViewerFound = false;
    EXPECT_EQ(WriteLog("Start Update"), 1);
    EXPECT_TRUE(Receive().empty());
}

TEST_F(LogChannelTest, ViewerNotRunningDropsTheRecord) {
    close(fd);
    fd = -1;
    std::filesystem::remove(LogSocketPath());
    EXPECT_EQ(WriteLog("Start Update"), 0);
}

TEST_F(LogChannelTest, SinkSeesEveryLineEvenWithLoggingOff) {
    g_logViewerFound = false;
    std::vector<std::string> lines;
    SetLogSink([](const std::string& t, const std::string& s, void* ctx) {
        static_cast<std::vector<std::string>*>(ctx)->push_back(s + ":" + t);
    }, &lines);
    WriteLog("a");
    WriteLog("b", "Other");
    SetLogSink(nullptr, nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"NimbraUpdate:a", "Other:b"}));
}

TEST(LogSocketPath, FallsBackToAPrivateTmpFolder) {
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(LogSocketPath(), "/tmp/nimbra-" + std::to_string(getuid()) + "/Skelmor");
    setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    EXPECT_EQ(LogSocketPath(), "/run/user/1000/Skelmor");
    unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace nimbra
