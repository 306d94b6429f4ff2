// The members' CRC-32 against zlib's, for every length up to a few blocks,
// unaligned starts, any CRC before, and a member checked in pieces.
#include "datareader/tablemine/native/crc32.hpp"

#include <zlib.h>

#include <cstdio>
#include <random>
#include <vector>

int main() {
    std::mt19937_64 rng(7);
    std::vector<unsigned char> bytes(1 << 20);
    for (auto &b : bytes) b = static_cast<unsigned char>(rng());
    int failures = 0;
    for (std::size_t size = 0; size < 1100; ++size)
        for (std::size_t start : {0, 1, 13}) {
            auto before = static_cast<std::uint32_t>(size % 3 ? rng() : 0);
            std::uint32_t ours = mine::native::crc32(before, bytes.data() + start, size);
            auto theirs = static_cast<std::uint32_t>(
                crc32(before, bytes.data() + start, static_cast<uInt>(size)));
            if (ours != theirs && failures++ < 10)
                std::printf("FAIL: %zu bytes from %zu: %08x, zlib %08x\n", size, start, ours,
                            theirs);
        }
    std::uint32_t pieces = 0;
    for (std::size_t at = 0, step = 0; at < bytes.size(); at += step) {
        step = std::min<std::size_t>(rng() % 70000, bytes.size() - at);
        pieces = mine::native::crc32(pieces, bytes.data() + at, step);
    }
    if (pieces != crc32(0, bytes.data(), static_cast<uInt>(bytes.size())) && ++failures)
        std::printf("FAIL: a member checked in pieces\n");
    std::printf("%s\n", failures ? "crc32: FAILED" : "crc32: all passed");
    return failures ? 1 : 0;
}
