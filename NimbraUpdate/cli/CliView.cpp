#include "CliView.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <thread>

namespace nimbra::cli {

std::string JsonString(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': o += "\\\""; break;
            case '\\': o += "\\\\"; break;
            case '\n': o += "\\n"; break;
            case '\r': o += "\\r"; break;
            case '\t': o += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    o += buf;
                } else {
                    o += static_cast<char>(c);
                }
        }
    }
    return o + "\"";
}

CliView::CliView(OutputMode mode, std::FILE* out) : mode_(mode), out_(out) {}

void CliView::PrintLine(const std::string& line) {
    // On a terminal the line goes above the progress bar, which is drawn again below it.
    const bool bar = barShown_;
    if (bar) std::fputs("\r\x1b[K", out_);
    barShown_ = false;
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    if (bar) Redraw();
    std::fflush(out_);
}

void CliView::FinishLine() {
    std::lock_guard lock(outMutex_);
    if (barShown_) {
        std::fputc('\n', out_);
        barShown_ = false;
        std::fflush(out_);
    }
}

namespace {

// Columns of the terminal, 80 when it does not say.
int TerminalColumns(std::FILE* out) {
    winsize ws{};
    if (ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// `text` cut to at most `columns` terminal columns. CJK and full-width characters
// take two columns; a cut never splits a UTF-8 sequence.
std::string FitColumns(const std::string& text, int columns) {
    int used = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        if (i + len > text.size()) len = text.size() - i;
        char32_t cp = len == 1 ? c : static_cast<char32_t>(c & (0x7F >> len));
        for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        const int w = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
                              (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
                              (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6)
                          ? 2
                          : 1;
        if (used + w > columns) break;
        used += w;
        i += len;
    }
    return text.substr(0, i);
}

}  // namespace

void CliView::Redraw() {
    // Called with outMutex_ held. One bar line, redrawn in place: it must never wrap,
    // or the carriage return would leave the wrapped part behind.
    constexpr int kWidth = 30;
    const int filled = std::clamp(progress_, 0, 100) * kWidth / 100;
    std::string bar = "\r\x1b[K[" + std::string(filled, '#') + std::string(kWidth - filled, '-') + "] ";
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%% ", std::clamp(progress_, 0, 100));
    bar += pct;
    bar += FitColumns(status_, TerminalColumns(out_) - 1 - (kWidth + 2 + 1 + 5));
    std::fputs(bar.c_str(), out_);
    std::fflush(out_);
    barShown_ = true;
    lastDraw_ = std::chrono::steady_clock::now();
}

void CliView::SetStatusText(const std::string& text) {
    std::lock_guard lock(outMutex_);
    const bool changed = text != status_;
    status_ = text;
    switch (mode_) {
        case OutputMode::Terminal: Redraw(); break;
        case OutputMode::Plain:
            if (changed && !text.empty()) PrintLine(text);
            break;
        case OutputMode::Json:
            if (changed) PrintLine("{\"event\":\"step\",\"text\":" + JsonString(text) + "}");
            break;
    }
}

void CliView::SetProgressPos(int pos) {
    std::lock_guard lock(outMutex_);
    const bool changed = pos != progress_;
    progress_ = pos;
    if (!changed) return;
    switch (mode_) {
        case OutputMode::Terminal: Redraw(); break;
        case OutputMode::Plain: break;  // the step texts carry the percentage
        case OutputMode::Json: PrintLine("{\"event\":\"progress\",\"percent\":" + std::to_string(pos) + "}"); break;
    }
}

void CliView::EnableUpdateButton(bool) {}

BoxAnswer CliView::ShowMessageBox(const std::string& text, BoxStyle style) {
    std::lock_guard lock(outMutex_);
    boxes_.push_back(text);
    if (mode_ == OutputMode::Json)
        PrintLine("{\"event\":\"message\",\"text\":" + JsonString(text) + "}");
    else
        PrintLine(">> " + text);
    // Nobody is there to answer: a question (only the Close button asks one) is
    // answered No, so nothing is ever abandoned by the command line.
    return style == BoxStyle::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
}

void CliView::SetCaption(const std::string& text) {
    if (text.empty()) return;
    Note("title", text);
}

void CliView::Note(const std::string& kind, const std::string& text) {
    std::lock_guard lock(outMutex_);
    if (mode_ == OutputMode::Json)
        PrintLine("{\"event\":" + JsonString(kind) + ",\"text\":" + JsonString(text) + "}");
    else
        PrintLine(text);
}

void CliView::Event(const std::string& jsonObject) {
    std::lock_guard lock(outMutex_);
    PrintLine(jsonObject);
}

void CliView::StartTimer(int id, int periodMs) {
    KillTimer(id);
    const auto period = std::chrono::milliseconds(periodMs);
    timers_.push_back({id, period, std::chrono::steady_clock::now() + period});
}

void CliView::KillTimer(int id) {
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; }),
                  timers_.end());
}

bool CliView::HasTimers() const { return !timers_.empty(); }

void CliView::SetTimerHandler(void (*handler)(int, void*), void* context) {
    handler_ = handler;
    handlerContext_ = context;
}

void CliView::PumpMessages() {
    const auto now = std::chrono::steady_clock::now();
    // Collect first: a handler may start or kill timers.
    std::vector<int> due;
    for (Timer& t : timers_) {
        if (t.due <= now && std::find(running_.begin(), running_.end(), t.id) == running_.end()) {
            due.push_back(t.id);
            t.due = now + t.period;
        }
    }
    for (int id : due) {
        // A timer killed by an earlier handler of this round does not tick.
        if (std::none_of(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; })) continue;
        running_.push_back(id);
        if (handler_) handler_(id, handlerContext_);
        running_.erase(std::find(running_.begin(), running_.end(), id));
    }
    if (mode_ == OutputMode::Terminal) {
        // Keep the bar alive while the library blocks between status changes.
        std::lock_guard lock(outMutex_);
        if (barShown_ && now - lastDraw_ > std::chrono::milliseconds(500)) Redraw();
    }
}

void CliView::RunUntilIdle() {
    while (!timers_.empty()) {
        auto next = std::min_element(timers_.begin(), timers_.end(),
                                     [](const Timer& a, const Timer& b) { return a.due < b.due; })->due;
        std::this_thread::sleep_until(std::min(next, std::chrono::steady_clock::now() + std::chrono::milliseconds(200)));
        PumpMessages();
    }
}

}  // namespace nimbra::cli
