// The message catalogue as the dialog shows it, and the satellite library.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <set>

#include "AppHelpers.h"
#include "Resources.h"

namespace nimbra {
namespace {

TEST(Catalogue, TextsThatAreEasyToGetWrong) {
    UseBuiltInResources();
    // full-width digits in 501, 2002, 2004; an ASCII digit in 1001; one LF in 1005
    EXPECT_EQ(LoadMessage(501), "Nimbraを１台だけUSB接続し、[アップデート]ボタンを押して下さい。");
    EXPECT_EQ(LoadMessage(1001), "複数のNimbraがパソコンに接続されています。Nimbraを1台だけUSB接続してください。");
    EXPECT_EQ(LoadMessage(1005), "アップデート処理中に終了すると、Nimbraは正常に動作しなくなります。\n終了しますか？");
    EXPECT_EQ(LoadMessage(2002), "通信の同期その１");
    EXPECT_EQ(LoadMessage(2004), "通信の同期その２");
    EXPECT_EQ(LoadMessage(101), "バージョン情報 NimbraUpdate(&A)...");
    EXPECT_EQ(LoadMessage(1003), "アップデート失敗(%d)");
}

TEST(Catalogue, MissingIdsAreEmpty) {
    UseBuiltInResources();
    for (int id : {0, 1002, 2012, 61440, -1}) EXPECT_EQ(LoadMessage(id), "") << id;
    std::set<int> ids;
    const auto& r = res::BuiltInResources();
    for (std::size_t i = 0; i < r.catalogueSize; ++i) ids.insert(r.catalogue[i].id);
    const std::set<int> expected = {101, 500, 501, 1000, 1001, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1011,
                                    1200, 1201, 1202, 1203, 2000, 2001, 2002, 2003, 2004, 2005, 2006, 2007, 2008,
                                    2009, 2010, 2011, 2020};
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(ids.size(), r.catalogueSize);  // no id twice
}

TEST(Catalogue, FormatFillsFieldsInOrder) {
    EXPECT_EQ(FormatMessage("アップデート失敗(%d)", {-11}), "アップデート失敗(-11)");
    EXPECT_EQ(FormatMessage("[%d/%d]", {3, 8}), "[3/8]");
    EXPECT_EQ(FormatMessage("100%% [%d]", {7}), "100% [7]");
    // a satellite text with more fields than values, or other fields, stays safe
    EXPECT_EQ(FormatMessage("%s %d %d", {1}), "%s 1 %d");
    EXPECT_EQ(FormatMessage("end %", {1}), "end %");
}

class SatelliteTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("nimbra-res-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        SetModuleFolder(dir.string());
    }
    void TearDown() override {
        UseBuiltInResources();
        SetModuleFolder("");
        std::filesystem::remove_all(dir);
    }
};

TEST_F(SatelliteTest, WithoutTheLibraryTheProgramsOwnAreUsed) {
    EXPECT_EQ(LoadResourceLibrary(), 0);
    EXPECT_EQ(&CurrentResources(), &res::BuiltInResources());
    EXPECT_EQ(LoadMessage(1004), "アップデート完了");
}

TEST_F(SatelliteTest, NotALibraryIsIgnored) {
    std::filesystem::create_directories(dir);
    FILE* f = std::fopen((dir / "NimbraUpdateRes.so").c_str(), "w");
    std::fputs("not a library", f);
    std::fclose(f);
    EXPECT_EQ(LoadResourceLibrary(), 0);
    EXPECT_EQ(LoadMessage(1004), "アップデート完了");
}

TEST_F(SatelliteTest, EnglishLibraryReplacesEverything) {
    std::filesystem::copy_file(NIMBRA_EN_RES_PATH, dir / "NimbraUpdateRes.so");
    ASSERT_EQ(LoadResourceLibrary(), 1);
    EXPECT_EQ(LoadMessage(1004), "Update complete");
    EXPECT_EQ(FormatMessage(LoadMessage(1003), {-11}), "Update failed (-11)");
    EXPECT_EQ(LoadMessage(1002), "");
    const auto& en = CurrentResources();
    const auto& ja = res::BuiltInResources();
    EXPECT_EQ(reinterpret_cast<const char*>(en.dialog.closeButton), std::string("Close"));
    EXPECT_GT(en.iconSize, 0u);
    EXPECT_GT(en.logoSize, 0u);
    // the same ids, each with the same number of "%d" fields
    ASSERT_EQ(en.catalogueSize, ja.catalogueSize);
    for (std::size_t i = 0; i < ja.catalogueSize; ++i) {
        EXPECT_EQ(en.catalogue[i].id, ja.catalogue[i].id);
        auto fields = [](const char8_t* t) {
            std::string s(reinterpret_cast<const char*>(t));
            int n = 0;
            for (std::size_t p = s.find("%d"); p != std::string::npos; p = s.find("%d", p + 2)) ++n;
            return n;
        };
        EXPECT_EQ(fields(en.catalogue[i].text), fields(ja.catalogue[i].text)) << ja.catalogue[i].id;
    }
}

}  // namespace
}  // namespace nimbra
