// The command-line front end's window: prints what the dialog would show, drives
// the core's timers from its own loop, and reports the run's outcome.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "DialogView.h"

namespace nimbra::cli {

enum class OutputMode { Terminal, Plain, Json };

// One JSON string literal (quotes included), UTF-8 passed through, controls escaped.
std::string JsonString(const std::string& s);

class CliView : public DialogView {
public:
    CliView(OutputMode mode, std::FILE* out);

    void SetStatusText(const std::string& text) override;
    void SetProgressPos(int pos) override;
    void EnableUpdateButton(bool enable) override;
    BoxAnswer ShowMessageBox(const std::string& text, BoxStyle style) override;
    void StartTimer(int id, int periodMs) override;
    void KillTimer(int id) override;
    void PumpMessages() override;
    void SetCaption(const std::string& text) override;

    // The core's OnTimer, called for every due timer.
    void SetTimerHandler(void (*handler)(int id, void* context), void* context);
    // Runs the timers until none is left.
    void RunUntilIdle();
    bool HasTimers() const;

    // A line of our own (diagnosis, outcome) in the chosen form.
    void Note(const std::string& kind, const std::string& text);
    void Event(const std::string& jsonObject);  // Json mode: printed as is
    // Ends a progress bar line so that following output starts on a new line.
    void FinishLine();

    const std::vector<std::string>& Boxes() const { return boxes_; }
    const std::string& Status() const { return status_; }
    int Progress() const { return progress_; }
    OutputMode Mode() const { return mode_; }

private:
    struct Timer {
        int id;
        std::chrono::milliseconds period;
        std::chrono::steady_clock::time_point due;
    };
    void Redraw();
    void PrintLine(const std::string& line);

    OutputMode mode_;
    std::FILE* out_;
    mutable std::mutex outMutex_;  // the worker thread prints its boxes too
    std::vector<Timer> timers_;
    std::vector<int> running_;     // timers whose handler is on the stack
    void (*handler_)(int, void*) = nullptr;
    void* handlerContext_ = nullptr;
    std::vector<std::string> boxes_;
    std::string status_;
    int progress_ = 0;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace nimbra::cli
