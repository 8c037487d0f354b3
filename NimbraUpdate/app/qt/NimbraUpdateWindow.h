// The main dialog IDD_MAIN_DIALOG as a Qt 6 window: lays out the template in
// dialog units, shows the core's status, progress and boxes, and runs its timers.
#pragma once

#include <QDialog>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "DialogView.h"
#include "UpdateCore.h"

class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QTimer;

namespace nimbra::qt {

// Dialog units of the template's font, converted to pixels the way the original
// platform does: horizontal base from the average width of the Latin letters (a
// CJK font's own average is the full-width one), vertical base from the height.
struct DialogUnits {
    int baseX = 0;
    int baseY = 0;
    int X(int dlu) const { return (dlu * baseX + 2) / 4; }
    int Y(int dlu) const { return (dlu * baseY + 4) / 8; }
};
DialogUnits MeasureDialogUnits(const QFont& font);
// The template's font: a 9-point Japanese UI font.
QFont DialogFont();

class NimbraUpdateWindow : public QDialog, public DialogView {
    Q_OBJECT
public:
    explicit NimbraUpdateWindow(UpdateServices services, QWidget* parent = nullptr);
    ~NimbraUpdateWindow() override;

    // Runs the core's start-up (caption, status line, log viewer) and makes this
    // the view that boxes of every thread go to.
    void Start();

    // DialogView.
    void SetStatusText(const std::string& text) override;
    void SetProgressPos(int pos) override;
    void EnableUpdateButton(bool enable) override;
    BoxAnswer ShowMessageBox(const std::string& text, BoxStyle style) override;
    void StartTimer(int id, int periodMs) override;
    void KillTimer(int id) override;
    void PumpMessages() override;
    void SetCaption(const std::string& text) override;

    // Called on the UI thread once a box is on the screen; it may answer it (click a
    // button). Without one, boxes wait for a person.
    using BoxHook = std::function<void(QMessageBox& box)>;
    void SetBoxHook(BoxHook hook) { boxHook_ = std::move(hook); }
    // Runs the timers at this period instead of the core's (tests; 0: the core's).
    void SetTimerPeriodOverride(int ms) { timerPeriodOverride_ = ms; }

    UpdateCore& Core() { return *core_; }
    QPushButton* UpdateButton() const { return update_; }
    QPushButton* CloseButton() const { return close_; }
    QProgressBar* Progress() const { return progress_; }
    QLabel* Status() const { return status_; }
    const DialogUnits& Units() const { return units_; }

    // Every way the dialog ends passes here.
    void done(int result) override;

private:
    struct PendingBox {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        BoxAnswer answer = BoxAnswer::Ok;
    };
    BoxAnswer ShowBoxHere(const std::string& text, BoxStyle style);
    BoxAnswer ShowBoxForOtherThread(const std::string& text, BoxStyle style);
    void ReleasePendingBoxes();

    std::unique_ptr<UpdateCore> core_;
    DialogUnits units_;
    QPushButton* close_ = nullptr;
    QPushButton* update_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* logo_ = nullptr;
    QLabel* company_ = nullptr;
    QLabel* status_ = nullptr;
    std::map<int, QTimer*> timers_;
    int timerPeriodOverride_ = 0;
    BoxHook boxHook_;

    std::mutex pendingMutex_;
    std::vector<std::shared_ptr<PendingBox>> pending_;
    bool closing_ = false;
};

}  // namespace nimbra::qt
