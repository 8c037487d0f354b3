#include "DialogView.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace nimbra {

namespace {
std::mutex g_viewMutex;
std::condition_variable g_viewIdle;
DialogView* g_activeView = nullptr;
// Threads inside a box of the active view. A view is not let go while another
// thread still talks to it; the calling thread's own boxes do not count, since
// they are below it on its stack.
std::vector<std::thread::id> g_inBox;

bool OthersInBox() {
    const auto self = std::this_thread::get_id();
    return std::any_of(g_inBox.begin(), g_inBox.end(), [&](std::thread::id id) { return id != self; });
}
}  // namespace

void SetActiveView(DialogView* view) {
    std::unique_lock lock(g_viewMutex);
    if (g_activeView == view) return;
    g_activeView = view;
    g_viewIdle.wait(lock, [] { return !OthersInBox(); });
}

BoxAnswer ShowBox(const std::string& text, BoxStyle style) {
    DialogView* view;
    {
        std::lock_guard lock(g_viewMutex);
        view = g_activeView;
        if (view) g_inBox.push_back(std::this_thread::get_id());
    }
    if (!view) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return style == BoxStyle::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
    }
    BoxAnswer answer = view->ShowMessageBox(text, style);
    {
        std::lock_guard lock(g_viewMutex);
        g_inBox.erase(std::find(g_inBox.begin(), g_inBox.end(), std::this_thread::get_id()));
    }
    g_viewIdle.notify_all();
    return answer;
}

}  // namespace nimbra
