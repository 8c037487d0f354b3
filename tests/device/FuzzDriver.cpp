// Feeds the fuzz target deterministic pseudo-random inputs for a bounded number of
// iterations and seconds: random bytes, answer-shaped bytes and file-shaped text,
// each also mutated. Usage: device_fuzz_driver [iterations] [seconds] [seed]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

struct Rng {
    std::uint64_t s;
    std::uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<std::uint32_t>(s >> 11);
    }
    std::uint32_t Below(std::uint32_t n) { return n == 0 ? 0 : Next() % n; }
};

const char* const kKeys[] = {"STATUS", "FWV", "FWVX", "NETV", "AC", "ACX", "A", "", "MODE"};
const char* const kValues[] = {"0-0", "7-0", "0-1", "0--3", "0", "0 -0", "-", "", "1.31", "2.01", "1", "2"};
const char* const kMarkers[] = {"#T#", "#F#", "#N#", "#P#", "#W#", "#f#", "OFF", "\r", "\n", "\r\n", "#"};

void Append(std::vector<std::uint8_t>& out, const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }

std::vector<std::uint8_t> RandomBytes(Rng& r) {
    std::vector<std::uint8_t> v(r.Below(600));
    for (auto& b : v) b = static_cast<std::uint8_t>(r.Next());
    return v;
}

std::vector<std::uint8_t> AnswerShaped(Rng& r) {
    std::vector<std::uint8_t> v = {0x54, 0x32, static_cast<std::uint8_t>(r.Next()), static_cast<std::uint8_t>(r.Next())};
    Append(v, r.Below(8) == 0 ? "RUINF" : "EBSTS:");
    const std::uint32_t items = r.Below(6);
    for (std::uint32_t i = 0; i < items; ++i) {
        Append(v, kKeys[r.Below(std::size(kKeys))]);
        v.push_back('=');
        std::string value = kValues[r.Below(std::size(kValues))];
        if (r.Below(6) == 0) value.push_back('\0');
        std::uint32_t len = static_cast<std::uint32_t>(value.size());
        if (r.Below(5) == 0) len = r.Next() & 0xFFFF;  // a length that lies
        v.push_back(static_cast<std::uint8_t>(len));
        v.push_back(static_cast<std::uint8_t>(len >> 8));
        Append(v, value);
    }
    if (r.Below(2)) v.resize(r.Below(static_cast<std::uint32_t>(v.size()) + 1));  // cut anywhere
    return v;
}

std::vector<std::uint8_t> FileShaped(Rng& r) {
    std::vector<std::uint8_t> v;
    const std::uint32_t parts = r.Below(40);
    for (std::uint32_t i = 0; i < parts; ++i) {
        switch (r.Below(3)) {
        case 0: Append(v, kMarkers[r.Below(std::size(kMarkers))]); break;
        case 1: Append(v, kValues[r.Below(std::size(kValues))]); break;
        default: v.push_back(static_cast<std::uint8_t>(r.Next())); break;
        }
    }
    return v;
}

void Mutate(Rng& r, std::vector<std::uint8_t>& v) {
    const std::uint32_t edits = 1 + r.Below(4);
    for (std::uint32_t i = 0; i < edits; ++i) {
        switch (r.Below(4)) {
        case 0:
            if (!v.empty()) v[r.Below(static_cast<std::uint32_t>(v.size()))] = static_cast<std::uint8_t>(r.Next());
            break;
        case 1: v.insert(v.begin() + r.Below(static_cast<std::uint32_t>(v.size()) + 1), static_cast<std::uint8_t>(r.Next())); break;
        case 2:
            if (!v.empty()) v.erase(v.begin() + r.Below(static_cast<std::uint32_t>(v.size())));
            break;
        default: v.push_back(static_cast<std::uint8_t>("=:#\0\r\n"[r.Below(6)])); break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200000;
    const double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 10.0;
    Rng rng{argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 0x9E3779B97F4A7C15ull};
    if (rng.s == 0) rng.s = 1;
    const auto stop = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    long done = 0;
    for (; done < iterations; ++done) {
        if ((done & 255) == 0 && std::chrono::steady_clock::now() >= stop) break;
        std::vector<std::uint8_t> input;
        switch (done % 3) {
        case 0: input = RandomBytes(rng); break;
        case 1: input = AnswerShaped(rng); break;
        default: input = FileShaped(rng); break;
        }
        if (rng.Below(2)) Mutate(rng, input);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("fuzz driver: %ld inputs\n", done);
    return done > 0 ? 0 : 1;
}
