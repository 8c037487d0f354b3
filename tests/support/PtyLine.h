// A pseudo-terminal standing in for a COM port of the virtual bus: the test holds
// the master side, the code under test opens the slave through `<bus>/COMn`.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace nimbra::testsupport {

class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine() { Close(); }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Opens the pair, links `<busDir>/COM<com>` to the slave and names busDir in
    // NIMBRA_VIRTUAL_BUS. The master is made raw unless told otherwise, so that
    // bytes pass both ways unchanged. Fails fatally: call through ASSERT_NO_FATAL_FAILURE.
    void Open(const std::string& busDir, int com, bool rawMaster = true) {
        char name[128] = {};
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        if (rawMaster) {
            termios raw{};
            tcgetattr(master_, &raw);
            cfmakeraw(&raw);
            tcsetattr(master_, TCSANOW, &raw);
        }
        ttyName_ = name;
        std::filesystem::create_symlink(name, busDir + "/COM" + std::to_string(com));
        ASSERT_EQ(setenv("NIMBRA_VIRTUAL_BUS", busDir.c_str(), 1), 0);
    }

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& ttyName() const { return ttyName_; }

    // Hangs the line up as seen from the slave side.
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    void Close() {
        CloseMaster();
        if (slave_ >= 0) close(slave_);
        slave_ = -1;
    }

    // Up to n bytes from the master side; fewer once nothing has come for timeoutMs.
    std::vector<unsigned char> ReadMaster(std::size_t n, int timeoutMs) const {
        std::vector<unsigned char> got;
        while (got.size() < n) {
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, timeoutMs) <= 0) break;
            unsigned char buf[512];
            ssize_t r = read(master_, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string ttyName_;
};

}  // namespace nimbra::testsupport
