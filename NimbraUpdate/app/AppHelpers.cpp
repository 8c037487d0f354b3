#include "AppHelpers.h"

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

int WriteLog(const std::string&, const std::string&) {
    return 1;  // the log channel is not wired yet
}

}  // namespace nimbra
