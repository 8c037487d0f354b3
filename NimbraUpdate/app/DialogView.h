// What the core does with its window. The Qt window, a Win32 window, the
// command-line front end and the tests' recording view each implement it.
#pragma once

#include <string>

namespace nimbra {

enum class BoxStyle {
    OkInformation,  // OK button, information icon
    Ok,             // OK button, no icon of the caller's own (the toolkit's warning icon)
    YesNo,          // Yes / No question
};

enum class BoxAnswer { Ok, Yes, No };

inline constexpr int IDT_MAIN_UPDATE = 1234;
inline constexpr int IDT_NET_UPDATE = 1235;

class DialogView {
public:
    virtual ~DialogView() = default;
    // All texts are UTF-8.
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetProgressPos(int pos) = 0;
    virtual void EnableUpdateButton(bool enable) = 0;
    // Blocks until the user answers. May be called from any thread: a view whose
    // toolkit is single-threaded marshals the box to its own thread and waits.
    virtual BoxAnswer ShowMessageBox(const std::string& text, BoxStyle style) = 0;
    virtual void StartTimer(int id, int periodMs) = 0;
    virtual void KillTimer(int id) = 0;
    // Dispatches the messages waiting for the UI thread (timer ticks, clicks).
    virtual void PumpMessages() = 0;
    // The window's caption, set once at start-up. Views without a caption ignore it.
    virtual void SetCaption(const std::string& text) { (void)text; }
};

// The view that message boxes of any thread go to; set by the front end while its
// window exists, cleared (nullptr) before the window goes. Thread-safe. Replacing
// or clearing the view waits until boxes that other threads are showing through
// the old view have returned, so the view must release those first (a window
// that goes answers its pending boxes itself).
void SetActiveView(DialogView* view);

// Shows a box through the active view; without one the text goes to stderr and the
// answer is Ok. Safe from any thread, also while the view is being cleared.
BoxAnswer ShowBox(const std::string& text, BoxStyle style);

}  // namespace nimbra
