#include "NimbraUpdateWindow.h"

#include <QApplication>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "AppHelpers.h"
#include "Resources.h"

namespace nimbra::qt {

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
QString Q(const char8_t* s) { return s ? QString::fromUtf8(reinterpret_cast<const char*>(s)) : QString(); }

QPixmap Picture(const unsigned char* data, std::size_t size) {
    QPixmap p;
    if (data && size) p.loadFromData(data, static_cast<uint>(size));
    return p;
}

}  // namespace

QFont DialogFont() {
    QFont f(QStringLiteral("Noto Sans CJK JP"));
    f.setPointSize(9);
    return f;
}

DialogUnits MeasureDialogUnits(const QFont& font) {
    QFontMetrics fm(font);
    const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogUnits u;
    u.baseX = (letters / 26 + 1) / 2;
    u.baseY = fm.height();
    return u;
}

NimbraUpdateWindow::NimbraUpdateWindow(UpdateServices services, QWidget* parent)
    : QDialog(parent), core_(std::make_unique<UpdateCore>(*this, std::move(services))) {
    const res::Resources& r = CurrentResources();
    setFont(DialogFont());
    units_ = MeasureDialogUnits(font());
    const DialogUnits& u = units_;
    setWindowTitle(Q(r.dialog.caption));
    setWindowIcon(QIcon(Picture(r.icon, r.iconSize)));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(u.X(211), u.Y(103));

    auto place = [&](QWidget* w, int x, int y, int cx, int cy) { w->setGeometry(u.X(x), u.Y(y), u.X(cx), u.Y(cy)); };

    // Template order is also the tab order; Close is the first tab stop and the default.
    close_ = new QPushButton(Q(r.dialog.closeButton), this);
    close_->setObjectName(QStringLiteral("IDOK"));
    place(close_, 154, 78, 50, 17);
    close_->setDefault(true);

    update_ = new QPushButton(Q(r.dialog.updateButton), this);
    update_->setObjectName(QStringLiteral("IDC_UPDATE"));
    place(update_, 7, 7, 61, 20);

    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("IDC_PROGRESS"));
    place(progress_, 7, 33, 197, 14);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);

    // A static bitmap control takes the bitmap's own size.
    logo_ = new QLabel(this);
    logo_->setObjectName(QStringLiteral("IDB_LOGO"));
    const QPixmap logo = Picture(r.logo, r.logoSize);
    logo_->setPixmap(logo);
    logo_->setGeometry(u.X(7), u.Y(86), logo.isNull() ? u.X(23) : logo.width(), logo.isNull() ? u.Y(10) : logo.height());

    company_ = new QLabel(Q(r.dialog.company), this);
    place(company_, 35, 87, 60, 9);
    // The substitute font runs a little wider than the template's; the text keeps
    // its position and takes the room it needs rather than being clipped.
    company_->resize(std::max(company_->width(), company_->sizeHint().width()), company_->height());

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("IDC_STATUS"));
    place(status_, 7, 53, 197, 20);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    status_->setWordWrap(true);

    setTabOrder(close_, update_);
    close_->setFocus();

    connect(update_, &QPushButton::clicked, this, [this] { core_->OnBnClickedUpdate(); });
    connect(close_, &QPushButton::clicked, this, [this] {
        if (core_->OnBnClickedOk()) accept();
    });
    // Esc and the caption's close box go through reject(): the dialog ends at once.
}

NimbraUpdateWindow::~NimbraUpdateWindow() {
    for (auto& [id, timer] : timers_) timer->stop();
    // Boxes that the worker waits on are answered, then the worker's ShowBox no
    // longer reaches this window.
    ReleasePendingBoxes();
    SetActiveView(nullptr);
}

void NimbraUpdateWindow::done(int result) {
    core_->OnDialogEnded();
    QDialog::done(result);
}

void NimbraUpdateWindow::Start() {
    SetActiveView(this);
    core_->OnInitDialog();
    close_->setFocus();
}

void NimbraUpdateWindow::SetStatusText(const std::string& text) { status_->setText(Q(text)); }

void NimbraUpdateWindow::SetProgressPos(int pos) { progress_->setValue(pos); }

void NimbraUpdateWindow::EnableUpdateButton(bool enable) { update_->setEnabled(enable); }

void NimbraUpdateWindow::SetCaption(const std::string& text) { setWindowTitle(Q(text)); }

void NimbraUpdateWindow::StartTimer(int id, int periodMs) {
    QTimer*& timer = timers_[id];
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] { core_->OnTimer(id); });
    }
    timer->start(timerPeriodOverride_ > 0 ? timerPeriodOverride_ : periodMs);
}

void NimbraUpdateWindow::KillTimer(int id) {
    auto it = timers_.find(id);
    if (it != timers_.end()) it->second->stop();
}

void NimbraUpdateWindow::PumpMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

BoxAnswer NimbraUpdateWindow::ShowMessageBox(const std::string& text, BoxStyle style) {
    if (QThread::currentThread() == thread()) return ShowBoxHere(text, style);
    return ShowBoxForOtherThread(text, style);
}

BoxAnswer NimbraUpdateWindow::ShowBoxHere(const std::string& text, BoxStyle style) {
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    if (style == BoxStyle::Ok) icon = QMessageBox::Warning;
    if (style == BoxStyle::YesNo) {
        icon = QMessageBox::Question;
        buttons = QMessageBox::Yes | QMessageBox::No;
    }
    // The caption is the program's name, as the original framework takes it from
    // the executable.
    QMessageBox box(icon, QStringLiteral("Nimbra_Update"), Q(text), buttons, this);
    box.setFont(font());
    if (boxHook_) {
        BoxHook hook = boxHook_;
        QTimer::singleShot(0, &box, [hook, &box] { hook(box); });
    }
    const int result = box.exec();
    if (style != BoxStyle::YesNo) return BoxAnswer::Ok;
    return result == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
}

BoxAnswer NimbraUpdateWindow::ShowBoxForOtherThread(const std::string& text, BoxStyle style) {
    auto pending = std::make_shared<PendingBox>();
    {
        std::lock_guard lock(pendingMutex_);
        if (closing_) return BoxAnswer::Ok;
        pending_.push_back(pending);
    }
    // The box runs on the UI thread; this thread waits until it is answered or the
    // window goes (then the box counts as answered with OK).
    QMetaObject::invokeMethod(this, [this, pending, text, style] {
        {
            std::lock_guard lock(pending->mutex);
            if (pending->done) return;
        }
        const BoxAnswer answer = ShowBoxHere(text, style);
        std::lock_guard lock(pending->mutex);
        pending->answer = answer;
        pending->done = true;
        pending->cv.notify_all();
    }, Qt::QueuedConnection);

    BoxAnswer answer;
    {
        std::unique_lock lock(pending->mutex);
        pending->cv.wait(lock, [&] { return pending->done; });
        answer = pending->answer;
    }
    std::lock_guard lock(pendingMutex_);
    std::erase(pending_, pending);
    return answer;
}

void NimbraUpdateWindow::ReleasePendingBoxes() {
    std::lock_guard lock(pendingMutex_);
    closing_ = true;
    for (auto& p : pending_) {
        std::lock_guard plock(p->mutex);
        if (!p->done) {
            p->done = true;
            p->cv.notify_all();
        }
    }
}

}  // namespace nimbra::qt
