// The Skelmor viewer program receives what WriteLog sends and prints it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "AppHelpers.h"
#include "Globals.h"

namespace nimbra {
namespace {

TEST(SkelmorViewer, PrintsTimeSourceAndText) {
    const auto dir = std::filesystem::path("/tmp") / ("nview-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    const std::string cmd = std::string(NIMBRA_SKELMOR_PATH) + " --count 2 2>/dev/null";
    FILE* viewer = popen(cmd.c_str(), "r");
    ASSERT_NE(viewer, nullptr);
    for (int i = 0; i < 200 && !std::filesystem::exists(LogSocketPath()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    g_logViewerFound = true;
    EXPECT_EQ(WriteLog("Start Update"), 1);
    EXPECT_EQ(WriteLog("アップデート失敗(-11)"), 1);
    g_logViewerFound = false;

    char line[512];
    std::vector<std::string> lines;
    while (std::fgets(line, sizeof line, viewer)) lines.push_back(line);
    EXPECT_EQ(pclose(viewer), 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" UTC ("), std::string::npos);
    EXPECT_NE(lines[0].find("\tNimbraUpdate\tStart Update\n"), std::string::npos);
    EXPECT_NE(lines[1].find("\tNimbraUpdate\tアップデート失敗(-11)\n"), std::string::npos);
    // the viewer takes its socket away when it ends
    EXPECT_FALSE(std::filesystem::exists(LogSocketPath()));
    unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace nimbra
