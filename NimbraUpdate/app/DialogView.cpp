#include "DialogView.h"

#include <cstdio>
#include <mutex>

namespace nimbra {

namespace {
std::mutex g_viewMutex;
DialogView* g_activeView = nullptr;
}  // namespace

void SetActiveView(DialogView* view) {
    std::lock_guard lock(g_viewMutex);
    g_activeView = view;
}

BoxAnswer ShowBox(const std::string& text, BoxStyle style) {
    DialogView* view;
    {
        std::lock_guard lock(g_viewMutex);
        view = g_activeView;
    }
    if (!view) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return style == BoxStyle::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
    }
    return view->ShowMessageBox(text, style);
}

}  // namespace nimbra
