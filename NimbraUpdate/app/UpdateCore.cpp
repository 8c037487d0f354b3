#include "UpdateCore.h"

#include <cstring>

#include "AppHelpers.h"

namespace nimbra {

namespace {

// The flash library's message pump, registered for the duration of its call.
void PumpView(void* context) { static_cast<DialogView*>(context)->PumpMessages(); }

struct SequenceGuard {
    bool& flag;
    explicit SequenceGuard(bool& f) : flag(f) { flag = true; }
    ~SequenceGuard() { flag = false; }
};

}  // namespace

UpdateCore::UpdateCore(DialogView& view, UpdateServices services) : view_(view), svc_(std::move(services)) {}

void UpdateCore::OnInitDialog() {
    g_mainDialog->m_updating = false;
    view_.SetCaption(svc_.readUpDateMngTitle());
    view_.SetStatusText(LoadMessage(501));
    DetectLogViewer();
}

void UpdateCore::Box(int id) { view_.ShowMessageBox(LoadMessage(id), BoxStyle::OkInformation); }

void UpdateCore::OnBnClickedUpdate() {
    // Messages are dispatched during the version queries; a click then must not
    // start a second run on top of this one.
    if (inSequence_) return;
    SequenceGuard guard(inSequence_);
    DialogData& dlg = *g_mainDialog;

    view_.SetStatusText("");
    view_.SetProgressPos(0);
    g_mainResult = 1;
    g_netResult.store(1, std::memory_order_release);
    g_lastErrorText.clear();
    dlg.m_fileFirmVer.clear();
    dlg.m_fileNetVerN.clear();
    dlg.m_fileNetVerP.clear();
    dlg.m_fileWebFirm.clear();
    dlg.m_netImageNo = 0;
    svc_.readUpDateMng(dlg);
    WriteLog("Start Update");

    std::uint16_t table[256] = {};
    const int ports = svc_.comTablePid(kLoggerProductId, table);
    if (ports <= 0 || ports >= 2) {
        const int id = ports <= 0 ? 1000 : 1001;
        Box(id);
        WriteLog(LoadMessage(id));
        return;
    }

    std::uint32_t serials[256] = {};
    svc_.getSerial(serials, 256, kLoggerProductId, 1);
    if (serials[0] == 0) {
        Box(1007);
        WriteLog(LoadMessage(1007));
    }
    g_deviceSerial = serials[0];

    const int power = svc_.getNimbraStatus();
    if (power == -1) {
        Box(1010);
        WriteLog(LoadMessage(1010));
    } else if (power == 0) {
        Box(1011);
        WriteLog(LoadMessage(1011));
        return;
    }

    const std::string folder = GetModuleFolder();
    g_mainHexPath = folder + "/Nimbra.hex";
    g_webImagePath = folder + "/Nimbra.img";

    for (int port = 0; port < 256; ++port) {
        if (table[port] != 0) {
            g_comPort = static_cast<std::uint16_t>(port);
            break;
        }
    }

    for (int attempt = 0; attempt < 10; ++attempt) {
        view_.PumpMessages();
        dlg.m_updateType = svc_.getFirmVer(dlg);
        if (dlg.m_updateType != -2) break;
        svc_.sleepMs(500);
    }

    // Closed while the queries dispatched messages: the program is ending.
    if (dialogEnded_) return;

    const int type = dlg.m_updateType;
    if (type == 0) {
        WriteLog(LoadMessage(1008));
        Box(1008);
        return;
    }
    if (type < 0) {
        WriteLog(LoadMessage(1009));
        Box(1009);
        if (type == -2) return;
    }

    WriteLog(FormatMessage("UpdateType = %d", {type}));
    if (type < 0) {
        WriteLog("Main Firm Update(Recovoer)");
        StartMainFirmUpdate();
    } else if (type & 0x1) {
        WriteLog("Main Firm Update");
        StartMainFirmUpdate();
    } else {
        WriteLog("iChip Firm Update");
        StartIChipFirmUpdate();
    }
}

void UpdateCore::StartMainFirmUpdate() {
    view_.EnableUpdateButton(false);
    g_mainDialog->m_updating = true;
    WriteLog("Main Firm Update Start");
    view_.StartTimer(IDT_MAIN_UPDATE, 1000);

    // The locale's code page is UTF-8, so the path goes to the library as it is.
    // One that does not fit the library's buffer fails the run instead of being
    // cut to a name that may well exist and be the wrong file.
    const std::string path = g_mainHexPath;
    if (path.size() > kMaxFirmPathBytes) {
        WriteLog("[Main] Path Too Long");
        g_mainResult = -1;
        return;
    }
    char buffer[kMaxFirmPathBytes + 1] = {};
    std::memcpy(buffer, path.data(), path.size());

    svc_.setMessagePump(&PumpView, &view_);
    const int result =
        svc_.flashUpdate(buffer, g_comPort, "Korvat USB-UART Controller", "0001", 512, 1);
    svc_.setMessagePump(nullptr, nullptr);
    g_mainResult = result;
}

void UpdateCore::StartIChipFirmUpdate() {
    DialogData& dlg = *g_mainDialog;
    view_.EnableUpdateButton(false);
    dlg.m_updating = true;
    dlg.m_progressDone = 0;
    g_netStep = 0;
    WriteLog(FormatMessage("iChip Firm Update Start(%d)", {dlg.m_netImageNo}));
    svc_.startNetWorker(dlg.m_netImageNo);
    view_.StartTimer(IDT_NET_UPDATE, 1000);
}

void UpdateCore::OnTimer(int id) {
    if (id == IDT_MAIN_UPDATE) OnMainTimer();
    else if (id == IDT_NET_UPDATE) OnNetTimer();
}

void UpdateCore::OnMainTimer() {
    DialogData& dlg = *g_mainDialog;
    int step = 0;
    int percent = 0;
    svc_.getStatus(&step, &percent);

    std::string text;
    if (step >= 0 && step <= 6) {
        text = LoadMessage(2000 + step);
    } else if (step == 7) {
        text = FormatMessage(LoadMessage(2007), {percent});
        view_.SetProgressPos(percent / 2);
    } else if (step == 8) {
        text = FormatMessage(LoadMessage(2008), {percent});
        view_.SetProgressPos(percent / 2 + 50);
    } else if (step == 9 || step == 10) {
        text = LoadMessage(2000 + step);
    } else {
        text = LoadMessage(2011);
    }
    view_.SetStatusText(text);
    WriteLog(text);

    const int result = g_mainResult;
    if (result > 0) return;

    view_.KillTimer(IDT_MAIN_UPDATE);
    dlg.m_updating = false;
    svc_.sleepMs(3000);
    svc_.resetLogger(g_comPort, 1, 0);

    if (result < 0) {
        const std::string failed = FormatMessage(LoadMessage(1003), {result});
        view_.SetStatusText(failed);
        WriteLog(failed);
        view_.EnableUpdateButton(true);
        return;
    }

    if (dlg.m_updateType == 1) {
        view_.SetProgressPos(100);
        view_.SetStatusText(LoadMessage(1004));
        WriteLog(LoadMessage(1004));
        view_.EnableUpdateButton(true);
        Box(1004);
        return;
    }

    svc_.sleepMs(3000);
    view_.SetProgressPos(100);
    for (int attempt = 0; attempt < 10; ++attempt) {
        view_.PumpMessages();
        svc_.sleepMs(10);
        if (svc_.confirmStandby() == 0) {
            if (dialogEnded_) return;
            StartIChipFirmUpdate();
            return;
        }
    }
    const std::string failed = FormatMessage(LoadMessage(1003), {kStandbyError});
    view_.SetStatusText(failed);
    WriteLog(failed);
    view_.EnableUpdateButton(true);
}

void UpdateCore::OnNetTimer() {
    DialogData& dlg = *g_mainDialog;
    const int result = g_netResult.load(std::memory_order_acquire);

    if (result == 0) {
        view_.KillTimer(IDT_NET_UPDATE);
        dlg.m_updating = false;
        svc_.sleepMs(3000);
        svc_.resetLogger(g_comPort, 1, 0);
        view_.SetProgressPos(100);
        view_.SetStatusText(LoadMessage(1004));
        view_.EnableUpdateButton(true);
        WriteLog(LoadMessage(1004));
        Box(1004);
        return;
    }
    if (result < 0) {
        view_.KillTimer(IDT_NET_UPDATE);
        dlg.m_updating = false;
        svc_.sleepMs(3000);
        svc_.resetLogger(g_comPort, 1, 0);
        view_.EnableUpdateButton(true);
        // The worker has published its text before its result and changes it no more.
        const std::string errorText = g_lastErrorText;
        view_.ShowMessageBox(errorText, BoxStyle::Ok);
        view_.SetStatusText(errorText);
        view_.ShowMessageBox(FormatMessage(LoadMessage(1003), {result}), BoxStyle::Ok);
        return;
    }

    const int step = g_netStep;
    const int done = dlg.m_progressDone;
    const int total = dlg.m_progressTotal;
    std::string text = FormatMessage(LoadMessage(2020), {step, 8});
    view_.SetStatusText(text);
    if (done != 0) text = FormatMessage(LoadMessage(2020), {done, total});
    WriteLog(text);
    if (total != 0) view_.SetProgressPos(static_cast<int>(static_cast<long long>(done) * 100 / total));
}

bool UpdateCore::OnBnClickedOk() {
    if (g_mainDialog->m_updating) {
        if (view_.ShowMessageBox(LoadMessage(1005), BoxStyle::YesNo) != BoxAnswer::Yes) return false;
        view_.ShowMessageBox(LoadMessage(1006), BoxStyle::Ok);
    }
    return true;
}

}  // namespace nimbra
