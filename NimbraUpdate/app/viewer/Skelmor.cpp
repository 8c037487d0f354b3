// Skelmor: a minimal log viewer. Owns the log socket and prints every record it
// receives as one line: time (UTC, and the raw seconds), source, text.
//
//   Skelmor [--count N]     stop after N records (default: run until SIGINT/SIGTERM)
//
// The socket is $XDG_RUNTIME_DIR/Skelmor, else /tmp/nimbra-<uid>/Skelmor.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "AppHelpers.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

std::string Field(const unsigned char* p, std::size_t units) {
    char16_t buf[80];
    for (std::size_t i = 0; i < units; ++i) buf[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    return nimbra::Utf16ToUtf8(buf, units);
}

}  // namespace

int main(int argc, char** argv) {
    long limit = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            limit = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: Skelmor [--count N]\n");
            return 2;
        }
    }

    const std::string folder = nimbra::LogSocketFolder();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        std::perror(folder.c_str());
        return 1;
    }
    // The fallback folder under /tmp must be ours alone, or someone else could read
    // the records or stand in for the viewer.
    struct stat st{};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        std::fprintf(stderr, "Skelmor: %s is not a folder of this user\n", folder.c_str());
        return 1;
    }

    const std::string path = nimbra::LogSocketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "Skelmor: socket path too long: %s\n", path.c_str());
        return 1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    unlink(path.c_str());  // a socket left behind by a viewer that was killed
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror(path.c_str());
        return 1;
    }

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::fprintf(stderr, "Skelmor: listening on %s\n", path.c_str());
    long received = 0;
    while (!g_stop && (limit < 0 || received < limit)) {
        unsigned char record[nimbra::kLogRecordSize + 1];
        ssize_t n = recv(fd, record, sizeof record, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("recv");
            break;
        }
        if (n != static_cast<ssize_t>(nimbra::kLogRecordSize)) {
            std::printf("(a datagram of %zd bytes, not a log record)\n", n);
            std::fflush(stdout);
            continue;
        }
        std::int64_t t = 0;
        for (int i = 7; i >= 0; --i) t = (t << 8) | record[i];
        std::time_t tt = static_cast<std::time_t>(t);
        std::tm tm{};
        char when[32] = "?";
        if (gmtime_r(&tt, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
        std::printf("%s UTC (%lld)\t%s\t%s\n", when, static_cast<long long>(t),
                    Field(record + nimbra::kLogSourceOffset, nimbra::kLogSourceUnits).c_str(),
                    Field(record + nimbra::kLogTextOffset, nimbra::kLogTextUnits).c_str());
        std::fflush(stdout);
        ++received;
    }
    close(fd);
    unlink(path.c_str());
    return 0;
}
