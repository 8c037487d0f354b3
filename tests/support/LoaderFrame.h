// Boot-loader frames built independently of the product's own framing, so that
// tests and benchmarks that talk to the simulator check it rather than share it.
#pragma once

#include <cstdint>
#include <vector>

namespace nimbra::testsupport {

// head LEN payload SUM end, with SUM = (0 - LEN - sum(payload)) mod 256.
inline std::vector<std::uint8_t> LoaderFrame(std::uint8_t head, const std::vector<std::uint8_t>& payload,
                                             std::uint8_t end) {
    std::vector<std::uint8_t> f{head, static_cast<std::uint8_t>(payload.size() & 0xFF)};
    unsigned sum = f[1];
    for (auto b : payload) {
        f.push_back(b);
        sum += b;
    }
    f.push_back(static_cast<std::uint8_t>((0x100 - (sum & 0xFF)) & 0xFF));
    f.push_back(end);
    return f;
}

}  // namespace nimbra::testsupport
