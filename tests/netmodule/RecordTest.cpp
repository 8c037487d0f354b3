// The record sender and the prompt poll over a real pseudo-terminal, with a
// scripted module at the other end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Globals.h"
#include "NetModule.h"
#include "PtyModule.h"
#include "TestSupport.h"

namespace {

using nettest::ModuleScript;
using nettest::PtyModule;

constexpr const char* kFirmOpenText = "iChipファームファイルオープンエラー";
constexpr const char* kWebOpenText = "Webファームファイルオープンエラー";
constexpr int kUntouched = 4321;  // progress value that no sender writes

class RecordSender : public ::testing::Test {
protected:
    void SetUp() override {
        nimbra::ResetGlobalsForTest();
        nimbra::g_mainDialog->m_progressDone = kUntouched;
        nimbra::g_mainDialog->m_progressTotal = kUntouched;
    }
    void TearDown() override {
        if (link_) KorvatSarnUsbSerialEx_CloseComm(link_);
    }
    void Open() { ASSERT_EQ(KorvatSarnUsbSerialEx_OpenComm(PtyModule::kCom, 16384, 16384, 115200, &link_), 0); }

    nettest::TempDir files_{"nnm"};
    nettest::RecordingView view_;
    nettest::LogRecorder log_;
    nimbra::NetLink link_ = nullptr;
};

// An image with its load-address word at byte 80.
std::vector<std::uint8_t> FirmImage(std::size_t n, std::uint32_t loadWord, std::uint32_t seed) {
    auto v = nettest::Pattern(n, seed);
    for (int i = 0; i < 4; ++i) v[80 + i] = static_cast<std::uint8_t>(loadWord >> (8 * i));
    return v;
}

struct LayoutCase {
    const char* name;
    bool firmware;
    std::vector<std::uint8_t> image;
    std::vector<std::string> headers;
};

std::vector<LayoutCase> LayoutCases() {
    return {
        {"WebExampleOf5000Bytes", false, nettest::Pattern(5000, 1),
         {"D 100f0000,400:", "D 100f0800,400:", "D 100f1000,1c4:"}},
        {"WebMultipleOf2048EndsWithFullRecord", false, nettest::Pattern(4096, 2),
         {"D 100f0000,400:", "D 100f0800,400:"}},
        {"EmptyWebImageSendsNothing", false, {}, {}},
        {"FirmLoadWordLowBitsCleared", true, FirmImage(5000, 0x10023ABC, 3),
         {"D 10023000,400:", "D 10023800,400:", "D 10024000,1c4:"}},
        {"FirmOfExactly84Bytes", true, FirmImage(84, 0x10000FFF, 4), {"D 10000000,2a:"}},
    };
}

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class RecordLayout : public RecordSender, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(RecordLayout, HeadersAndDataAsOnTheWire) {
    const LayoutCase& c = GetParam();
    PtyModule module;
    ASSERT_TRUE(module.ok());
    const std::string path = files_ / (c.firmware ? "Nimbra_810.imf" : "Nimbra.img");
    nettest::WriteFile(path, c.image);
    Open();

    int rc;
    if (c.firmware) {
        rc = nimbra::IChipSend(link_, path);
    } else {
        nimbra::g_webImagePath = path;
        rc = nimbra::WebSendFirm(link_);
    }
    module.Stop();

    EXPECT_EQ(rc, 0);
    std::vector<std::string> headers;
    std::vector<std::uint8_t> data;
    for (const auto& r : module.records) {
        headers.push_back(r.header);
        data.insert(data.end(), r.data.begin(), r.data.end());
    }
    EXPECT_EQ(headers, c.headers);
    EXPECT_EQ(data, c.image);  // every byte, the address word included, in file order
    EXPECT_TRUE(module.other.empty());
    const int length = static_cast<int>(c.image.size());
    EXPECT_EQ(nimbra::g_mainDialog->m_progressTotal.load(), length);
    EXPECT_EQ(nimbra::g_mainDialog->m_progressDone.load(), length == 0 ? kUntouched : length);
    EXPECT_TRUE(view_.Boxes().empty());
    EXPECT_TRUE(nimbra::g_lastErrorText.empty());
}

INSTANTIATE_TEST_SUITE_P(Images, RecordLayout, ::testing::ValuesIn(LayoutCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecordSender, PromptAfterOtherBytesIsFoundAndCostsOnePokeEach) {
    // Nothing answers until the first poke; then a line end comes before the prompt.
    ModuleScript script;
    script.pokeReply = "\r\n>";
    script.pokeReplies = 1;
    PtyModule module(script);
    ASSERT_TRUE(module.ok());
    Open();
    EXPECT_EQ(nimbra::WaitPrompt(link_), 0);
    module.Stop();
    EXPECT_EQ(module.pokes, 3);  // silence, CR, LF: one poke each
}

TEST_F(RecordSender, UnansweredRecordStopsTheImage) {
    ModuleScript script;
    script.silentRecord = 1;
    PtyModule module(script);
    ASSERT_TRUE(module.ok());
    nettest::WriteFile(files_ / "Nimbra.img", nettest::Pattern(3 * 2048, 6));
    nimbra::g_webImagePath = files_ / "Nimbra.img";
    Open();

    EXPECT_EQ(nimbra::WebSendFirm(link_), -1);
    module.Stop();

    EXPECT_EQ(module.records.size(), 2u);  // no record after the unanswered one
    EXPECT_EQ(module.pokesSinceRecord, 60);  // the last failed poll sent its CR too
    EXPECT_EQ(nimbra::g_lastErrorText, "[Web Send Firm] Prompt Error");
    EXPECT_TRUE(log_.Has("[Web Send Firm] Prompt Error"));
    EXPECT_EQ(nimbra::g_mainDialog->m_progressDone.load(), 2048);  // only the answered record
    EXPECT_TRUE(view_.Boxes().empty());
}

struct OpenFailureCase {
    const char* name;
    bool firmware;
    const char* text;
};

void PrintTo(const OpenFailureCase& c, std::ostream* os) { *os << c.name; }

class SenderOpenFailure : public RecordSender, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(SenderOpenFailure, BoxAndLogLineButTextUnchanged) {
    const auto& c = GetParam();
    PtyModule module;
    ASSERT_TRUE(module.ok());
    nimbra::g_lastErrorText = "earlier text";
    const std::string missing = files_ / "absent";
    nimbra::g_webImagePath = missing;
    Open();
    EXPECT_EQ(c.firmware ? nimbra::IChipSend(link_, missing) : nimbra::WebSendFirm(link_), -1);
    module.Stop();
    EXPECT_EQ(view_.Boxes(), std::vector<std::string>{c.text});
    EXPECT_TRUE(log_.Has(c.text));
    EXPECT_EQ(nimbra::g_lastErrorText, "earlier text");
    EXPECT_TRUE(module.records.empty());
    EXPECT_EQ(nimbra::g_mainDialog->m_progressTotal.load(), kUntouched);
}

INSTANTIATE_TEST_SUITE_P(Senders, SenderOpenFailure,
                         ::testing::Values(OpenFailureCase{"Firmware", true, kFirmOpenText},
                                           OpenFailureCase{"Web", false, kWebOpenText}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecordSender, FirmImageWithoutWholeAddressWordIsRefusedBeforeSending) {
    PtyModule module;
    ASSERT_TRUE(module.ok());
    const std::string path = files_ / "Nimbra_810.imf";
    nettest::WriteFile(path, nettest::Pattern(83, 7));
    Open();
    EXPECT_EQ(nimbra::IChipSend(link_, path), -1);
    module.Stop();
    EXPECT_TRUE(module.records.empty());
    EXPECT_EQ(module.pokes, 0);
    EXPECT_EQ(nimbra::g_lastErrorText, nimbra::kFirmImageTooShortText);
    EXPECT_TRUE(log_.Has(nimbra::kFirmImageTooShortText));
}

}  // namespace
