// The network-module transfer: the worker thread that rewrites the module's
// firmware and web content over the USB virtual serial link, and its pieces.
//
// The worker reports only through the shared state of Globals.h: g_netStep, the
// progress pair in g_mainDialog, g_lastErrorText, and g_netResult, which it
// stores last with release ordering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "KorvatSarnUsbSerialEx.h"

namespace nimbra {

using NetLink = KorvatSarnUsbSerialEx_Handle;

// Thread procedure. `parameter` is the image number: 809 selects Nimbra_809.imf,
// anything else Nimbra_810.imf. Returns 0 on every path.
unsigned int IChipFirmUpdateThread(std::intptr_t parameter);

// Waits for the module's prompt '>' on an open link: 0 seen, -1 not seen in 60 polls.
int WaitPrompt(NetLink link);

// Sends the firmware image at `imagePath` as data records. 0 every record answered, -1 failure.
int IChipSend(NetLink link, const std::string& imagePath);

// Sends the web-content image named by g_webImagePath. 0 or -1 likewise.
int WebSendFirm(NetLink link);

// The record header "D %x,%x:" for `dataBytes` bytes at `address` (the count goes
// halved). Writes at most `size` bytes including the terminator; returns the
// header's length.
int FormatRecordHeader(char* buffer, std::size_t size, std::uint32_t address, int dataBytes);

// Where the firmware image's load address word sits, and the shortest image that holds it.
inline constexpr std::size_t kLoadAddressOffset = 80;
inline constexpr std::size_t kMinFirmImageBytes = kLoadAddressOffset + 4;

// Failure text when a firmware image is too short to hold its load address.
inline constexpr const char* kFirmImageTooShortText = "[iChip Send] Image Too Short";

// Front ends start the worker with this; the thread is kept so that it can be
// joined. A run still under way from an earlier start is joined first.
// 0 started; -1 no thread could be made (the run is then failed with a text).
int StartIChipWorker(int imageNo);

// Joins the worker if one was started and not joined yet; returns at once otherwise.
// The program calls it before it exits, tests after every run.
void WaitIChipWorker();

// Called on the worker's thread each time it sets g_netStep (after the store).
using NetStepObserver = void (*)(int step, void* context);

// Settings that tests change; the defaults are the product's. Set them while no
// worker runs (starting the thread publishes them to it).
struct NetWorkerSettings {
    std::string imageFolder;          // where the .imf files lie; empty: the program's folder
    int erasePauseMs = 10000;         // pause between the erase prompt and the first record
    int markerWaitMs = 80000;         // how long the start marker "$$$" may take
    NetStepObserver stepObserver = nullptr;
    void* stepObserverContext = nullptr;
};
void SetNetWorkerSettings(const NetWorkerSettings& settings);
NetWorkerSettings GetNetWorkerSettings();

}  // namespace nimbra
