#include "AppHelpers.h"

#include <atomic>
#include <climits>
#include <unistd.h>

#include "MessageCatalogue.h"

namespace nimbra {

std::string GetModuleFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string LoadMessage(int id) {
    for (std::size_t i = 0; i < res::kJapaneseCatalogueSize; ++i) {
        if (res::kJapaneseCatalogue[i].id == id)
            return reinterpret_cast<const char*>(res::kJapaneseCatalogue[i].text);
    }
    return {};
}

namespace {
std::atomic<LogSink> g_sink{nullptr};
std::atomic<void*> g_sinkContext{nullptr};
}  // namespace

void SetLogSink(LogSink sink, void* context) {
    g_sinkContext = context;
    g_sink = sink;
}

int WriteLog(const std::string& text, const std::string& source) {
    if (LogSink sink = g_sink.load()) sink(text, source, g_sinkContext.load());
    return 1;  // the log channel is not wired yet
}

}  // namespace nimbra
