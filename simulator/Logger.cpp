#include "Logger.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "VirtualBus.h"

namespace nimbra::sim {

namespace {

using Clock = Logger::Clock;
using TimePoint = Logger::TimePoint;

constexpr std::uint8_t kSoh = 0x01, kStx = 0x02, kEtx = 0x03, kEtb = 0x17, kAck = 0x06;
// Refusal statuses, after the boot loader's own codes.
constexpr std::uint8_t kStCommand = 0x04, kStParameter = 0x05, kStChecksum = 0x07, kStNak = 0x15,
                       kStVerify = 0x1A, kStWrite = 0x1B;
constexpr int kFastBaud = 115200;
constexpr int kSlowBaud = 9600;
// A frame that stops arriving is dropped after this much silence, as the target's
// receive time-out would.
constexpr int kIncompleteFrameMs = 500;
constexpr int kIncompleteRecordMs = 1000;
// After the product opens the port it configures and purges it; "$$$" waits this long
// at least so that the purge cannot swallow it.
constexpr int kOpenSettleMs = 50;
// Module addresses from here up belong to the web-content area (erase blocks 16 and up).
constexpr std::uint32_t kWebAreaStart = 0x100F0000;
constexpr std::size_t kTranscriptCap = 200000;
constexpr std::size_t kLinkRequestMax = 4096;

TimePoint Later(TimePoint t, double seconds) {
    return t + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

TimePoint LaterMs(TimePoint t, int ms) { return t + std::chrono::milliseconds(ms); }

std::string HexBytes(const std::uint8_t* p, std::size_t n, std::size_t max = 24) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n && i < max; ++i) {
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", p[i]);
        s += b;
    }
    if (n > max) s += " ...";
    return s;
}

int BaudOf(speed_t s) {
    switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
    }
}

int ListenUnix(const std::string& path) {
    sockaddr_un addr;
    if (!bus::UnixAddress(path, addr)) return -1;
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// The version text behind `marker` in `image`: up to 15 printable characters and a NUL.
std::string FindVersionTag(const std::uint8_t* image, std::size_t size, const char* marker) {
    const std::size_t m = std::strlen(marker);
    const std::uint8_t* end = image + size;
    const std::uint8_t* p = image;
    while (true) {
        p = std::search(p, end, marker, marker + m);
        if (p == end) return {};
        const std::uint8_t* q = p + m;
        std::string text;
        while (q < end && *q != 0 && *q >= 0x20 && *q < 0x7F && text.size() < 16) text.push_back(static_cast<char>(*q++));
        if (q < end && *q == 0 && !text.empty() && text.size() <= 15) return text;
        p += 1;
    }
}

void PutLe16(std::vector<std::uint8_t>& v, unsigned x) {
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
    v.push_back(static_cast<std::uint8_t>((x >> 8) & 0xFF));
}

void PutItem(std::vector<std::uint8_t>& v, const std::string& key, const std::string& value) {
    v.insert(v.end(), key.begin(), key.end());
    v.push_back('=');
    PutLe16(v, static_cast<unsigned>(value.size()));
    v.insert(v.end(), value.begin(), value.end());
}

// The boot loader's signature data: vendor code, device code, name and last address.
const std::uint8_t kSignature[24] = {0x10, 0x7F, 0x04, 0x20, 'N',  'I',  'M',  'B',  'R',  'A',  '-',  'S',
                                     'I',  'M',  ' ',  ' ',  0x7F, 0xFF, 0x07, 0x03, 0x00, 0x00, 0x00, 0x01};

}  // namespace

Logger::Logger(int index, LoggerConfig config, const Timing& timing, std::string busDir, bool checkLineSpeed,
               TimePoint origin)
    : index_(index), cfg_(std::move(config)), timing_(timing), busDir_(std::move(busDir)),
      checkLineSpeed_(checkLineSpeed), origin_(origin) {
    flash_ = cfg_.flash;
    flash_.resize(kFlashSize, 0xFF);
    comPath_ = busDir_ + "/COM" + std::to_string(cfg_.com);
    idPath_ = bus::IdentityPath(busDir_, cfg_.com);
    gpioPath_ = bus::GpioSocketPath(busDir_, cfg_.com);
    linkPath_ = bus::CommandLinkPath(busDir_, cfg_.productId, cfg_.serial);
}

Logger::~Logger() { Stop(); }

// ---------------------------------------------------------------- life cycle

int Logger::Start() {
    std::lock_guard lk(mu_);
    if (running_) return 0;
    for (const std::string& faultText : cfg_.faults) {
        auto f = ParseFault(faultText);
        if (!f) return -EINVAL;
        faults_.push_back(*f);
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return -errno;
    int rc = DoPlug();
    if (rc != 0) {
        CloseFd(wakeFd_);
        return rc;
    }
    for (const Fault& f : faults_)
        if (f.kind == FaultKind::PortHeld && !f.atReopen) heldWanted_ = true;
    // A port held from the start is held before Start() returns, so that no open
    // can slip in first.
    if (heldWanted_) TryHoldPort();
    stop_ = false;
    running_ = true;
    thread_ = std::thread([this] { Run(); });
    return 0;
}

void Logger::Stop() {
    {
        std::lock_guard lk(mu_);
        if (!running_) return;
        stop_ = true;
        Wake();
    }
    thread_.join();
    std::lock_guard lk(mu_);
    running_ = false;
    FlushCountNote();
    if (mode_ != Mode::Unplugged) DoUnplug("simulator stopped");
    CloseFd(wakeFd_);
}

void Logger::Wake() {
    if (wakeFd_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t w = ::write(wakeFd_, &one, sizeof one);
    }
}

void Logger::CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool Logger::WriteIdentity() {
    bus::UsbIdentity id;
    id.vendor = bus::kVendorId;
    id.product = cfg_.productId;
    id.productString = cfg_.productString;
    id.serial = cfg_.usbSerial;
    for (const Fault& f : faults_) {
        if (f.kind == FaultKind::ProductString) id.productString = f.text;
        if (f.kind == FaultKind::UsbSerial) id.serial = f.text;
    }
    return bus::WriteIdentityFile(idPath_, id);
}

int Logger::DoPlug() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0) return -errno;
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0) {
        int e = errno;
        CloseFd(master_);
        return -e;
    }
    slavePath_ = name;
    // Holding one slave descriptor keeps the tty's settings and input between the
    // product's opens, and spares the master EIO while nobody else has it open.
    slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slaveHold_ < 0) {
        int e = errno;
        CloseFd(master_);
        return -e;
    }
    termios tio{};
    ::tcgetattr(slaveHold_, &tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    ::tcsetattr(slaveHold_, TCSANOW, &tio);

    int rc = 0;
    ::unlink(comPath_.c_str());
    if (::symlink(name, comPath_.c_str()) != 0) rc = -errno;
    if (rc == 0 && !WriteIdentity()) rc = -EIO;
    if (rc == 0 && (gpioListen_ = ListenUnix(gpioPath_)) < 0) rc = -errno;
    if (rc == 0 && (linkListen_ = ListenUnix(linkPath_)) < 0) rc = -errno;
    if (rc == 0) {
        inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_ >= 0 && ::inotify_add_watch(inotify_, name, IN_OPEN | IN_CLOSE) < 0) CloseFd(inotify_);
    }
    if (rc != 0) {
        DoUnplug("plug failed");
        return rc;
    }
    productOpens_ = ownOpens_ = ownCloses_ = 0;
    latch_ = 1;
    gen_++;
    epoch_++;
    Note("plugged in: " + comPath_ + " -> " + slavePath_);
    StartFirmware();
    return 0;
}

void Logger::DoUnplug(const char* why) {
    ::unlink(comPath_.c_str());
    ::unlink(idPath_.c_str());
    ::unlink(gpioPath_.c_str());
    ::unlink(linkPath_.c_str());
    for (auto& c : gpioClients_) CloseFd(c.fd);
    gpioClients_.clear();
    for (auto& [id, c] : links_) CloseFd(c.fd);
    links_.clear();
    CloseFd(gpioListen_);
    CloseFd(linkListen_);
    CloseFd(inotify_);
    CloseFd(heldFd_);
    CloseFd(slaveHold_);
    CloseFd(master_);
    tx_.clear();
    txBlocked_ = false;
    parser_ = FrameParser{};
    ctx_ = BlockContext{};
    net_ = NetState{};
    mode_ = Mode::Unplugged;
    gen_++;
    epoch_++;
    Note(std::string("unplugged (") + why + ")");
}

// ---------------------------------------------------------------- event loop

void Logger::Run() {
    std::unique_lock lk(mu_);
    enum Tag { kWake, kMaster, kGpioListen, kGpioClient, kLinkListen, kLinkClient, kInotify };
    std::vector<pollfd> fds;
    std::vector<std::pair<Tag, int>> tags;
    while (!stop_) {
        fds.clear();
        tags.clear();
        auto add = [&](int fd, short events, Tag tag, int arg) {
            fds.push_back(pollfd{fd, events, 0});
            tags.emplace_back(tag, arg);
        };
        add(wakeFd_, POLLIN, kWake, 0);
        if (master_ >= 0) add(master_, static_cast<short>(POLLIN | (txBlocked_ ? POLLOUT : 0)), kMaster, 0);
        if (gpioListen_ >= 0) add(gpioListen_, POLLIN, kGpioListen, 0);
        for (std::size_t i = 0; i < gpioClients_.size(); ++i) add(gpioClients_[i].fd, POLLIN, kGpioClient, static_cast<int>(i));
        if (linkListen_ >= 0) add(linkListen_, POLLIN, kLinkListen, 0);
        for (auto& [id, c] : links_) add(c.fd, POLLIN, kLinkClient, id);
        if (inotify_ >= 0) add(inotify_, POLLIN, kInotify, 0);

        TimePoint now = Clock::now();
        TimePoint deadline = NextDeadline(now);
        timespec ts{};
        bool infinite = deadline == TimePoint::max();
        if (!infinite) {
            auto d = deadline > now ? deadline - now : Clock::duration::zero();
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        const unsigned gen = gen_;
        lk.unlock();
        int r = ::ppoll(fds.data(), fds.size(), infinite ? nullptr : &ts, nullptr);
        lk.lock();
        loops_++;
        loopCv_.notify_all();
        if (stop_) break;
        now = Clock::now();
        if (fds[0].revents & POLLIN) {
            std::uint64_t v;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &v, sizeof v);
        }
        if (r > 0 && gen == gen_) {
            std::vector<int> deadGpio, deadLinks;
            for (std::size_t i = 1; i < fds.size() && gen == gen_; ++i) {
                if (!fds[i].revents) continue;
                auto [tag, arg] = tags[i];
                switch (tag) {
                case kMaster:
                    if (fds[i].revents & POLLOUT) txBlocked_ = false;
                    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) OnMasterReadable(now);
                    break;
                case kGpioListen: OnGpioAccept(); break;
                case kGpioClient:
                    if (!OnGpioData(gpioClients_[static_cast<std::size_t>(arg)], now)) deadGpio.push_back(arg);
                    break;
                case kLinkListen: OnLinkAccept(); break;
                case kLinkClient:
                    if (!OnLinkData(arg, now)) deadLinks.push_back(arg);
                    break;
                case kInotify: OnInotify(now); break;
                case kWake: break;
                }
            }
            if (gen == gen_) {
                for (auto it = deadGpio.rbegin(); it != deadGpio.rend(); ++it) {
                    CloseFd(gpioClients_[static_cast<std::size_t>(*it)].fd);
                    gpioClients_.erase(gpioClients_.begin() + *it);
                    gen_++;
                }
                for (int id : deadLinks) CloseLink(id);
            }
        }
        RunDue(Clock::now());
    }
}

Logger::TimePoint Logger::NextDeadline(TimePoint now) const {
    TimePoint d = TimePoint::max();
    if (!tx_.empty() && !txBlocked_) d = std::min(d, tx_.front().due);
    if (!actions_.empty()) d = std::min(d, actions_.begin()->first);
    if (parser_.inFrame) d = std::min(d, LaterMs(std::max(parser_.last, now), kIncompleteFrameMs));
    if (net_.dataLeft > 0) d = std::min(d, LaterMs(std::max(net_.dataLast, now), kIncompleteRecordMs));
    if (heldWanted_ && heldFd_ < 0 && mode_ != Mode::Unplugged) d = std::min(d, LaterMs(now, 2));
    return d;
}

void Logger::RunDue(TimePoint now) {
    while (!actions_.empty() && actions_.begin()->first <= now) {
        auto action = std::move(actions_.begin()->second);
        actions_.erase(actions_.begin());
        action();
    }
    if (parser_.inFrame && now >= LaterMs(parser_.last, kIncompleteFrameMs)) {
        Note("incomplete frame dropped after silence: " + HexBytes(parser_.bytes.data(), parser_.bytes.size()));
        parser_ = FrameParser{};
    }
    if (net_.dataLeft > 0 && now >= LaterMs(net_.dataLast, kIncompleteRecordMs)) {
        Note("incomplete record dropped: " + std::to_string(net_.data.size()) + " of " +
             std::to_string(net_.data.size() + net_.dataLeft) + " data bytes");
        net_.dataLeft = 0;
        net_.data.clear();
    }
    if (heldWanted_ && heldFd_ < 0 && mode_ != Mode::Unplugged) TryHoldPort();
    FlushTx(now);
}

void Logger::Schedule(TimePoint when, std::function<void()> action) {
    actions_.emplace(when, std::move(action));
}

// ---------------------------------------------------------------- the line

void Logger::LineOf(int& baud, int& bits) const {
    if (mode_ == Mode::BootLoader) {
        baud = loaderBaud_;
        bits = 11;  // 8N2
    } else {
        baud = kFastBaud;
        bits = 10;  // 8N1
    }
}

int Logger::TtyBaud() const {
    termios tio{};
    if (slaveHold_ < 0 || ::tcgetattr(slaveHold_, &tio) != 0) return 0;
    return BaudOf(::cfgetospeed(&tio));
}

void Logger::Emit(const std::vector<std::uint8_t>& bytes, TimePoint ready, bool echo) {
    if (master_ < 0) return;
    int baud, bits;
    LineOf(baud, bits);
    const double bt = static_cast<double>(bits) / baud;
    for (std::uint8_t b : bytes) {
        TimePoint due = std::max(ready, txEnd_);
        if (timing_.paced) due = Later(due, bt);
        txEnd_ = due;
        tx_.push_back(TxByte{b, due});
        stats_.bytesFromDevice++;
        if (!echo) {
            stats_.lineSeconds += bt;
            txSinceRx_ = true;
        }
    }
}

void Logger::FlushTx(TimePoint now) {
    if (master_ < 0 || txBlocked_) return;
    std::uint8_t buf[4096];
    while (!tx_.empty() && tx_.front().due <= now) {
        std::size_t n = 0;
        while (n < sizeof buf && n < tx_.size() && tx_[n].due <= now) {
            buf[n] = tx_[n].byte;
            ++n;
        }
        ssize_t w = ::write(master_, buf, n);
        if (w < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) txBlocked_ = true;
            else if (errno != EINTR) tx_.clear();
            return;
        }
        tx_.erase(tx_.begin(), tx_.begin() + w);
        if (static_cast<std::size_t>(w) < n) {
            txBlocked_ = true;
            return;
        }
    }
}

void Logger::OnMasterReadable(TimePoint now) {
    std::uint8_t buf[4096];
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) return;
    int baud, bits;
    LineOf(baud, bits);
    const double bt = static_cast<double>(bits) / baud;
    const bool protocol = mode_ == Mode::BootLoader || (mode_ == Mode::NetModuleUpdate);
    bool wrongSpeed = false;
    int tty = 0;
    if (protocol && checkLineSpeed_) {
        tty = TtyBaud();
        wrongSpeed = tty != 0 && tty != baud;
    }
    for (ssize_t i = 0; i < n; ++i) {
        const bool newBurst = now > vRxEnd_ || txSinceRx_;
        vRxEnd_ = Later(std::max(now, vRxEnd_), bt);
        txSinceRx_ = false;
        stats_.bytesToDevice++;
        const TimePoint arrival = timing_.paced ? vRxEnd_ : now;
        if (!protocol) {
            NoteCount(mode_ == Mode::Reset ? "byte ignored (held in reset)" : "byte ignored (normal firmware)");
            continue;
        }
        if (wrongSpeed) {
            NoteCount("garbage byte (tty at " + std::to_string(tty) + " baud, line at " + std::to_string(baud) + ")");
            continue;
        }
        stats_.lineSeconds += bt;
        if (mode_ == Mode::BootLoader) {
            if (newBurst && !echoOff_) stats_.lineSeconds += bt;  // the echo's trailing byte
            LoaderByte(buf[i], arrival);
        } else {
            NetByte(buf[i], arrival);
        }
        if (master_ < 0) return;  // vanished
    }
}

// ---------------------------------------------------------------- GPIO latch

void Logger::OnGpioAccept() {
    int fd = ::accept4(gpioListen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    gpioClients_.push_back(GpioClient{fd, {}});
    gen_++;
}

bool Logger::OnGpioData(GpioClient& c, TimePoint now) {
    std::uint8_t buf[256];
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.buf.insert(c.buf.end(), buf, buf + n);
    const int fd = c.fd;
    while (c.buf.size() >= 4) {
        const std::uint16_t mask = static_cast<std::uint16_t>(c.buf[0] | (c.buf[1] << 8));
        const std::uint16_t value = static_cast<std::uint16_t>(c.buf[2] | (c.buf[3] << 8));
        c.buf.erase(c.buf.begin(), c.buf.begin() + 4);
        std::uint8_t answer = 0;
        for (Fault& f : faults_) {
            if (f.kind == FaultKind::GpioFail && f.Live()) {
                f.fired++;
                answer = 1;
                break;
            }
        }
        char text[96];
        std::snprintf(text, sizeof text, "gpio latch mask=%04X value=%04X%s", mask, value,
                      answer ? " refused (fault gpio-fail)" : "");
        Note(text);
        if (!answer) ApplyLatch(mask, value, now);
        ::send(fd, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (mode_ == Mode::Unplugged) return true;
    }
    return true;
}

void Logger::ApplyLatch(std::uint16_t mask, std::uint16_t value, TimePoint now) {
    const bool wasReset = !(latch_ & 1);
    latch_ = static_cast<std::uint16_t>((latch_ & ~mask) | (value & mask));
    const bool reset = !(latch_ & 1);
    if (!wasReset && reset) {
        EnterReset();
    } else if (wasReset && !reset) {
        if (latch_ & 2) StartLoader(now);
        else StartFirmware();
    }
}

void Logger::EnterReset() {
    FlushCountNote();
    mode_ = Mode::Reset;
    epoch_++;
    tx_.clear();
    parser_ = FrameParser{};
    ctx_ = BlockContext{};
    net_ = NetState{};
    Note("held in reset");
}

void Logger::LatchVersions() {
    reportedFw_ = FindVersionTag(flash_.data(), flash_.size(), kFirmVersionMarker);
    if (reportedFw_.empty()) reportedFw_ = cfg_.firmVer;
    reportedNet_.clear();
    for (auto& [addr, bytes] : netStore_) {
        if (addr >= kWebAreaStart) continue;
        reportedNet_ = FindVersionTag(bytes.data(), bytes.size(), kNetVersionMarker);
        if (!reportedNet_.empty()) break;
    }
    if (reportedNet_.empty()) reportedNet_ = cfg_.netVer;
}

void Logger::StartFirmware() {
    mode_ = Mode::NormalFirmware;
    boots_++;
    LatchVersions();
    Note("normal firmware started (boot " + std::to_string(boots_) + "), FWV " + reportedFw_ + ", NETV " + reportedNet_);
}

void Logger::StartLoader(TimePoint now) {
    FlushCountNote();
    mode_ = Mode::BootLoader;
    loaderBaud_ = kSlowBaud;
    echoOff_ = false;
    parser_ = FrameParser{};
    ctx_ = BlockContext{};
    txEnd_ = now;
    int announce = 0x00;
    for (Fault& f : faults_) {
        if (!f.Live()) continue;
        if (f.kind == FaultKind::Announce) {
            f.fired++;
            announce = f.value;
        } else if (f.kind == FaultKind::NoEcho && f.cmd < 0 && f.block < 0 && f.frame < 0) {
            f.fired++;
            echoOff_ = true;
        }
    }
    Note(std::string("boot loader started at 9600 baud") + (echoOff_ ? ", no echo (fault)" : ""));
    if (announce == -2) {
        Note("announcement withheld (fault)");
        return;
    }
    Emit({static_cast<std::uint8_t>(announce)}, now, false);
    char text[48];
    std::snprintf(text, sizeof text, "tx announcement %02X", announce);
    Note(text);
}

// ---------------------------------------------------------------- boot loader

void Logger::LoaderByte(std::uint8_t b, TimePoint t) {
    if (!echoOff_) Emit({b}, t, true);
    FrameParser& p = parser_;
    if (!p.inFrame) {
        if (b != kSoh && b != kStx) {
            char text[48];
            std::snprintf(text, sizeof text, "rx bare byte %02X (ignored)", b);
            NoteCount(text);
            return;
        }
        p.inFrame = true;
        p.need = 0;
        p.bytes.assign(1, b);
        p.last = t;
        return;
    }
    p.bytes.push_back(b);
    p.last = t;
    if (p.bytes.size() == 2) p.need = (b == 0 ? 256u : b) + 4u;
    if (p.need && p.bytes.size() == p.need) {
        FlushCountNote();
        LoaderFrame(t);
        parser_ = FrameParser{};
    }
}

Logger::LoaderEffects Logger::Effects(int cmd, int block, int frame) {
    LoaderEffects e;
    for (Fault& f : faults_) {
        if (!f.Live()) continue;
        switch (f.kind) {
        case FaultKind::Nak: case FaultKind::Silence: case FaultKind::BadSum: case FaultKind::Etb:
        case FaultKind::Slow: case FaultKind::Vanish: case FaultKind::NoEcho:
            break;
        default:
            continue;
        }
        if (f.cmd >= 0 && f.cmd != cmd) continue;
        if (f.block >= 0 && f.block != block) continue;
        if (f.frame != frame) continue;
        f.fired++;
        Note("fault " + f.faultText + " fires");
        switch (f.kind) {
        case FaultKind::Nak: e.nak = true; break;
        case FaultKind::Silence: e.silence = true; break;
        case FaultKind::BadSum: e.badsum = true; break;
        case FaultKind::Etb: e.etb = true; break;
        case FaultKind::Slow: e.slowMs += f.ms; break;
        case FaultKind::Vanish: e.vanish = true; break;
        case FaultKind::NoEcho: echoOff_ = true; break;
        default: break;
        }
    }
    return e;
}

void Logger::SendStatus(std::vector<std::uint8_t> status, const LoaderEffects& e, TimePoint t, int procMs) {
    if (e.nak) status.back() = kStNak;
    std::vector<std::uint8_t> f;
    f.push_back(kStx);
    f.push_back(static_cast<std::uint8_t>(status.size()));
    unsigned sum = static_cast<unsigned>(status.size());
    for (std::uint8_t s : status) {
        f.push_back(s);
        sum += s;
    }
    std::uint8_t cs = static_cast<std::uint8_t>((0x100 - (sum & 0xFF)) & 0xFF);
    if (e.badsum) cs = static_cast<std::uint8_t>(cs + 1);
    f.push_back(cs);
    f.push_back(e.etb ? kEtb : kEtx);
    const int delay = procMs + e.slowMs;
    stats_.processingSeconds += delay / 1000.0;
    Emit(f, LaterMs(t, delay), false);
    Note("tx " + HexBytes(f.data(), f.size()) + (delay ? " after " + std::to_string(delay) + " ms" : std::string()));
}

void Logger::LoaderFrame(TimePoint t) {
    const std::vector<std::uint8_t>& f = parser_.bytes;
    const std::size_t n = f.size() - 4;
    unsigned sum = f[1];
    for (std::size_t i = 0; i < n; ++i) sum += f[2 + i];
    sum += f[2 + n];
    const bool sumOk = (sum & 0xFF) == 0;
    const std::uint8_t end = f[3 + n];

    if (f[0] == kStx) {
        LoaderDataFrame(f, sumOk, t);
        return;
    }
    const bool wasBlock = ctx_.active;
    ctx_.active = false;  // a command ends any data phase
    if (wasBlock) Note("data phase abandoned by a new command");
    Note("rx " + HexBytes(f.data(), f.size()));
    if (!sumOk || end != kEtx) {
        Note(!sumOk ? "command frame with a bad SUM refused" : "command frame without ETX refused");
        SendStatus({kStChecksum}, {}, t, 0);
        return;
    }
    const std::uint8_t cmd = f[2];
    LoaderEffects e;
    switch (cmd) {
    case 0x00:  // Reset (synchronisation)
        if (n != 1) break;
        e = Effects(cmd, -1, -1);
        if (e.vanish) return DoUnplug("fault vanish");
        if (e.silence) return;
        SendStatus({kAck}, e, t, 0);
        return;
    case 0x9A:  // baud-rate set: answered at the old speed, then the line runs at 115200
        if (n != 5) break;
        e = Effects(cmd, -1, -1);
        if (e.vanish) return DoUnplug("fault vanish");
        if (e.silence) return;
        SendStatus({kAck}, e, t, 0);
        if (!e.nak) {
            loaderBaud_ = kFastBaud;
            Note("line now at 115200 baud");
            for (Fault& fl : faults_) {
                if (fl.kind == FaultKind::PortHeld && fl.atReopen && fl.Live()) {
                    fl.fired++;
                    heldWanted_ = true;
                    Note("fault " + fl.faultText + ": taking the port's lock");
                }
            }
            if (heldWanted_) TryHoldPort();
        }
        return;
    case 0xC0: {  // silicon signature
        if (n != 1) break;
        e = Effects(cmd, -1, -1);
        if (e.vanish) return DoUnplug("fault vanish");
        if (e.silence) return;
        SendStatus({kAck}, e, t, 0);
        if (!e.nak) {
            std::vector<std::uint8_t> d{kStx, 24};
            unsigned s = 24;
            for (std::uint8_t b : kSignature) {
                d.push_back(b);
                s += b;
            }
            d.push_back(static_cast<std::uint8_t>((0x100 - (s & 0xFF)) & 0xFF));
            d.push_back(kEtx);
            Emit(d, t, false);
            Note("tx signature frame (28 bytes)");
        }
        return;
    }
    case 0x20:  // chip erase
        if (n != 1) break;
        e = Effects(cmd, -1, -1);
        if (e.vanish) return DoUnplug("fault vanish");
        if (e.silence) return;
        if (!e.nak) {
            std::fill(flash_.begin(), flash_.end(), 0xFF);
            Note("flash erased");
        }
        SendStatus({kAck}, e, t, e.nak ? 0 : timing_.eraseMs);
        return;
    case 0x40:    // programming
    case 0x13: {  // verify
        if (n != 7) break;
        const std::uint32_t start = (f[3] << 16) | (f[4] << 8) | f[5];
        const std::uint32_t last = (f[6] << 16) | (f[7] << 8) | f[8];
        if (start % 256 != 0 || last < start || (last - start + 1) % 256 != 0 || last >= kFlashSize) {
            Note("address range refused");
            SendStatus({kStParameter}, {}, t, 0);
            return;
        }
        const int block = static_cast<int>(start / 2048);
        e = Effects(cmd, block, -1);
        if (e.vanish) return DoUnplug("fault vanish");
        if (e.silence) return;
        if (!e.nak) {
            ctx_ = BlockContext{true, cmd, start, static_cast<int>((last - start + 1) / 256), 0, block, true};
            char text[96];
            std::snprintf(text, sizeof text, "%s %06X-%06X (block %d), %d data frames follow",
                          cmd == 0x40 ? "program" : "verify", start, last, block, ctx_.frames);
            Note(text);
        }
        SendStatus({kAck}, e, t, 0);
        return;
    }
    default:
        Note("unknown command refused");
        SendStatus({kStCommand}, {}, t, 0);
        return;
    }
    Note("command with a wrong length refused");
    SendStatus({kStParameter}, {}, t, 0);
}

void Logger::LoaderDataFrame(const std::vector<std::uint8_t>& f, bool sumOk, TimePoint t) {
    const std::size_t n = f.size() - 4;
    const std::uint8_t end = f.back();
    if (!ctx_.active) {
        Note("data frame outside a programming or verify command ignored (" + std::to_string(n) + " bytes)");
        return;
    }
    const int k = ctx_.next++;
    const bool last = k == ctx_.frames - 1;
    std::uint8_t st1 = kAck, st2 = kAck;
    if (!sumOk || (end != kEtx && end != kEtb)) st1 = kStChecksum;
    else if (n != 256 || (last ? end != kEtx : end != kEtb)) st1 = kStParameter;
    const bool program = ctx_.cmd == 0x40;
    LoaderEffects e = Effects(ctx_.cmd, ctx_.block, k);
    if (e.vanish) return DoUnplug("fault vanish");
    const std::uint32_t addr = ctx_.start + 256u * static_cast<unsigned>(k);
    if (st1 != kAck) {
        st2 = st1;
    } else if (!e.silence && !e.nak) {
        const std::uint8_t* data = f.data() + 2;
        if (program) {
            if (std::any_of(flash_.begin() + addr, flash_.begin() + addr + 256, [](std::uint8_t c) { return c != 0xFF; }))
                st2 = kStWrite;
            else
                std::copy(data, data + 256, flash_.begin() + addr);
        } else if (!std::equal(data, data + 256, flash_.begin() + addr)) {
            st2 = kStVerify;
        }
    }
    if (st1 != kAck || st2 != kAck || e.nak || e.silence) ctx_.ok = false;
    char text[128];
    std::snprintf(text, sizeof text, "rx data frame %d/%d of block %d at %06X (%zu bytes, %s, %s)%s", k, ctx_.frames,
                  ctx_.block, addr, n, sumOk ? "SUM ok" : "bad SUM", end == kEtx ? "ETX" : end == kEtb ? "ETB" : "bad end",
                  st2 == kStWrite ? ": cells not erased" : st2 == kStVerify ? ": differs from flash" : "");
    Note(text);
    if (!e.silence) SendStatus({st1, st2}, e, t, 0);
    if (last || end == kEtx) {
        ctx_.active = false;
        if (program && last) {
            LoaderEffects fe = Effects(ctx_.cmd, ctx_.block, 8);
            if (fe.vanish) return DoUnplug("fault vanish");
            if (!fe.silence)
                SendStatus({static_cast<std::uint8_t>(ctx_.ok ? kAck : kStWrite)}, fe, t, timing_.blockProgramMs);
        }
    }
}

// ---------------------------------------------------------------- network module

void Logger::EnterNetUpdate(TimePoint now) {
    FlushCountNote();
    mode_ = Mode::NetModuleUpdate;
    net_ = NetState{};
    txEnd_ = now;
    // "$$$" must not reach a port that the product has yet to open (its open purges):
    // it is timed from the product's next open, or from now when the port is open already.
    if (productOpens_ > 0 || inotify_ < 0) {
        const unsigned epoch = epoch_;
        Schedule(LaterMs(now, timing_.dollarDelayMs), [this, epoch] {
            if (epoch == epoch_ && mode_ == Mode::NetModuleUpdate) SendDollar();
        });
        Note("network module in update mode; \"$$$\" in " + std::to_string(timing_.dollarDelayMs) + " ms");
    } else {
        net_.waitOpen = true;
        Note("network module in update mode; \"$$$\" follows the port's next open");
    }
}

void Logger::SendDollar() {
    stats_.processingSeconds += timing_.dollarDelayMs / 1000.0;
    net_.dollarSent = true;
    bool prefix = false;
    for (Fault& f : faults_) {
        if (!f.Live()) continue;
        if (f.kind == FaultKind::NoDollar) {
            f.fired++;
            Note("fault " + f.faultText + ": \"$$$\" withheld");
            return;
        }
        if (f.kind == FaultKind::DollarPrefix) {
            f.fired++;
            prefix = true;
        }
    }
    const std::vector<std::uint8_t> d = prefix ? std::vector<std::uint8_t>{'\r', '\n', '$', '$', '$'}
                                               : std::vector<std::uint8_t>{'$', '$', '$'};
    Emit(d, Clock::now(), false);
    Note(prefix ? "tx CR LF \"$$$\" (fault dollar-prefix)" : "tx \"$$$\"");
}

void Logger::NetPrompt(int kind, int record, TimePoint t, int procMs) {
    // kind: 0 first prompt, 1 after the erase command, 2 after a record, 3 any later poke
    for (Fault& f : faults_) {
        if (f.kind != FaultKind::NoPrompt || !f.Live() || f.promptAt != kind) continue;
        if (kind == 2 && f.record >= 0 && f.record != record) continue;
        f.fired++;
        net_.silentPokes = f.pokes;
        Note("fault " + f.faultText + ": prompt withheld");
        return;
    }
    if (kind == 0) net_.firstPromptDone = true;
    stats_.processingSeconds += procMs / 1000.0;
    Emit({'>'}, LaterMs(t, procMs), false);
}

void Logger::NetWrite(std::uint32_t addr, const std::vector<std::uint8_t>& data) {
    if (data.empty()) return;
    const std::uint64_t end = static_cast<std::uint64_t>(addr) + data.size();
    std::uint64_t lo = addr, hi = end;
    // Merge every region that overlaps or touches the new bytes into one.
    auto it = netStore_.upper_bound(addr);
    if (it != netStore_.begin()) {
        auto prev = std::prev(it);
        if (prev->first + prev->second.size() >= addr) it = prev;
    }
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> merged;
    while (it != netStore_.end() && it->first <= end) {
        lo = std::min<std::uint64_t>(lo, it->first);
        hi = std::max<std::uint64_t>(hi, it->first + it->second.size());
        merged.emplace_back(it->first, std::move(it->second));
        it = netStore_.erase(it);
    }
    std::vector<std::uint8_t> region(static_cast<std::size_t>(hi - lo), 0xFF);
    for (auto& [a, bytes] : merged) std::copy(bytes.begin(), bytes.end(), region.begin() + (a - lo));
    std::copy(data.begin(), data.end(), region.begin() + (addr - lo));
    netStore_[static_cast<std::uint32_t>(lo)] = std::move(region);
}

void Logger::NetErase(const std::string& text) {
    bool fw = false, web = false;
    std::size_t pos = 1;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] < '0' || text[pos] > '9')) ++pos;
        if (pos >= text.size()) break;
        int b = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') b = b * 10 + (text[pos++] - '0');
        (b >= 16 ? web : fw) = true;
    }
    for (auto it = netStore_.begin(); it != netStore_.end();) {
        const bool isWeb = it->first >= kWebAreaStart;
        if ((isWeb && web) || (!isWeb && fw)) it = netStore_.erase(it);
        else ++it;
    }
    netRecords_.clear();
    net_.records = 0;
    Note(std::string("erase \"") + text + "\": " + (fw ? "firmware area" : "") + (fw && web ? " and " : "") +
         (web ? "web area" : "") + (fw || web ? " cleared" : "nothing named"));
}

void Logger::NetByte(std::uint8_t b, TimePoint t) {
    if (!net_.dollarSent) {
        NoteCount("byte before \"$$$\" ignored");
        return;
    }
    NetState& s = net_;
    if (s.dataLeft > 0) {
        s.data.push_back(b);
        s.dataLast = t;
        if (--s.dataLeft == 0) {
            NetWrite(s.dataAddr, s.data);
            netRecords_.emplace_back(s.dataAddr, s.data.size());
            char text[80];
            std::snprintf(text, sizeof text, "record %d stored: %zu bytes at %08X", s.records, s.data.size(), s.dataAddr);
            Note(text);
            s.data.clear();
            NetPrompt(2, s.records++, t, timing_.recordMs);
        }
        return;
    }
    const bool capturing = s.eraseCapture > 0;
    if (capturing) {
        s.eraseBlock.push_back(static_cast<char>(b));
        if (--s.eraseCapture == 0) lastErase_ = s.eraseBlock;
        if (s.eraseTextDone) return;  // the block's zero padding
    }
    if (b == '\r') {
        FlushCountNote();
        NetLine(t);
        return;
    }
    if (b == 0 && s.line.empty()) return;  // padding between commands
    if (b == ':' && s.line.find("D ") != std::string::npos) {
        const std::string hdr = s.line.substr(s.line.rfind("D "));
        s.line.clear();
        unsigned addr = 0, count = 0;
        char tail = 0;
        if (std::sscanf(hdr.c_str(), "D %x,%x%c", &addr, &count, &tail) != 2 || count > 0x400) {
            Note("malformed record header \"" + hdr + ":\" ignored");
            return;
        }
        if (s.silentPokes < 0) s.silentPokes = 0;
        s.dataAddr = addr;
        s.dataLeft = 2u * count;
        s.dataLast = t;
        s.data.clear();
        if (s.dataLeft == 0) {
            netRecords_.emplace_back(addr, 0);
            Note("empty record at " + hdr);
            NetPrompt(2, s.records++, t, timing_.recordMs);
        }
        return;
    }
    if (s.line.empty() && b == 'E' && !capturing) {
        s.eraseBlock = "E";
        s.eraseCapture = 63;
        s.eraseTextDone = false;
    }
    s.line.push_back(static_cast<char>(b));
    if (s.line.size() > 80) {
        Note("over-long command line discarded");
        s.line.clear();
    }
}

void Logger::NetLine(TimePoint t) {
    NetState& s = net_;
    std::string line;
    line.swap(s.line);
    if (s.eraseCapture > 0 || (!s.eraseBlock.empty() && !s.eraseTextDone)) s.eraseTextDone = true;
    if (line.size() >= 2 && line[0] == 'E' && line[1] == ' ') {
        if (s.silentPokes < 0) s.silentPokes = 0;
        if (s.eraseCapture == 0) lastErase_ = s.eraseBlock;
        NetErase(line);
        NetPrompt(1, -1, t, timing_.netEraseMs);
        return;
    }
    if (!line.empty() && line.back() == 'S') {
        Note("closing command: the module leaves its update mode; the normal firmware carries on");
        mode_ = Mode::NormalFirmware;
        net_ = NetState{};
        LatchVersions();
        Note("versions now FWV " + reportedFw_ + ", NETV " + reportedNet_);
        return;
    }
    if (!line.empty()) Note("unknown command line \"" + line + "\" answered with a prompt");
    if (s.silentPokes != 0) {
        if (s.silentPokes > 0) s.silentPokes--;
        NoteCount("CR ignored (fault no-prompt)");
        return;
    }
    NetPrompt(s.firstPromptDone ? 3 : 0, -1, t, 0);
}

// ---------------------------------------------------------------- command link

void Logger::OnLinkAccept() {
    int fd = ::accept4(linkListen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    std::uint8_t verdict = 0;
    if (mode_ != Mode::NormalFirmware) {
        verdict = 1;
        Note(std::string("command link open refused: ") +
             (mode_ == Mode::Reset ? "held in reset" : mode_ == Mode::BootLoader ? "boot loader running"
                                                                                 : "network module update under way"));
    } else {
        for (Fault& f : faults_) {
            if (f.kind == FaultKind::LinkOpen && f.Live()) {
                f.fired++;
                verdict = 2;
                Note("command link open refused (fault " + f.faultText + ")");
                break;
            }
        }
    }
    ::send(fd, &verdict, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (verdict != 0) {
        ::close(fd);
        return;
    }
    links_[nextLinkId_++] = LinkClient{fd, {}, false};
    gen_++;
}

void Logger::CloseLink(int id) {
    auto it = links_.find(id);
    if (it == links_.end()) return;
    CloseFd(it->second.fd);
    links_.erase(it);
    gen_++;
}

bool Logger::OnLinkData(int id, TimePoint now) {
    auto it = links_.find(id);
    if (it == links_.end()) return true;
    LinkClient& c = it->second;
    std::uint8_t buf[1024];
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (c.handled) return true;  // nothing more is expected on this exchange
    c.buf.insert(c.buf.end(), buf, buf + n);
    if (c.buf.size() < 4) return true;
    const std::uint32_t len = c.buf[0] | (c.buf[1] << 8) | (c.buf[2] << 16) | (static_cast<std::uint32_t>(c.buf[3]) << 24);
    if (len > kLinkRequestMax) {
        c.handled = true;
        Note("command link request of " + std::to_string(len) + " bytes refused");
        SendLinkAnswer(id, -1, {});
        return true;
    }
    if (c.buf.size() < 4 + len) return true;
    c.handled = true;
    std::vector<std::uint8_t> frame(c.buf.begin() + 4, c.buf.begin() + 4 + len);
    HandleLinkRequest(id, frame, now);
    return true;
}

void Logger::SendLinkAnswer(int id, std::int32_t r, const std::vector<std::uint8_t>& bytes) {
    auto it = links_.find(id);
    if (it == links_.end()) return;
    std::vector<std::uint8_t> out;
    const auto u = static_cast<std::uint32_t>(r);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    out.insert(out.end(), bytes.begin(), bytes.end());
    bus::WriteAll(it->second.fd, out.data(), out.size(), 1000);
    CloseLink(id);
}

void Logger::HandleLinkRequest(int id, const std::vector<std::uint8_t>& f, TimePoint now) {
    // T2, LE16 N, N data bytes (name ":" items), LE16 sum of the data bytes
    bool ok = f.size() >= 6 && f[0] == 'T' && f[1] == '2';
    std::size_t n = ok ? static_cast<std::size_t>(f[2] | (f[3] << 8)) : 0;
    if (ok && f.size() < 6 + n) ok = false;
    if (ok) {
        unsigned sum = 0;
        for (std::size_t i = 0; i < n; ++i) sum += f[4 + i];
        ok = (sum & 0xFFFF) == static_cast<unsigned>(f[4 + n] | (f[5 + n] << 8));
    }
    std::string name;
    std::size_t colon = 0;
    if (ok) {
        for (colon = 4; colon < 4 + n && f[colon] != ':'; ++colon) {}
        ok = colon < 4 + n;
        if (ok) name.assign(f.begin() + 4, f.begin() + static_cast<std::ptrdiff_t>(colon));
    }
    if (!ok) {
        Note("command link: unreadable frame " + HexBytes(f.data(), f.size()) + " -> receive failure");
        SendLinkAnswer(id, -1, {});
        return;
    }
    // items of the request
    std::map<std::string, std::string> items;
    for (std::size_t p = colon + 1; p < 4 + n;) {
        std::size_t eq = p;
        while (eq < 4 + n && f[eq] != '=') ++eq;
        if (eq + 2 >= 4 + n) break;
        const std::size_t l = f[eq + 1] | (f[eq + 2] << 8);
        const std::size_t v = eq + 3;
        const std::size_t ve = std::min(v + l, 4 + n);
        items[std::string(f.begin() + static_cast<std::ptrdiff_t>(p), f.begin() + static_cast<std::ptrdiff_t>(eq))] =
            std::string(f.begin() + static_cast<std::ptrdiff_t>(v), f.begin() + static_cast<std::ptrdiff_t>(ve));
        p = ve;
    }
    Note("command link: rx " + name + ":" + (items.count("MODE") ? " MODE=" + items["MODE"] : std::string()));

    std::string status = "0-0";
    bool known = true;
    if (name == "ICHIP" && items["MODE"] != "1") status = "0-1";
    if (name != "RUINF" && name != "EBSTS" && name != "ICHIP") {
        status = "1-1";
        known = false;
    }
    std::string ac = cfg_.ac;
    std::vector<std::string> missing;
    bool recvFail = false, silent = false;
    int slowMs = 0;
    for (Fault& fl : faults_) {
        if (!fl.Live()) continue;
        switch (fl.kind) {
        case FaultKind::LinkRecv: case FaultKind::LinkSilent: case FaultKind::LinkStatus:
        case FaultKind::LinkMissing: case FaultKind::LinkSlow: case FaultKind::LinkAc:
            break;
        default:
            continue;
        }
        if (!fl.linkCmd.empty() && fl.linkCmd != name) continue;
        // An item fault waits for the answer that carries the item.
        if (fl.kind == FaultKind::LinkAc && name != "EBSTS") continue;
        if (fl.kind == FaultKind::LinkMissing && fl.text == "AC" && name != "EBSTS") continue;
        if (fl.kind == FaultKind::LinkMissing && (fl.text == "FWV" || fl.text == "NETV") && name != "RUINF") continue;
        fl.fired++;
        Note("fault " + fl.faultText + " fires");
        switch (fl.kind) {
        case FaultKind::LinkRecv: recvFail = true; break;
        case FaultKind::LinkSilent: silent = true; break;
        case FaultKind::LinkStatus: status = fl.text; break;
        case FaultKind::LinkMissing: missing.push_back(fl.text); break;
        case FaultKind::LinkSlow: slowMs += fl.ms; break;
        case FaultKind::LinkAc: ac = fl.text; break;
        default: break;
        }
    }
    if (silent) {
        Note("command link: no answer (fault)");
        return;  // the client times out and closes
    }
    auto has = [&](const char* key) { return std::find(missing.begin(), missing.end(), key) == missing.end(); };
    std::vector<std::uint8_t> data(name.begin(), name.end());
    data.push_back(':');
    if (has("STATUS")) PutItem(data, "STATUS", status);
    if (known && name == "RUINF") {
        if (has("FWV")) PutItem(data, "FWV", reportedFw_);
        if (has("NETV")) PutItem(data, "NETV", reportedNet_);
    } else if (known && name == "EBSTS") {
        if (has("AC")) PutItem(data, "AC", ac);
    }
    std::vector<std::uint8_t> answer{'T', '2'};
    PutLe16(answer, static_cast<unsigned>(data.size()));
    answer.insert(answer.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (std::uint8_t b : data) sum += b;
    PutLe16(answer, sum & 0xFFFF);

    int first = 0, second = 1;
    char dash = 0;
    const bool accepted = std::sscanf(status.c_str(), "%d%c%d", &first, &dash, &second) == 3 && dash == '-' && second == 0;
    const bool toNet = name == "ICHIP" && items["MODE"] == "1" && accepted && has("STATUS") && !recvFail;
    auto deliver = [this, id, recvFail, answer, toNet, name] {
        if (recvFail) {
            Note("command link: receive failure (fault)");
            SendLinkAnswer(id, -1, {});
            return;
        }
        Note("command link: tx " + name + " answer, " + std::to_string(answer.size()) + " bytes");
        SendLinkAnswer(id, static_cast<std::int32_t>(answer.size()), answer);
        if (toNet && mode_ == Mode::NormalFirmware) EnterNetUpdate(Clock::now());
    };
    if (slowMs > 0) Schedule(LaterMs(now, slowMs), deliver);
    else deliver();
}

// ---------------------------------------------------------------- port lock, inotify

void Logger::TryHoldPort() {
    if (heldFd_ >= 0 || slavePath_.empty() || mode_ == Mode::Unplugged) return;
    ownOpens_++;
    int fd = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ownOpens_--;
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        heldFd_ = fd;
        Note("port lock taken (fault port-held)");
        return;
    }
    ownCloses_++;
    ::close(fd);
}

void Logger::ReleaseHeldPort() {
    if (heldFd_ < 0) return;
    ownCloses_++;
    CloseFd(heldFd_);
    Note("port lock released");
}

void Logger::OnInotify(TimePoint now) {
    alignas(inotify_event) char buf[4096];
    ssize_t n = ::read(inotify_, buf, sizeof buf);
    for (char* p = buf; n > 0 && p < buf + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        p += sizeof(inotify_event) + e->len;
        if (e->mask & IN_OPEN) {
            if (ownOpens_ > 0) {
                ownOpens_--;
                continue;
            }
            productOpens_++;
            if (net_.waitOpen && mode_ == Mode::NetModuleUpdate) {
                net_.waitOpen = false;
                const unsigned epoch = epoch_;
                const int delay = std::max(timing_.dollarDelayMs, kOpenSettleMs);
                Schedule(LaterMs(now, delay), [this, epoch] {
                    if (epoch == epoch_ && mode_ == Mode::NetModuleUpdate) SendDollar();
                });
                Note("port opened; \"$$$\" in " + std::to_string(delay) + " ms");
            }
        }
        if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
            if (ownCloses_ > 0) {
                ownCloses_--;
                continue;
            }
            if (productOpens_ > 0) productOpens_--;
            if (heldWanted_) TryHoldPort();
        }
    }
}

// ---------------------------------------------------------------- transcript

void Logger::Note(const std::string& text) {
    FlushCountNote();
    if (transcript_.size() >= kTranscriptCap) {
        transcriptDropped_++;
        return;
    }
    const double t = std::chrono::duration<double>(Clock::now() - origin_).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%11.6f ", t);
    transcript_.push_back(stamp + text);
}

void Logger::NoteCount(const std::string& kind) {
    if (kind != countKind_) {
        FlushCountNote();
        countKind_ = kind;
    }
    countN_++;
}

void Logger::FlushCountNote() {
    if (countN_ == 0) return;
    std::string text = countKind_ + (countN_ > 1 ? " x" + std::to_string(countN_) : std::string());
    countN_ = 0;
    countKind_.clear();
    Note(text);
}

// ---------------------------------------------------------------- API

bool Logger::AddFault(const std::string& faultText) {
    auto f = ParseFault(faultText);
    if (!f) return false;
    std::lock_guard lk(mu_);
    faults_.push_back(*f);
    Note("fault added: " + faultText);
    if (f->kind == FaultKind::PortHeld && !f->atReopen) {
        heldWanted_ = true;
        TryHoldPort();
    }
    if ((f->kind == FaultKind::ProductString || f->kind == FaultKind::UsbSerial) && mode_ != Mode::Unplugged)
        WriteIdentity();
    Wake();
    return true;
}

void Logger::ClearFaults() {
    std::lock_guard lk(mu_);
    bool identity = false;
    for (const Fault& f : faults_)
        identity |= f.kind == FaultKind::ProductString || f.kind == FaultKind::UsbSerial;
    faults_.clear();
    heldWanted_ = false;
    ReleaseHeldPort();
    if (identity && mode_ != Mode::Unplugged) WriteIdentity();
    Note("faults cleared");
    Wake();
}

std::vector<std::uint8_t> Logger::Flash() const {
    std::lock_guard lk(mu_);
    return flash_;
}

std::vector<std::uint8_t> Logger::NetBytes(std::uint32_t address, std::size_t length) const {
    std::lock_guard lk(mu_);
    std::vector<std::uint8_t> out(length, 0xFF);
    const std::uint64_t lo = address, hi = lo + length;
    for (const auto& [a, bytes] : netStore_) {
        const std::uint64_t s = std::max<std::uint64_t>(lo, a), e = std::min<std::uint64_t>(hi, a + bytes.size());
        for (std::uint64_t x = s; x < e; ++x) out[x - lo] = bytes[x - a];
    }
    return out;
}

std::vector<std::pair<std::uint32_t, std::size_t>> Logger::NetRecords() const {
    std::lock_guard lk(mu_);
    return netRecords_;
}

std::string Logger::LastNetEraseCommand() const {
    std::lock_guard lk(mu_);
    return lastErase_;
}

std::vector<std::string> Logger::Transcript() const {
    std::lock_guard lk(mu_);
    std::vector<std::string> t = transcript_;
    if (countN_) t.push_back("(pending) " + countKind_ + " x" + std::to_string(countN_));
    if (transcriptDropped_) t.push_back("(" + std::to_string(transcriptDropped_) + " later lines dropped)");
    return t;
}

bool Logger::WriteEvidence(const std::string& dir) const {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::lock_guard lk(mu_);
    bool ok = true;
    {
        std::ofstream out(dir + "/flash.bin", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(flash_.data()), static_cast<std::streamsize>(flash_.size()));
        ok &= static_cast<bool>(out);
    }
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("net-", 0) == 0 && name.size() == 16 && name.substr(12) == ".bin") fs::remove(e.path(), ec);
    }
    {
        std::ofstream list(dir + "/net-store.txt", std::ios::trunc);
        list << "# network module store: start address, length (hex), file\n";
        for (const auto& [addr, bytes] : netStore_) {
            char name[32];
            std::snprintf(name, sizeof name, "net-%08x.bin", addr);
            char line[96];
            std::snprintf(line, sizeof line, "%08x %x %s\n", addr, static_cast<unsigned>(bytes.size()), name);
            list << line;
            std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            ok &= static_cast<bool>(out);
        }
        list << "# records since the last erase command: address, data bytes (hex)\n";
        for (const auto& [addr, len] : netRecords_) {
            char line[48];
            std::snprintf(line, sizeof line, "D %08x %zx\n", addr, len);
            list << line;
        }
        ok &= static_cast<bool>(list);
    }
    if (!lastErase_.empty()) {
        std::ofstream out(dir + "/net-erase.bin", std::ios::binary | std::ios::trunc);
        out.write(lastErase_.data(), static_cast<std::streamsize>(lastErase_.size()));
    }
    {
        std::ofstream out(dir + "/transcript.txt", std::ios::trunc);
        for (const std::string& l : transcript_) out << l << "\n";
        if (countN_) out << countKind_ << " x" << countN_ << "\n";
        if (transcriptDropped_) out << "(" << transcriptDropped_ << " later lines dropped)\n";
        char line[200];
        std::snprintf(line, sizeof line,
                      "stats: %llu bytes to the device, %llu from it, line %.6f s, processing %.6f s, bound %.6f s\n",
                      static_cast<unsigned long long>(stats_.bytesToDevice),
                      static_cast<unsigned long long>(stats_.bytesFromDevice), stats_.lineSeconds,
                      stats_.processingSeconds, stats_.BoundSeconds());
        out << line;
        ok &= static_cast<bool>(out);
    }
    return ok;
}

Stats Logger::GetStats() const {
    std::lock_guard lk(mu_);
    Stats s = stats_;
    if (vRxEnd_ > statsEpoch_) s.lastArrivalSeconds = std::chrono::duration<double>(vRxEnd_ - statsEpoch_).count();
    return s;
}

void Logger::ResetStats() {
    std::lock_guard lk(mu_);
    stats_ = Stats{};
    statsEpoch_ = Clock::now();
    txSinceRx_ = true;
}

Mode Logger::CurrentMode() const {
    std::lock_guard lk(mu_);
    return mode_;
}

int Logger::BootCount() const {
    std::lock_guard lk(mu_);
    return boots_;
}

void Logger::Unplug() {
    std::unique_lock lk(mu_);
    if (mode_ == Mode::Unplugged) return;
    DoUnplug("on request");
    Wake();
    // The loop's poll still holds the pty master until it wakes; only then does the
    // product see the hang-up. Return when it has let go, as a pulled cable would.
    if (running_ && std::this_thread::get_id() != thread_.get_id()) {
        const std::uint64_t seen = loops_;
        loopCv_.wait_for(lk, std::chrono::seconds(2), [&] { return loops_ != seen || !running_; });
    }
}

void Logger::Plug() {
    std::lock_guard lk(mu_);
    if (mode_ != Mode::Unplugged || !running_) return;
    if (DoPlug() != 0) Note("plug failed");
    Wake();
}

void Logger::SetAc(const std::string& ac) {
    std::lock_guard lk(mu_);
    cfg_.ac = ac;
}

void Logger::SetVersions(const std::string& firmVer, const std::string& netVer) {
    std::lock_guard lk(mu_);
    cfg_.firmVer = firmVer;
    cfg_.netVer = netVer;
    LatchVersions();
}

}  // namespace nimbra::sim
