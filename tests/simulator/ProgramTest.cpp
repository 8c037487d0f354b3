#include <csignal>
#include <cstdio>
#include <sys/wait.h>

#include "SimTestUtil.h"

using namespace simtest;

namespace {

class Program : public SimFixture {};

// The program announces readiness, serves the bus, and states its figures at exit.
TEST_F(Program, ServesUntilTerminatedAndPrintsItsFigures) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const std::string evidence = bus_ + "/ev";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::execl(NIMBRA_SIM_PROGRAM, "nimbra-sim", "--loggers", "2", "--com", "4,9", "--serial", "0x1000",
                "--firm-ver", "5.55", "--fault", "1@link-missing=NETV", "--evidence", evidence.c_str(),
                "--exit-after-seconds", "60", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* in = ::fdopen(out[0], "r");
    char line[512];
    std::string all;
    bool ready = false;
    while (!ready && std::fgets(line, sizeof line, in)) {
        all += line;
        ready = std::string(line) == "READY " + bus_ + "\n";
    }
    ASSERT_TRUE(ready) << all;
    EXPECT_TRUE(std::filesystem::is_symlink(bus_ + "/COM4"));
    EXPECT_TRUE(std::filesystem::is_symlink(bus_ + "/COM9"));
    LinkResult a = simtest::Link(bus_, 0x0d5e, 0x1000, RuinfFrame());
    LinkResult b = simtest::Link(bus_, 0x0d5e, 0x1001, RuinfFrame());
    EXPECT_EQ(Item(a.answer, "FWV"), "5.55");
    EXPECT_EQ(Item(a.answer, "NETV"), "2.00");
    EXPECT_EQ(Item(b.answer, "NETV"), "<none>") << "the fault went to the second logger";
    int fd = OpenTty(bus_ + "/COM4", 9600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(simtest::Gpio(bus_, 4, 3, 0), 0);
    ASSERT_EQ(simtest::Gpio(bus_, 4, 3, 2), 0);
    ASSERT_EQ(simtest::Gpio(bus_, 4, 3, 3), 0);
    EXPECT_EQ(ReadBytes(fd, 1), Bytes{0});
    ::close(fd);

    ::kill(pid, SIGTERM);
    while (std::fgets(line, sizeof line, in)) all += line;
    std::fclose(in);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << all;
    EXPECT_NE(all.find("STATS COM4 bytes-to-device=0 bytes-from-device=1 line=0.001146s"), std::string::npos) << all;
    EXPECT_NE(all.find("STATS COM9"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(bus_ + "/COM4")) << "entries go when the program ends";
    EXPECT_TRUE(std::filesystem::exists(evidence + "/flash.bin"));
    EXPECT_TRUE(std::filesystem::exists(evidence + "/logger1/transcript.txt"));
}

TEST_F(Program, WritesSamplesAndRefusesBadOptions) {
    const std::string dir = bus_ + "/samples";
    const std::string cmd = std::string(NIMBRA_SIM_PROGRAM) + " --write-samples " + dir + " --full-flash > /dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_GT(std::filesystem::file_size(dir + "/Nimbra.hex"), 512u * 1024 * 2);
    EXPECT_NE(std::system((std::string(NIMBRA_SIM_PROGRAM) + " --bus " + bus_ + " --fault bogus 2> /dev/null").c_str()), 0);
    EXPECT_NE(std::system((std::string(NIMBRA_SIM_PROGRAM) + " --frobnicate 2> /dev/null").c_str()), 0);
}

}  // namespace
