// ChaCha8 as a random-number generator, for the differential-evolution stage.
#pragma once

#include <array>
#include <cstdint>

namespace korvel {

class ChaCha8 {
public:
    // Key words 0-7 as given; block counter 0, stream 0.
    explicit ChaCha8(const std::array<std::uint32_t, 8>& key);

    // Key expanded from a 64-bit seed (PCG32 steps).
    static ChaCha8 from_seed(std::uint64_t seed);
    // Key of 32 bytes from the operating system; throws InternalError
    // "from_entropy failed: {}" when it cannot be had.
    static ChaCha8 from_entropy();
    // The eight key words a seed expands to.
    static std::array<std::uint32_t, 8> key_from_seed(std::uint64_t seed);

    std::uint32_t next_u32();
    std::uint64_t next_u64();
    // Uniform double in [0, 1).
    double uniform();
    // Uniform integer in [0, m), m >= 1 (widening multiply with rejection zone).
    std::uint64_t uniform_int(std::uint64_t m);

private:
    void refill();

    std::array<std::uint32_t, 16> input_{};
    std::array<std::uint32_t, 64> buffer_{};
    int index_ = 64;  // next word of buffer_; 64 means empty
};

}  // namespace korvel
