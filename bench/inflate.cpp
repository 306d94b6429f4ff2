// The reader's inflater against zlib's inflate() on one raw deflate stream
// (a member's packed bytes, in a file of their own): both take the input in
// 64 KiB pieces and give the output in 256 KiB pieces, as the reader does;
// the runs alternate, and each one's least CPU time is kept.  Built and run
// by run.py; prints one JSON object.
#include "datareader/tablemine/native/inflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr std::size_t kInput = 64 * 1024, kOutput = 256 * 1024;

double cpu_s() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::size_t ours(const std::vector<unsigned char> &packed, std::vector<unsigned char> &out) {
    std::size_t at = 0;
    mine::native::inflate::Inflater inflater([&](unsigned char *buf, std::size_t cap) {
        std::size_t n = std::min({cap, kInput, packed.size() - at});
        std::copy(packed.data() + at, packed.data() + at + n, buf);
        at += n;
        return n;
    });
    std::size_t total = 0;
    while (std::size_t n = inflater.read(out.data(), out.size())) total += n;
    return total;
}

std::size_t by_zlib(const std::vector<unsigned char> &packed, std::vector<unsigned char> &out) {
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    std::vector<unsigned char> in(kInput);
    std::size_t at = 0, total = 0;
    int ret = Z_OK;
    while (ret == Z_OK) {
        if (z.avail_in == 0) {
            std::size_t n = std::min(kInput, packed.size() - at);
            std::copy(packed.data() + at, packed.data() + at + n, in.data());
            at += n;
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(n);
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        ret = inflate(&z, Z_NO_FLUSH);
        total += out.size() - z.avail_out;
    }
    inflateEnd(&z);
    return ret == Z_STREAM_END ? total : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: inflate PACKED_FILE [ROUNDS]\n");
        return 2;
    }
    std::FILE *f = std::fopen(argv[1], "rb");
    if (!f) return 2;
    std::vector<unsigned char> packed;
    unsigned char buf[65536];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, f)) packed.insert(packed.end(), buf, buf + n);
    std::fclose(f);
    int rounds = argc > 2 ? std::atoi(argv[2]) : 7;

    std::vector<unsigned char> out(kOutput);
    double best_ours = 1e300, best_zlib = 1e300;
    std::size_t size_ours = 0, size_zlib = 0;
    for (int r = 0; r < rounds; ++r) {
        double c = cpu_s();
        size_ours = ours(packed, out);
        best_ours = std::min(best_ours, cpu_s() - c);
        c = cpu_s();
        size_zlib = by_zlib(packed, out);
        best_zlib = std::min(best_zlib, cpu_s() - c);
    }
    std::printf("{\"packed\": %zu, \"size\": %zu, \"same_size\": %s, \"ours_cpu_s\": %.4f, \"zlib_cpu_s\": %.4f}\n",
                packed.size(), size_ours, size_ours == size_zlib ? "true" : "false", best_ours, best_zlib);
    return size_ours == size_zlib && size_ours > 0 ? 0 : 1;
}
