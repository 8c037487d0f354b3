// Helpers shared by the network-module tests: a private temporary folder, a view
// that records message boxes, a recorder of log lines, and file helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "AppHelpers.h"
#include "DialogView.h"
#include "TempDir.h"

namespace nettest {

using nimbra::testsupport::TempDir;

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Deterministic bytes that differ from record to record and from seed to seed.
inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return v;
}

// Records every message box; boxes may come from the worker thread.
class RecordingView : public nimbra::DialogView {
public:
    RecordingView() { nimbra::SetActiveView(this); }
    ~RecordingView() override { nimbra::SetActiveView(nullptr); }
    void SetStatusText(const std::string&) override {}
    void SetProgressPos(int) override {}
    void EnableUpdateButton(bool) override {}
    nimbra::BoxAnswer ShowMessageBox(const std::string& text, nimbra::BoxStyle) override {
        std::lock_guard lock(mutex_);
        boxes_.push_back(text);
        return nimbra::BoxAnswer::Ok;
    }
    void StartTimer(int, int) override {}
    void KillTimer(int) override {}
    void PumpMessages() override {}
    std::vector<std::string> Boxes() const {
        std::lock_guard lock(mutex_);
        return boxes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> boxes_;
};

// Collects every WriteLog line, from any thread.
class LogRecorder {
public:
    LogRecorder() { nimbra::SetLogSink(&LogRecorder::Sink, this); }
    ~LogRecorder() { nimbra::SetLogSink(nullptr, nullptr); }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool Has(const std::string& line) const {
        for (const auto& l : Lines())
            if (l == line) return true;
        return false;
    }

private:
    static void Sink(const std::string& text, const std::string& source, void* context) {
        auto* self = static_cast<LogRecorder*>(context);
        EXPECT_EQ(source, "NimbraUpdate");
        std::lock_guard lock(self->mutex_);
        self->lines_.push_back(text);
    }
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace nettest
