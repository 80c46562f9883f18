#include "optimizer/rng.h"

#include <bit>
#include <cerrno>
#include <cstddef>
#include <string>
#include <system_error>

#if defined(__linux__)
#include <sys/random.h>
#else
#include <unistd.h>
#endif

#include "core/errors.h"

namespace korvel {
namespace {

constexpr std::array<std::uint32_t, 4> kSigma{0x61707865u, 0x3320646eu, 0x79622d32u,
                                              0x6b206574u};
constexpr int kDoubleRounds = 4;  // ChaCha8: eight rounds
constexpr int kBlocksPerRefill = 4;

inline void quarter_round(std::array<std::uint32_t, 16>& s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 16);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 12);
    s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 8);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 7);
}

// Fills `out` with 32 random bytes from the operating system, or returns the
// errno of the failure.
int os_random_bytes(unsigned char* out, std::size_t n) {
#if defined(__linux__)
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::getrandom(out + got, n - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        got += static_cast<std::size_t>(r);
    }
    return 0;
#else
    // getentropy serves at most 256 bytes per call; 32 are asked for.
    return ::getentropy(out, n) == 0 ? 0 : errno;
#endif
}

}  // namespace

ChaCha8::ChaCha8(const std::array<std::uint32_t, 8>& key) {
    for (int i = 0; i < 4; ++i) input_[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) input_[4 + i] = key[i];
    // Words 12-13: 64-bit block counter, 14-15: stream number; all start at 0.
}

std::array<std::uint32_t, 8> ChaCha8::key_from_seed(std::uint64_t seed) {
    // PCG32 steps: advance the LCG, then output an xorshift-rotated word of
    // the new state. Spreads even small seeds over the whole key.
    std::array<std::uint32_t, 8> key{};
    std::uint64_t s = seed;
    for (auto& word : key) {
        s = s * 6364136223846793005ull + 11634580027462260723ull;
        const auto xorshifted = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        const auto rot = static_cast<int>(s >> 59);
        word = std::rotr(xorshifted, rot);
    }
    return key;
}

ChaCha8 ChaCha8::from_seed(std::uint64_t seed) { return ChaCha8(key_from_seed(seed)); }

ChaCha8 ChaCha8::from_entropy() {
    unsigned char bytes[32];
    const int err = os_random_bytes(bytes, sizeof bytes);
    if (err != 0) {
        throw InternalError("from_entropy failed: " + std::generic_category().message(err));
    }
    std::array<std::uint32_t, 8> key{};
    for (int i = 0; i < 8; ++i) {
        const unsigned char* b = bytes + 4 * i;
        key[i] = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                 static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    }
    return ChaCha8(key);
}

void ChaCha8::refill() {
    for (int blk = 0; blk < kBlocksPerRefill; ++blk) {
        std::array<std::uint32_t, 16> s = input_;
        for (int r = 0; r < kDoubleRounds; ++r) {
            quarter_round(s, 0, 4, 8, 12);
            quarter_round(s, 1, 5, 9, 13);
            quarter_round(s, 2, 6, 10, 14);
            quarter_round(s, 3, 7, 11, 15);
            quarter_round(s, 0, 5, 10, 15);
            quarter_round(s, 1, 6, 11, 12);
            quarter_round(s, 2, 7, 8, 13);
            quarter_round(s, 3, 4, 9, 14);
        }
        for (int i = 0; i < 16; ++i) buffer_[16 * blk + i] = s[i] + input_[i];
        // 64-bit block counter, low word first.
        if (++input_[12] == 0) ++input_[13];
    }
    index_ = 0;
}

std::uint32_t ChaCha8::next_u32() {
    if (index_ >= 64) refill();
    return buffer_[index_++];
}

std::uint64_t ChaCha8::next_u64() {
    // Low half first. With one word left in the buffer, that word is the low
    // half and the first word of the next refill the high half.
    const std::uint64_t lo = next_u32();
    const std::uint64_t hi = next_u32();
    return (hi << 32) | lo;
}

double ChaCha8::uniform() {
    // The top 53 bits scaled by 2^-53: every value is exact and < 1.
    return static_cast<double>(next_u64() >> 11) * 0x1.0p-53;
}

std::uint64_t ChaCha8::uniform_int(std::uint64_t m) {
    if (m == 0) throw InternalError("uniform_int needs a range of at least one value, got 0");
    // Widening multiply: the high word of v * m lies in [0, m); rejecting the
    // draws whose low word falls above the zone (m shifted up to the top bit,
    // minus one) removes the bias of the few results that would otherwise be
    // hit once more often. The zone is conservative: for m = 1 it rejects
    // about half of the draws. The rule is kept as it is for every m, because
    // the number of draws consumed fixes every later value of a seeded run.
    const std::uint64_t zone = (m << std::countl_zero(m)) - 1;
    for (;;) {
        const unsigned __int128 product =
            static_cast<unsigned __int128>(next_u64()) * static_cast<unsigned __int128>(m);
        const auto lo = static_cast<std::uint64_t>(product);
        if (lo <= zone) return static_cast<std::uint64_t>(product >> 64);
    }
}

}  // namespace korvel
