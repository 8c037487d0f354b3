// The network-module worker thread and its launcher.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "AppHelpers.h"
#include "DeviceQueries.h"
#include "DialogView.h"
#include "Globals.h"
#include "NetModule.h"

namespace nimbra {

namespace {

constexpr int kLinkBufferBytes = 16384;
constexpr int kLinkBaud = 115200;
constexpr int kMarkerPollMs = 100;
constexpr int kEraseBlockBytes = 64;

constexpr int kUpdateFirmBit = 2;
constexpr int kUpdateWebBit = 4;

constexpr int kMsgFirmOpen = 1200;
constexpr int kMsgWebOpen = 1201;

constexpr const char* kEraseBoth = "E 4,5,6,7,8,9,10,11,12,13,14,15,18,19,20,21\r";
constexpr const char* kEraseFirm = "E 4,5,6,7,8,9,10,11,12,13,14,15\r";
constexpr const char* kEraseWeb = "E 18,19,20,21\r";
constexpr unsigned char kClosingCommand[3] = {'S', '\r', 0};

// Written only while no worker runs; the thread start publishes them to the worker.
NetWorkerSettings& Settings() {
    static auto* settings = new NetWorkerSettings;
    return *settings;
}

std::string Format(const char* format, const std::string& argument) {
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, format, argument.c_str());
    return buffer;
}

class Worker {
public:
    explicit Worker(std::intptr_t parameter) : settings_(Settings()), parameter_(parameter) {}

    void Run();

private:
    void SetStep(int step) {
        g_netStep.store(step);
        if (settings_.stepObserver) settings_.stepObserver(step, settings_.stepObserverContext);
    }
    // The result is the last shared write of every path: whoever sees it sees the
    // text, the step and the progress that came before.
    static void Publish(int result) { g_netResult.store(result, std::memory_order_release); }

    void CloseLink() {
        if (link_) KorvatSarnUsbSerialEx_CloseComm(link_);
        link_ = nullptr;
    }
    // Closes the link, puts the text in place, logs it, then publishes the failure.
    void Fail(const std::string& text) {
        CloseLink();
        g_lastErrorText = text;
        WriteLog(text);
        Publish(-1);
    }
    // A file that does not open, or cannot be sent, before anything went to the logger.
    void FailWithBox(const std::string& text) {
        g_lastErrorText = text;
        WriteLog(text);
        Publish(-1);
        ShowBox(text, BoxStyle::Ok);
    }
    bool CheckImages(bool sendFirm, bool sendWeb, const std::string& firmPath);

    const NetWorkerSettings settings_;
    const std::intptr_t parameter_;
    NetLink link_ = nullptr;
};

bool Worker::CheckImages(bool sendFirm, bool sendWeb, const std::string& firmPath) {
    if (sendFirm) {
        std::FILE* file = std::fopen(firmPath.c_str(), "rb");
        if (!file) {
            FailWithBox(LoadMessage(kMsgFirmOpen));
            return false;
        }
        // An image without its whole load-address word would be sent to a guessed
        // address after the module had been erased: refuse it now.
        long length = -1;
        if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
        std::fclose(file);
        if (length >= 0 && static_cast<unsigned long>(length) < kMinFirmImageBytes) {
            FailWithBox(kFirmImageTooShortText);
            return false;
        }
    }
    if (sendWeb) {
        std::FILE* file = std::fopen(g_webImagePath.c_str(), "rb");
        if (!file) {
            FailWithBox(LoadMessage(kMsgWebOpen));
            return false;
        }
        std::fclose(file);
    }
    return true;
}

void Worker::Run() {
    DialogData& dlg = *g_mainDialog;
    const int updateType = dlg.m_updateType.load();
    const bool sendFirm = (updateType & kUpdateFirmBit) != 0;
    const bool sendWeb = (updateType & kUpdateWebBit) != 0;

    const char* imageName = parameter_ == 809 ? "Nimbra_809.imf" : "Nimbra_810.imf";
    const std::string folder = settings_.imageFolder.empty() ? GetModuleFolder() : settings_.imageFolder;
    const std::string firmPath = folder + "/" + imageName;
    WriteLog(Format("Write Firm(%s)", firmPath));

    if (!CheckImages(sendFirm, sendWeb, firmPath)) return;

    SetStep(1);
    if (SendIChipUpdateRequest() < 0) {
        Publish(-1);  // the request has put its own text in place and logged it
        return;
    }

    WriteLog("Open com(115200)");
    if (KorvatSarnUsbSerialEx_OpenComm(g_comPort.load(), kLinkBufferBytes, kLinkBufferBytes, kLinkBaud, &link_) != 0) {
        link_ = nullptr;
        Fail("[115200] Com Open Error");
        return;
    }
    SetStep(2);
    dlg.m_progressTotal.store(100);
    dlg.m_progressDone.store(20);

    unsigned char marker[64] = {};
    KorvatSarnUsbSerialEx_ReadCommWait(link_, settings_.markerWaitMs, marker, 3, kMarkerPollMs);
    if (marker[0] != '$' || marker[1] != '$' || marker[2] != '$') {
        Fail("[115200] $$$ Recv Error");
        return;
    }
    dlg.m_progressDone.fetch_add(10);
    SetStep(3);
    if (WaitPrompt(link_) == -1) {
        Fail("[115200] Prompt Error");
        return;
    }

    dlg.m_progressDone.fetch_add(10);
    SetStep(4);
    unsigned char erase[kEraseBlockBytes] = {};
    const char* command = sendFirm && sendWeb ? kEraseBoth : sendFirm ? kEraseFirm : kEraseWeb;
    std::memcpy(erase, command, std::strlen(command));
    KorvatSarnUsbSerialEx_FlushComm(link_, 0);
    KorvatSarnUsbSerialEx_FlushComm(link_, 1);
    KorvatSarnUsbSerialEx_WriteComm(link_, erase, kEraseBlockBytes);
    SetStep(5);
    if (WaitPrompt(link_) == -1) {
        Fail("[Erace] Prompt Error");
        return;
    }

    // The module is still busy after it has answered the erase.
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.erasePauseMs));

    if (sendFirm) {
        SetStep(6);
        if (IChipSend(link_, firmPath) == -1) {
            CloseLink();
            WriteLog("Main Firm Transfer Error");
            Publish(-1);
            return;
        }
    }
    if (sendWeb) {
        SetStep(7);
        if (WebSendFirm(link_) == -1) {
            CloseLink();
            WriteLog("Web Firm Transfer Error");
            Publish(-1);
            return;
        }
    }

    KorvatSarnUsbSerialEx_FlushComm(link_, 0);
    KorvatSarnUsbSerialEx_FlushComm(link_, 1);
    KorvatSarnUsbSerialEx_WriteComm(link_, kClosingCommand, sizeof kClosingCommand);
    CloseLink();
    SetStep(8);
    Publish(0);
}

struct Launcher {
    std::mutex mutex;
    std::thread thread;
};

// Never destroyed: a run still going at process exit finds its launcher intact.
Launcher& TheLauncher() {
    static auto* launcher = new Launcher;
    return *launcher;
}

}  // namespace

unsigned int IChipFirmUpdateThread(std::intptr_t parameter) {
    Worker worker(parameter);
    worker.Run();
    return 0;
}

void SetNetWorkerSettings(const NetWorkerSettings& settings) { Settings() = settings; }

NetWorkerSettings GetNetWorkerSettings() { return Settings(); }

int StartIChipWorker(int imageNo) {
    Launcher& launcher = TheLauncher();
    std::lock_guard lock(launcher.mutex);
    if (launcher.thread.joinable()) launcher.thread.join();
    try {
        launcher.thread = std::thread(IChipFirmUpdateThread, static_cast<std::intptr_t>(imageNo));
    } catch (const std::system_error&) {
        // No thread, no worker to report: fail the run here so the timer ends it.
        const std::string text = "[iChip Thread] Start Error";
        g_lastErrorText = text;
        WriteLog(text);
        g_netResult.store(-1, std::memory_order_release);
        return -1;
    }
    return 0;
}

void WaitIChipWorker() {
    Launcher& launcher = TheLauncher();
    std::lock_guard lock(launcher.mutex);
    if (launcher.thread.joinable()) launcher.thread.join();
}

}  // namespace nimbra
