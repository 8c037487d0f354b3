// Data records to the network module and the prompt poll between them.
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "AppHelpers.h"
#include "DialogView.h"
#include "Globals.h"
#include "NetModule.h"

namespace nimbra {

namespace {

constexpr int kPromptPolls = 60;
constexpr int kPromptWaitMs = 50;
constexpr int kPromptPollMs = 5;
constexpr unsigned char kPrompt = '>';
// Poke for the prompt; the zero after it keeps the buffer terminated for the layer.
constexpr unsigned char kPoke[2] = {'\r', 0};

constexpr int kRecordData = 2048;
constexpr int kHeaderBuffer = 64;
constexpr std::uint32_t kWebLoadAddress = 0x100F0000;
constexpr std::uint32_t kLoadAddressMask = ~std::uint32_t{0xFFF};

constexpr int kMsgFirmOpen = 1200;
constexpr int kMsgWebOpen = 1201;
constexpr int kMsgBuffer = 1202;

struct ImageKind {
    int openMessage;
    const char* promptErrorText;
    bool firmware;  // load address from the image itself
};
constexpr ImageKind kFirmImage{kMsgFirmOpen, "[iChip Send] Prompt Error", true};
constexpr ImageKind kWebImage{kMsgWebOpen, "[Web Send Firm] Prompt Error", false};

std::uint32_t LittleEndian32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void ReportOpenFailure(const ImageKind& kind) {
    const std::string text = LoadMessage(kind.openMessage);
    ShowBox(text, BoxStyle::Ok);
    WriteLog(text);
}

int SendImage(NetLink link, const std::string& path, const ImageKind& kind) {
    DialogData& dlg = *g_mainDialog;

    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        ReportOpenFailure(kind);
        return -1;
    }
    long length = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
    if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        ReportOpenFailure(kind);
        return -1;
    }

    // The progress total is an int: an image beyond that cannot be held either.
    std::unique_ptr<unsigned char[]> image;
    if (length <= INT_MAX) image.reset(new (std::nothrow) unsigned char[length > 0 ? length : 1]);
    if (!image) {
        std::fclose(file);
        const std::string text = LoadMessage(kMsgBuffer);
        g_lastErrorText = text;
        WriteLog(text);
        ShowBox(text, BoxStyle::Ok);
        return -1;
    }
    const int total = static_cast<int>(length);
    const std::size_t got = total > 0 ? std::fread(image.get(), 1, static_cast<std::size_t>(total), file) : 0;
    std::fclose(file);
    if (got != static_cast<std::size_t>(total)) {
        ReportOpenFailure(kind);
        return -1;
    }

    std::uint32_t address = kWebLoadAddress;
    if (kind.firmware) {
        // Without a whole address word there is nowhere safe to load the image:
        // refuse it before a single record goes out.
        if (static_cast<std::size_t>(total) < kMinFirmImageBytes) {
            g_lastErrorText = kFirmImageTooShortText;
            WriteLog(kFirmImageTooShortText);
            return -1;
        }
        address = LittleEndian32(image.get() + kLoadAddressOffset) & kLoadAddressMask;
    }

    KorvatSarnUsbSerialEx_FlushComm(link, 0);
    KorvatSarnUsbSerialEx_FlushComm(link, 1);

    dlg.m_progressTotal.store(total);
    int sent = 0;
    int remaining = total;
    // Header and data leave in one write; one spare zero byte keeps the buffer terminated.
    unsigned char record[kHeaderBuffer + kRecordData + 1];
    while (remaining > 0) {
        const int n = remaining < kRecordData ? remaining : kRecordData;
        const int headerLength =
            FormatRecordHeader(reinterpret_cast<char*>(record), kHeaderBuffer, address, n);
        std::memcpy(record + headerLength, image.get() + sent, static_cast<std::size_t>(n));
        record[headerLength + n] = 0;
        KorvatSarnUsbSerialEx_WriteComm(link, record, headerLength + n);
        if (WaitPrompt(link) == -1) {
            g_lastErrorText = kind.promptErrorText;
            WriteLog(kind.promptErrorText);
            return -1;
        }
        address += static_cast<std::uint32_t>(n);
        sent += n;
        remaining -= n;
        dlg.m_progressDone.store(sent);
    }
    return 0;
}

}  // namespace

int FormatRecordHeader(char* buffer, std::size_t size, std::uint32_t address, int dataBytes) {
    int n = std::snprintf(buffer, size, "D %x,%x:", static_cast<unsigned>(address), static_cast<unsigned>(dataBytes / 2));
    if (n < 0) return 0;
    return static_cast<std::size_t>(n) < size ? n : static_cast<int>(size) - 1;
}

int WaitPrompt(NetLink link) {
    // Prompts left over from earlier pokes must not answer this request.
    KorvatSarnUsbSerialEx_FlushComm(link, 1);
    for (int poll = 0; poll < kPromptPolls; ++poll) {
        unsigned char buffer[64] = {};
        KorvatSarnUsbSerialEx_ReadCommWait(link, kPromptWaitMs, buffer, 1, kPromptPollMs);
        if (buffer[0] == kPrompt) return 0;
        KorvatSarnUsbSerialEx_FlushComm(link, 0);
        KorvatSarnUsbSerialEx_WriteComm(link, kPoke, 1);
    }
    return -1;
}

int IChipSend(NetLink link, const std::string& imagePath) { return SendImage(link, imagePath, kFirmImage); }

int WebSendFirm(NetLink link) {
    const std::string path = g_webImagePath;
    return SendImage(link, path, kWebImage);
}

}  // namespace nimbra
