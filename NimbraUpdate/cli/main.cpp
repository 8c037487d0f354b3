// nimbra-update: the Update button of the dialog program, headless. It runs the
// same core with the same checks, retries, recovery, chaining, messages and log
// records; message boxes become printed lines and the exit code tells the outcome.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "AppHelpers.h"
#include "CliView.h"
#include "DeviceQueries.h"
#include "Globals.h"
#include "KorvatSarnComm.h"
#include "KorvatSarnUpdate.h"
#include "NetModule.h"
#include "PortDiagnosis.h"
#include "UpdateCore.h"

namespace fs = std::filesystem;
using namespace nimbra;
using namespace nimbra::cli;

namespace {

// Exit codes, one per class of outcome (also in --help and the README).
enum Exit {
    kExitOk = 0,             // updated, or nothing to do
    kExitFailure = 1,        // any other failure
    kExitUsage = 2,          // bad command line
    kExitNoLogger = 3,       // no logger connected
    kExitSeveral = 4,        // more than one logger connected
    kExitBattery = 5,        // logger not on its AC adapter
    kExitVersion = 6,        // the logger did not report its versions
    kExitFiles = 7,          // a firmware or image file is missing or unreadable
    kExitPermission = 8,     // no permission to open the logger's port
    kExitPortBusy = 9,       // the port is held by another program
    kExitMainFailed = 10,    // main-firmware update failed (library code printed)
    kExitStandby = 11,       // the logger did not come back after the main firmware
    kExitNetFailed = 12,     // network-module update failed
};

const char* kUsage =
    "Usage: nimbra-update [options]\n"
    "\n"
    "Updates the firmware of the one Nimbra logger connected by USB: the main\n"
    "firmware (Nimbra.hex), then the network module (Nimbra_809.imf or\n"
    "Nimbra_810.imf, and Nimbra.img), as far as UpDateMng.txt asks for it.\n"
    "\n"
    "Options:\n"
    "  -d, --dir DIR     folder with Nimbra.hex, the images and UpDateMng.txt; it\n"
    "                    stands for the program's folder (also for the log viewer\n"
    "                    switch 'Skelmor'). Default: the program's own folder.\n"
    "      --lang ja|en  language of the messages (default: from the locale)\n"
    "      --json        one JSON object per line on stdout: step, progress,\n"
    "                    message, log and a final outcome event\n"
    "      --list        show the connected loggers and their versions; no update\n"
    "  -v, --verbose     also print the log lines on a terminal (they are always\n"
    "                    printed when the output is not a terminal)\n"
    "  -h, --help        this text\n"
    "\n"
    "Ctrl-C during the main-firmware update stops it at the next block and takes\n"
    "the logger out of its boot mode; the network-module transfer cannot be\n"
    "interrupted safely.\n"
    "\n"
    "Exit codes:\n"
    "   0  updated, or no update needed\n"
    "   1  other failure\n"
    "   2  bad command line\n"
    "   3  no logger connected\n"
    "   4  several loggers connected\n"
    "   5  the logger is not on its AC adapter\n"
    "   6  the logger did not report its versions\n"
    "   7  a firmware or image file is missing or unreadable\n"
    "   8  no permission to open the logger's port\n"
    "   9  the logger's port is in use by another program\n"
    "  10  main-firmware update failed\n"
    "  11  the logger did not come back after the main-firmware update\n"
    "  12  network-module update failed\n"
    "\n"
    "Environment: NIMBRA_VIRTUAL_BUS names the bus directory of a virtual logger\n"
    "(nimbra-sim); without it the real USB devices are used.\n";

struct Options {
    std::string dir;
    std::string lang;
    bool json = false;
    bool list = false;
    bool verbose = false;
};

std::atomic<int> g_interrupts{0};
extern "C" void OnInterrupt(int) {
    if (g_interrupts.fetch_add(1) >= 1) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
    }
}

bool Readable(const std::string& path) { return access(path.c_str(), R_OK) == 0 && fs::is_regular_file(path); }

std::string LocaleLanguage() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return std::strncmp(v, "ja", 2) == 0 ? "ja" : "en";
    }
    return "en";
}

struct Run {
    CliView& view;
    Options& opt;
    bool fileProblem = false;
    bool mainRunning = false;
    bool cancelAnnounced = false;
    UpdateCore* core = nullptr;
    std::vector<PortProblem> portProblems;
};

void LogToView(const std::string& text, const std::string&, void* context) {
    auto* run = static_cast<Run*>(context);
    if (run->opt.json)
        run->view.Event("{\"event\":\"log\",\"text\":" + JsonString(text) + "}");
    else if (run->view.Mode() == OutputMode::Plain || run->opt.verbose) {
        // The timers log the status line they have just shown: print it once.
        if (text != run->view.Status()) run->view.Note("log", "  . " + text);
    }
}

void NoteMissing(Run& run, const std::string& what, const std::string& path) {
    run.fileProblem = true;
    run.view.Note("error", what + " is missing or unreadable: " + path);
}

int ListLoggers(CliView& view, const Options& opt) {
    std::uint16_t table[256] = {};
    const int ports = KorvatSarnUpdate_ComTable_PID(kLoggerProductId, table);
    auto problems = DiagnosePorts(kLoggerProductId);
    for (const auto& p : problems) view.Note("error", p.message);

    std::vector<int> usable;
    for (int n = 1; n < 256; ++n)
        if (table[n]) usable.push_back(n);
    std::uint32_t serials[256] = {};
    KorvatSarn_GetSerial(serials, 256, kLoggerProductId, 1);

    if (usable.empty() && serials[0] == 0) {
        view.Note("result", ports < 0 ? "No Nimbra logger has ever been connected to this computer."
                                      : "No Nimbra logger is connected.");
        return problems.empty() ? kExitNoLogger
                                : (problems[0].kind == PortProblem::Permission ? kExitPermission : kExitPortBusy);
    }
    for (int i = 0; i < 256 && serials[i] != 0; ++i) {
        g_deviceSerial = serials[i];
        DialogData data;
        const int type = GetFirmVer(data);
        const int ac = GetNimbraStatus();
        // The command link does not say which COM port a logger's bridge has; with one
        // of each they belong together.
        const int com = (usable.size() == 1 && (i == 0 && serials[1] == 0)) ? usable[0] : 0;
        const char* acText = ac == 1 ? "connected" : ac == 0 ? "not connected" : "unknown";
        if (opt.json) {
            view.Event("{\"event\":\"logger\",\"com\":" + std::to_string(com) + ",\"serial\":" +
                       std::to_string(serials[i]) + ",\"firmware\":" + JsonString(data.m_devFirmVer) +
                       ",\"network\":" + JsonString(data.m_devNetVer) + ",\"ac\":" + std::to_string(ac) +
                       ",\"query\":" + std::to_string(type < 0 ? type : 0) + "}");
        } else {
            char serialHex[16];
            std::snprintf(serialHex, sizeof serialHex, "0x%08x", serials[i]);
            std::string line = (com ? "COM" + std::to_string(com) : std::string("COM?")) + "  serial " +
                               std::to_string(serials[i]) + " (" + serialHex + ")";
            if (type == -1) line += "  versions: no answer (" + g_lastErrorText + ")";
            else line += "  firmware " + (data.m_devFirmVer.empty() ? "?" : data.m_devFirmVer) + "  network module " +
                         (data.m_devNetVer.empty() ? "?" : data.m_devNetVer);
            line += std::string("  AC adapter: ") + acText;
            view.Note("logger", line);
        }
    }
    if (usable.size() > 1 || (serials[0] && serials[1])) return kExitSeveral;
    return kExitOk;
}

int Classify(Run& run, int& libraryCode) {
    const auto& boxes = run.view.Boxes();
    auto shown = [&](int id) {
        const std::string t = LoadMessage(id);
        for (const auto& b : boxes)
            if (b == t) return true;
        return false;
    };
    libraryCode = 0;
    if (shown(1004)) return kExitOk;
    if (shown(1008)) return kExitOk;
    if (shown(1000)) {
        for (const auto& p : run.portProblems) {
            if (p.kind == PortProblem::Permission) return kExitPermission;
            if (p.kind == PortProblem::HeldElsewhere) return kExitPortBusy;
        }
        return kExitNoLogger;
    }
    if (shown(1001)) return kExitSeveral;
    if (shown(1011)) return kExitBattery;
    if (g_mainResult < 0) {
        libraryCode = g_mainResult;
        return run.fileProblem ? kExitFiles : kExitMainFailed;
    }
    if (run.view.Status() == FormatMessage(LoadMessage(1003), {kStandbyError})) return kExitStandby;
    if (g_netResult.load(std::memory_order_acquire) < 0) return run.fileProblem ? kExitFiles : kExitNetFailed;
    if (shown(1009)) return kExitVersion;
    return kExitFailure;
}

const char* OutcomeName(int code) {
    switch (code) {
        case kExitOk: return "success";
        case kExitNoLogger: return "no-logger";
        case kExitSeveral: return "several-loggers";
        case kExitBattery: return "no-ac-adapter";
        case kExitVersion: return "version-check-failed";
        case kExitFiles: return "file-missing";
        case kExitPermission: return "port-permission";
        case kExitPortBusy: return "port-busy";
        case kExitMainFailed: return "main-firmware-failed";
        case kExitStandby: return "standby-not-confirmed";
        case kExitNetFailed: return "network-module-failed";
        default: return "failed";
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "nimbra-update: %s needs a value\n", name);
                std::exit(kExitUsage);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (a == "-d" || a == "--dir") {
            opt.dir = value("--dir");
        } else if (a.rfind("--dir=", 0) == 0) {
            opt.dir = a.substr(6);
        } else if (a == "--lang") {
            opt.lang = value("--lang");
        } else if (a.rfind("--lang=", 0) == 0) {
            opt.lang = a.substr(7);
        } else if (a == "--json") {
            opt.json = true;
        } else if (a == "--list") {
            opt.list = true;
        } else if (a == "-v" || a == "--verbose") {
            opt.verbose = true;
        } else {
            std::fprintf(stderr, "nimbra-update: unknown option '%s' (see --help)\n", a.c_str());
            return kExitUsage;
        }
    }
    if (opt.lang.empty()) opt.lang = LocaleLanguage();
    if (opt.lang != "ja" && opt.lang != "en") {
        std::fprintf(stderr, "nimbra-update: --lang takes ja or en\n");
        return kExitUsage;
    }

    const std::string exeFolder = GetModuleFolder();
    if (!opt.dir.empty()) {
        std::error_code ec;
        fs::path dir = fs::absolute(opt.dir, ec);
        if (ec || !fs::is_directory(dir)) {
            std::fprintf(stderr, "nimbra-update: %s is not a folder\n", opt.dir.c_str());
            return kExitUsage;
        }
        SetModuleFolder(dir.lexically_normal().string());
    }

    const OutputMode mode = opt.json ? OutputMode::Json : (isatty(STDOUT_FILENO) ? OutputMode::Terminal : OutputMode::Plain);
    CliView view(mode, stdout);

    if (opt.lang == "en") {
        std::string lib = exeFolder + "/lang/en/NimbraUpdateRes.so";
        if (!LoadResourceLibraryFrom(lib))
            view.Note("warning", "English messages not found (" + lib + "); using Japanese.");
    }

    if (opt.list) return ListLoggers(view, opt);

    Run run{view, opt, false, false, false, nullptr, {}};
    SetLogSink(&LogToView, &run);
    SetActiveView(&view);

    const std::string folder = GetModuleFolder();
    if (!Readable(folder + "/UpDateMng.txt"))
        view.Note("warning", "UpDateMng.txt is missing in " + folder +
                                 ": every part whose version the logger reports will be rewritten.");

    UpdateServices services = RealUpdateServices();
    auto comTable = services.comTablePid;
    services.comTablePid = [&run, comTable](int pid, std::uint16_t* table) {
        const int n = comTable(pid, table);
        if (n <= 0) {
            run.portProblems = DiagnosePorts(static_cast<std::uint16_t>(pid));
            for (const auto& p : run.portProblems) run.view.Note("error", p.message);
        }
        return n;
    };
    auto flash = services.flashUpdate;
    services.flashUpdate = [&run, flash](const char* path, int port, const char* product, const char* serial, int kb,
                                         int verify) {
        if (!Readable(path)) NoteMissing(run, "The main firmware file", path);
        run.mainRunning = true;
        const int r = flash(path, port, product, serial, kb, verify);
        run.mainRunning = false;
        return r;
    };
    auto startNet = services.startNetWorker;
    services.startNetWorker = [&run, startNet](int imageNo) {
        const int type = g_mainDialog->m_updateType;
        const std::string folder = GetModuleFolder();
        const std::string imf = folder + (imageNo == 809 ? "/Nimbra_809.imf" : "/Nimbra_810.imf");
        if ((type & 2) && !Readable(imf)) NoteMissing(run, "The network-module firmware", imf);
        if ((type & 4) && !Readable(g_webImagePath)) NoteMissing(run, "The web-content image", g_webImagePath);
        startNet(imageNo);
    };

    UpdateCore core(view, services);
    run.core = &core;
    view.SetTimerHandler(
        [](int id, void* c) {
            auto* r = static_cast<Run*>(c);
            // Ctrl-C: the main-firmware update stops at the next block boundary (the
            // library then takes the logger out of boot mode); a second Ctrl-C ends
            // the program at once. Timer ticks run on the thread of the update, the
            // only thread whose cancel request the library sees.
            if (g_interrupts > 0 && !r->cancelAnnounced) {
                r->cancelAnnounced = true;
                if (r->mainRunning) {
                    KorvatSarnUpdate_Cancel();
                    r->view.Note("warning", "Stopping at the next block; the logger is taken out of boot mode.");
                } else {
                    r->view.Note("warning",
                                 "The network-module transfer cannot be stopped safely; press Ctrl-C again to abort.");
                }
            }
            r->core->OnTimer(id);
        },
        &run);
    std::signal(SIGINT, OnInterrupt);

    core.OnInitDialog();
    core.OnBnClickedUpdate();
    view.RunUntilIdle();
    WaitIChipWorker();
    view.FinishLine();

    int libraryCode = 0;
    const int code = Classify(run, libraryCode);
    std::string summary;
    switch (code) {
        case kExitOk:
            summary = "Done: " + (run.view.Boxes().empty() ? std::string() : run.view.Boxes().back());
            break;
        case kExitMainFailed:
        case kExitFiles:
            summary = "Failed: " + run.view.Status();
            break;
        default:
            summary = "Failed: " + (run.view.Status().empty() && !run.view.Boxes().empty() ? run.view.Boxes().back()
                                                                                           : run.view.Status());
    }
    if (opt.json) {
        std::string ev = "{\"event\":\"outcome\",\"result\":" + JsonString(OutcomeName(code)) +
                         ",\"exit\":" + std::to_string(code) + ",\"updateType\":" +
                         std::to_string(g_mainDialog->m_updateType.load());
        if (libraryCode) ev += ",\"libraryCode\":" + std::to_string(libraryCode);
        ev += ",\"text\":" + JsonString(summary) + "}";
        view.Event(ev);
    } else {
        view.Note("result", summary);
    }
    SetActiveView(nullptr);
    SetLogSink(nullptr, nullptr);
    return code;
}
