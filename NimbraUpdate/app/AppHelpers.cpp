#include "AppHelpers.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "Globals.h"
#include "Resources.h"

namespace nimbra {

namespace {
std::mutex g_folderMutex;
std::string g_folderOverride;
std::atomic<const res::Resources*> g_resources{nullptr};
}  // namespace

std::string GetModuleFolder() {
    {
        std::lock_guard lock(g_folderMutex);
        if (!g_folderOverride.empty()) return g_folderOverride;
    }
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void SetModuleFolder(const std::string& folder) {
    std::lock_guard lock(g_folderMutex);
    g_folderOverride = folder;
    while (g_folderOverride.size() > 1 && g_folderOverride.back() == '/') g_folderOverride.pop_back();
}

const res::Resources& CurrentResources() {
    const res::Resources* r = g_resources.load(std::memory_order_acquire);
    return r ? *r : res::BuiltInResources();
}

void UseBuiltInResources() { g_resources.store(nullptr, std::memory_order_release); }

int LoadResourceLibrary() { return LoadResourceLibraryFrom(GetModuleFolder() + "/NimbraUpdateRes.so"); }

int LoadResourceLibraryFrom(const std::string& path) {
    if (!std::filesystem::is_regular_file(path)) return 0;
    // The library is never unloaded: its texts and pictures are used until exit.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return 0;
    auto get = reinterpret_cast<NimbraUpdateRes_GetFn>(dlsym(handle, kNimbraUpdateResEntry));
    const res::Resources* r = get ? get() : nullptr;
    // A library built against another layout is not trusted with ours.
    if (!r || r->version != res::kResourcesVersion || !r->catalogue) return 0;
    g_resources.store(r, std::memory_order_release);
    return 1;
}

std::string LoadMessage(int id) {
    const res::Resources& r = CurrentResources();
    for (std::size_t i = 0; i < r.catalogueSize; ++i) {
        if (r.catalogue[i].id == id && r.catalogue[i].text)
            return reinterpret_cast<const char*>(r.catalogue[i].text);
    }
    return {};
}

std::string FormatMessage(const std::string& format, std::initializer_list<int> values) {
    std::string out;
    auto next = values.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (format[i + 1] == 'd' && next != values.end()) {
                out += std::to_string(*next++);
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

// ---- the log channel ----

namespace {
std::atomic<LogSink> g_sink{nullptr};
std::atomic<void*> g_sinkContext{nullptr};

void PutUnits(unsigned char* dst, const std::u16string& units, std::size_t maxUnits) {
    const std::size_t n = std::min(units.size(), maxUnits);
    for (std::size_t i = 0; i < n; ++i) {
        dst[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
        dst[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
    // the terminator is already there: the record was zero-filled
}
}  // namespace

void SetLogSink(LogSink sink, void* context) {
    g_sinkContext = context;
    g_sink = sink;
}

std::string LogSocketFolder() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg) return xdg;
    return "/tmp/nimbra-" + std::to_string(getuid());
}

std::string LogSocketPath() { return LogSocketFolder() + "/Skelmor"; }

bool DetectLogViewer() {
    std::error_code ec;
    g_logViewerFound = std::filesystem::is_regular_file(GetModuleFolder() + "/Skelmor", ec);
    return g_logViewerFound;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        char32_t cp;
        std::size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        bool ok = i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // overlong forms, surrogates and values past U+10FFFF are malformed too
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return out;
}

std::string Utf16ToUtf8(const char16_t* units, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count && units[i]; ++i) {
        char32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

void BuildLogRecord(unsigned char (&record)[kLogRecordSize], const std::string& text,
                    const std::string& source, std::int64_t time) {
    std::memset(record, 0, sizeof record);
    auto t = static_cast<std::uint64_t>(time);
    for (int i = 0; i < 8; ++i) record[i] = static_cast<unsigned char>(t >> (8 * i));
    // The source keeps room for its terminator whatever its length.
    PutUnits(record + kLogSourceOffset, Utf8ToUtf16(source), kLogSourceUnits - 1);
    PutUnits(record + kLogTextOffset, Utf8ToUtf16(text), kLogTextMaxChars);
}

int WriteLog(const std::string& text, const std::string& source) {
    if (LogSink sink = g_sink.load()) sink(text, source, g_sinkContext.load());
    if (!g_logViewerFound) return 1;

    const auto now = std::chrono::system_clock::now();
    const std::int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    unsigned char record[kLogRecordSize];
    BuildLogRecord(record, text, source, seconds);

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = LogSocketPath();
    if (path.size() >= sizeof addr.sun_path) return 0;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    // One socket per record, nothing kept open between lines. A viewer that falls
    // behind holds a line up for at most 50 ms; one that does not read at all then
    // loses records instead of stalling the update.
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    const timeval patience{0, 50000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    ssize_t sent = sendto(fd, record, sizeof record, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    close(fd);
    return sent == static_cast<ssize_t>(sizeof record) ? 1 : 0;
}

}  // namespace nimbra
