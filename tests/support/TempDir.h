// A private folder for one test or benchmark run, removed with everything in it
// at the end. Free of the test framework so that the benchmarks can use it too.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace nimbra::testsupport {

// Made directly under /tmp with a short prefix: Unix socket paths inside it must
// stay under the 107 bytes a socket address holds. path() is empty when it could
// not be made.
class TempDir {
public:
    explicit TempDir(const char* prefix) {
        std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
        if (mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace nimbra::testsupport
