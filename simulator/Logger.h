// One simulated logger behind its bridge: the pty, the GPIO latch, the boot loader,
// the normal firmware's command link and the network module, served by one thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Faults.h"
#include "Simulator.h"

namespace nimbra::sim {

class Logger {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    Logger(int index, LoggerConfig config, const Timing& timing, std::string busDir, bool checkLineSpeed,
           TimePoint origin);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    int Start();   // plug in and start serving; 0 or a negative errno
    void Stop();   // stop serving and remove the bus entries

    bool AddFault(const std::string& faultText);
    void ClearFaults();

    std::vector<std::uint8_t> Flash() const;
    std::vector<std::uint8_t> NetBytes(std::uint32_t address, std::size_t length) const;
    std::vector<std::pair<std::uint32_t, std::size_t>> NetRecords() const;
    std::string LastNetEraseCommand() const;
    std::vector<std::string> Transcript() const;
    bool WriteEvidence(const std::string& dir) const;
    Stats GetStats() const;
    void ResetStats();
    Mode CurrentMode() const;
    int BootCount() const;
    void Unplug();
    void Plug();
    void SetAc(const std::string& ac);
    void SetVersions(const std::string& firmVer, const std::string& netVer);

private:
    struct TxByte {
        std::uint8_t byte;
        TimePoint due;
    };
    struct GpioClient {
        int fd = -1;
        std::vector<std::uint8_t> buf;
    };
    struct LinkClient {
        int fd = -1;
        std::vector<std::uint8_t> buf;
        bool handled = false;
    };
    struct FrameParser {
        bool inFrame = false;
        std::size_t need = 0;  // total frame length once LEN is known, 0 before
        std::vector<std::uint8_t> bytes;
        TimePoint last{};
    };
    struct BlockContext {
        bool active = false;
        std::uint8_t cmd = 0;
        std::uint32_t start = 0;
        int frames = 0;
        int next = 0;
        int block = 0;
        bool ok = true;
    };
    struct LoaderEffects {
        bool nak = false, silence = false, badsum = false, etb = false, vanish = false;
        int slowMs = 0;
    };
    struct NetState {
        bool dollarSent = false;
        bool waitOpen = false;
        std::string line;
        std::size_t dataLeft = 0;
        std::uint32_t dataAddr = 0;
        std::vector<std::uint8_t> data;
        TimePoint dataLast{};
        std::size_t eraseCapture = 0;
        bool eraseTextDone = false;
        std::string eraseBlock;
        int records = 0;
        bool firstPromptDone = false;
        int silentPokes = 0;  // >0 pokes still ignored; -1 all until the next command
    };

    void Run();
    void Wake();
    int DoPlug();
    void DoUnplug(const char* why);
    void CloseFd(int& fd);
    bool WriteIdentity();

    // events
    void OnMasterReadable(TimePoint now);
    void FlushTx(TimePoint now);
    void OnGpioAccept();
    bool OnGpioData(GpioClient& c, TimePoint now);
    void OnLinkAccept();
    bool OnLinkData(int id, TimePoint now);
    void OnInotify(TimePoint now);
    void RunDue(TimePoint now);
    TimePoint NextDeadline(TimePoint now) const;

    // the line
    void LineOf(int& baud, int& bits) const;
    int TtyBaud() const;
    void Emit(const std::vector<std::uint8_t>& bytes, TimePoint ready, bool echo);
    void Schedule(TimePoint when, std::function<void()> action);

    // bridge GPIO and modes
    void ApplyLatch(std::uint16_t mask, std::uint16_t value, TimePoint now);
    void EnterReset();
    void StartFirmware();
    void StartLoader(TimePoint now);
    void LatchVersions();

    // boot loader
    void LoaderByte(std::uint8_t b, TimePoint t);
    void LoaderFrame(TimePoint t);
    void LoaderDataFrame(const std::vector<std::uint8_t>& f, bool sumOk, TimePoint t);
    LoaderEffects Effects(int cmd, int block, int frame);
    void SendStatus(std::vector<std::uint8_t> status, const LoaderEffects& e, TimePoint t, int procMs);

    // network module
    void EnterNetUpdate(TimePoint now);
    void SendDollar();
    void NetByte(std::uint8_t b, TimePoint t);
    void NetLine(TimePoint t);
    void NetPrompt(int kind, int record, TimePoint t, int procMs);
    void NetWrite(std::uint32_t addr, const std::vector<std::uint8_t>& data);
    void NetErase(const std::string& text);

    // command link
    void HandleLinkRequest(int id, const std::vector<std::uint8_t>& frame, TimePoint now);
    void SendLinkAnswer(int id, std::int32_t r, const std::vector<std::uint8_t>& bytes);
    void CloseLink(int id);

    void TryHoldPort();
    void ReleaseHeldPort();
    void Note(const std::string& text);
    void NoteCount(const std::string& kind);
    void FlushCountNote();

    const int index_;
    LoggerConfig cfg_;
    const Timing timing_;
    const std::string busDir_;
    const bool checkLineSpeed_;
    const TimePoint origin_;

    mutable std::mutex mu_;
    std::condition_variable loopCv_;  // signalled each time the loop has woken
    std::uint64_t loops_ = 0;
    std::thread thread_;
    bool running_ = false;
    bool stop_ = false;
    unsigned gen_ = 0;     // bumped whenever descriptors change
    unsigned epoch_ = 0;   // bumped at every reset / unplug: pending actions of an older epoch are void
    int wakeFd_ = -1;

    int master_ = -1, slaveHold_ = -1, gpioListen_ = -1, linkListen_ = -1, inotify_ = -1, heldFd_ = -1;
    std::string slavePath_, comPath_, idPath_, gpioPath_, linkPath_;
    std::vector<GpioClient> gpioClients_;
    std::map<int, LinkClient> links_;
    int nextLinkId_ = 1;
    int productOpens_ = 0, ownOpens_ = 0, ownCloses_ = 0;
    bool heldWanted_ = false;

    Mode mode_ = Mode::Unplugged;
    std::uint16_t latch_ = 1;
    int boots_ = 0;
    std::vector<std::uint8_t> flash_;
    std::string reportedFw_, reportedNet_;

    int loaderBaud_ = 9600;
    bool echoOff_ = false;
    FrameParser parser_;
    BlockContext ctx_;

    NetState net_;
    std::map<std::uint32_t, std::vector<std::uint8_t>> netStore_;
    std::vector<std::pair<std::uint32_t, std::size_t>> netRecords_;
    std::string lastErase_;

    std::deque<TxByte> tx_;
    TimePoint txEnd_{};
    bool txBlocked_ = false;
    TimePoint vRxEnd_{};
    TimePoint statsEpoch_ = Clock::now();  // where Stats::lastArrivalSeconds counts from
    bool txSinceRx_ = true;
    Stats stats_;

    std::vector<Fault> faults_;
    std::multimap<TimePoint, std::function<void()>> actions_;

    std::vector<std::string> transcript_;
    std::size_t transcriptDropped_ = 0;
    std::string countKind_;
    std::size_t countN_ = 0;
};

}  // namespace nimbra::sim
