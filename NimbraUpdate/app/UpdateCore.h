// The main dialog's behaviour without a toolkit: start-up, the update sequence
// behind the Update button, the two progress timers and their completion paths,
// and the Close button's confirmation. It talks to its window only through
// DialogView and to the device only through UpdateServices.
//
// How a front end drives it (the Qt window, a Win32 window, the command-line
// front end, the tests' recording view):
//
//  1. At start-up, before the window shows: LoadResourceLibrary() (AppHelpers.h),
//     then construct UpdateCore with the view and RealUpdateServices(), make the
//     view the active view (SetActiveView) and call OnInitDialog().
//  2. The Update button calls OnBnClickedUpdate(); the Close button (and Enter)
//     calls OnBnClickedOk() and ends the window when it returns true. Cancel (Esc,
//     the window's close box) ends the window at once without asking.
//  3. Timers are the view's: StartTimer(id, ms) / KillTimer(id) ask the front end
//     to call OnTimer(id) every `ms` milliseconds on the UI thread until killed.
//     A front end without an event loop keeps a list of (id, period, next due)
//     and, both in its own loop and in PumpMessages(), calls OnTimer for every
//     timer that is due. Killing a timer inside OnTimer must take effect at once.
//  4. PumpMessages() must dispatch what is waiting for the UI thread (timer ticks,
//     clicks) and return: the core calls it before each version query and in the
//     standby confirmation, and the flash library calls it (through the message
//     pump the core registers for the duration of the call) before each serial
//     write, so timer 1234 ticks nested inside the blocking main-firmware update.
//     OnTimer and OnBnClickedOk may therefore run nested inside
//     OnBnClickedUpdate; OnBnClickedUpdate itself does not nest (see below).
//  5. Message boxes: the core shows its own from the UI thread through the view.
//     The network-module worker shows its through ShowBox (DialogView.h), from its
//     own thread: the view marshals them and waits for the answer.
//  6. Ending: clear the active view (releasing boxes other threads wait on), then
//     destroy the core. A network-module worker may still run; it touches only
//     the never-destroyed state of Globals.h, so the front end may end the
//     process without waiting for it.
//
// Choices made where the product's behaviour is open:
//  - A second Update click while the checks run (messages are dispatched before
//    each version query) is ignored instead of starting a nested run.
//  - A main-firmware path longer than the library's 260 bytes is not cut: the run
//    fails as the library's own argument check would (-1), logged and shown.
//  - A window closed while messages are dispatched (during the checks, or while
//    standby is confirmed between the two stages) starts no further update: the
//    program is about to end, and a firmware write begun then would be cut off
//    or leave the logger held in reset.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "DialogView.h"
#include "Globals.h"

namespace nimbra {

// Everything the core asks of the device side, so that tests can stand in for it.
// RealUpdateServices() binds the flash library, the command link, the device
// queries and the network-module worker.
struct UpdateServices {
    // Flash library.
    std::function<int(int productId, std::uint16_t* table)> comTablePid;
    std::function<int(const char* path, int port, const char* product, const char* serial, int flashKB, int verify)>
        flashUpdate;
    std::function<void(int* step, int* percent)> getStatus;
    std::function<int(int port, int mask, int level)> resetLogger;
    // Registers (or with nullptr removes) the calling thread's message pump.
    std::function<void(void (*pump)(void*), void* context)> setMessagePump;
    // Command link and queries.
    std::function<int(std::uint32_t* list, int capacity, int productId, int mode)> getSerial;
    std::function<int()> getNimbraStatus;
    std::function<int(DialogData&)> getFirmVer;
    std::function<int()> confirmStandby;
    std::function<int(DialogData&)> readUpDateMng;
    std::function<std::string()> readUpDateMngTitle;
    // Network-module worker.
    std::function<void(int imageNo)> startNetWorker;
    // Plain sleep of the UI thread.
    std::function<void(int ms)> sleepMs;
};

UpdateServices RealUpdateServices();

inline constexpr int kLoggerProductId = 0x0d5e;
inline constexpr int kStandbyError = -40;
inline constexpr std::size_t kMaxFirmPathBytes = 260;

class UpdateCore {
public:
    UpdateCore(DialogView& view, UpdateServices services);
    UpdateCore(const UpdateCore&) = delete;
    UpdateCore& operator=(const UpdateCore&) = delete;

    // Start-up of the dialog: caption, status line, log viewer detection.
    void OnInitDialog();
    // The Update button.
    void OnBnClickedUpdate();
    void StartMainFirmUpdate();
    void StartIChipFirmUpdate();
    // A tick of timer `id`.
    void OnTimer(int id);
    // The Close button: true when the window is to end.
    bool OnBnClickedOk();
    // The window has ended (Close, Esc, the close box). Called by the view; the
    // handlers still on the stack run on, but start no new update.
    void OnDialogEnded() { dialogEnded_ = true; }

    bool Updating() const { return g_mainDialog->m_updating; }
    bool SequenceRunning() const { return inSequence_; }

private:
    void OnMainTimer();
    void OnNetTimer();
    void Box(int id);

    DialogView& view_;
    UpdateServices svc_;
    bool inSequence_ = false;
    bool dialogEnded_ = false;
};

}  // namespace nimbra
