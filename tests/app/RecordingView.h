// A window that records what the core does with it, in one ordered list shared
// with the log lines and the calls of the fake device side.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "AppHelpers.h"
#include "DialogView.h"

namespace nimbra::test {

class RecordingView : public DialogView {
public:
    std::vector<std::string> events;
    std::deque<BoxAnswer> answers;          // for YesNo boxes; Yes when empty
    std::function<void()> onPump;           // what "dispatching messages" does
    std::map<int, bool> timers;             // running timers

    void SetStatusText(const std::string& t) override { events.push_back("status:" + t); }
    void SetProgressPos(int p) override { events.push_back("progress:" + std::to_string(p)); }
    void EnableUpdateButton(bool e) override { events.push_back(e ? "button:on" : "button:off"); }
    BoxAnswer ShowMessageBox(const std::string& t, BoxStyle s) override {
        static const char* kStyle[] = {"info", "ok", "yesno"};
        events.push_back(std::string("box(") + kStyle[static_cast<int>(s)] + "):" + t);
        if (s != BoxStyle::YesNo) return BoxAnswer::Ok;
        if (answers.empty()) return BoxAnswer::Yes;
        BoxAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    void StartTimer(int id, int ms) override {
        timers[id] = true;
        events.push_back("timer+" + std::to_string(id) + "/" + std::to_string(ms));
    }
    void KillTimer(int id) override {
        timers[id] = false;
        events.push_back("timer-" + std::to_string(id));
    }
    void PumpMessages() override {
        events.push_back("pump");
        if (onPump) onPump();
    }
    void SetCaption(const std::string& t) override { events.push_back("caption:" + t); }

    void Record(const std::string& e) { events.push_back(e); }
    void Clear() { events.clear(); }
    // Log lines land in the same list.
    void CaptureLog() {
        SetLogSink([](const std::string& text, const std::string&, void* ctx) {
            static_cast<RecordingView*>(ctx)->events.push_back("log:" + text);
        }, this);
    }
};

}  // namespace nimbra::test
