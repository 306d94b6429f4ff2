// Unit tests of the workbook reader's inflater, against zlib: every stream
// zlib's deflate writes (each level and strategy, over inputs that give
// stored, fixed and dynamic blocks, long and short matches, matches at the
// window's far end) must inflate to its input whatever the output and input
// pieces; damaged streams (bits flipped, cut short, and streams written to
// break one rule each) must fail where zlib fails and agree where it does not.
#include "datareader/tablemine/native/inflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

using mine::native::inflate::Error;
using mine::native::inflate::Inflater;
using Bytes = std::vector<unsigned char>;

namespace {

int failures = 0;

void check(bool ok, const std::string &what) {
    if (!ok && ++failures <= 30) std::printf("FAIL: %s\n", what.c_str());
}

Bytes deflated(const Bytes &data, int level, int strategy) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, strategy);
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
    z.next_in = const_cast<unsigned char *>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// zlib's reading of a raw stream: the bytes, or false where it fails.
bool zlib_inflated(const Bytes &packed, Bytes &out) {
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    z.next_in = const_cast<unsigned char *>(packed.data());
    z.avail_in = static_cast<uInt>(packed.size());
    out.clear();
    int ret = Z_OK;
    unsigned char buf[16384];
    while (ret == Z_OK) {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        ret = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    }
    inflateEnd(&z);
    return ret == Z_STREAM_END;
}

struct Outcome {
    bool ok = false, truncated = false;
    Bytes out;
};

// Ours, the input handed over `chunk` bytes at a time and the output taken
// `cap` bytes at a time; with the sizes hinted (the buffers sized by them).
Outcome ours(const Bytes &packed, std::size_t chunk, std::size_t cap,
             std::uint64_t packed_hint = UINT64_MAX, std::uint64_t size_hint = UINT64_MAX) {
    std::size_t at = 0;
    Inflater inflater(
        [&](unsigned char *buf, std::size_t room) {
            std::size_t n = std::min({room, chunk, packed.size() - at});
            std::copy(packed.begin() + static_cast<long>(at),
                      packed.begin() + static_cast<long>(at + n), buf);
            at += n;
            return n;
        },
        packed_hint, size_hint);
    Outcome r;
    Bytes buf(cap);
    try {
        while (std::size_t n = inflater.read(buf.data(), cap))
            r.out.insert(r.out.end(), buf.begin(), buf.begin() + static_cast<long>(n));
        r.ok = inflater.ended();
    } catch (const Error &e) {
        r.truncated = e.truncated;
    }
    return r;
}

std::vector<std::pair<std::string, Bytes>> inputs() {
    std::mt19937 rng(7);
    auto random_bytes = [&](std::size_t n) {
        Bytes b(n);
        for (auto &c : b) c = static_cast<unsigned char>(rng());
        return b;
    };
    auto text = [](const std::string &s) { return Bytes(s.begin(), s.end()); };
    std::string rows;
    for (int r = 1; rows.size() < 300000; ++r) {
        rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\"><v>" +
                std::to_string(rng() % 100000) + "</v></c><c r=\"B" + std::to_string(r) +
                "\" t=\"s\"><v>" + std::to_string(rng() % 7) + "</v></c></row>";
    }
    std::string periods;
    for (int p = 1; p <= 20; ++p)
        for (int i = 0; i < 700; ++i) periods += static_cast<char>('a' + (i % p) + p);
    Bytes far = random_bytes(32768);  // repeated at the window's far end
    far.insert(far.end(), far.begin(), far.begin() + 5000);
    std::vector<std::pair<std::string, Bytes>> all = {
        {"empty", {}},
        {"one byte", {'x'}},
        {"random", random_bytes(100000)},
        {"repeated text", text(std::string(5000, 'a') + std::string(20000, ' ') + "the end")},
        {"xml rows", text(rows)},
        {"short periods", text(periods)},
        {"far matches", far},
    };
    for (std::size_t size : {32767, 32768, 32769, 65535, 65536, 65537})
        all.emplace_back("xml rows of " + std::to_string(size), text(rows.substr(0, size)));
    return all;
}

// Stored (level 0), fixed and dynamic blocks, literals only (Huffman only),
// distance 1 (RLE): every stream zlib writes reads back, in any pieces.
void test_zlib_streams_read_back() {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    const std::size_t caps[] = {1, 7, 258, 4096, 256 * 1024};
    const std::size_t chunks[] = {1, 5, 1000, 64 * 1024};
    std::size_t turn = 0;
    for (const auto &[name, data] : inputs()) {
        for (int level = 0; level <= 9; ++level) {
            for (int strategy : strategies) {
                Bytes packed = deflated(data, level, strategy);
                std::string what = name + ", level " + std::to_string(level) + ", strategy " +
                                   std::to_string(strategy);
                Outcome whole = ours(packed, 64 * 1024, 256 * 1024);
                check(whole.ok && whole.out == data, what);
                // The small pieces in turn, so that each meets every input.
                std::size_t cap = caps[turn % 5], chunk = chunks[turn / 5 % 4];
                ++turn;
                if (data.size() > 70000 && cap < 258)
                    cap = 258;  // one byte a call: slow, adds nothing
                // the buffers sized by the true sizes, or by hints far below
                // them (the least buffers, their history slid again and again)
                bool exact = turn % 2 == 0;
                Outcome pieces =
                    ours(packed, chunk, cap, exact ? packed.size() : 1, exact ? data.size() : 1);
                check(pieces.ok && pieces.out == data, what + ", output by " + std::to_string(cap) +
                                                           ", input by " + std::to_string(chunk));
            }
        }
    }
}

// Damaged streams fail where zlib fails and read as zlib reads them where it
// does not; a stream cut short says so.
void test_damaged_streams_agree_with_zlib() {
    auto all = inputs();
    const Bytes &rows = all[4].second;
    Bytes sample(rows.begin(), rows.begin() + 20000);
    const std::pair<int, int> kinds[] = {{6, Z_DEFAULT_STRATEGY},
                                         {6, Z_FIXED},
                                         {0, Z_DEFAULT_STRATEGY},
                                         {6, Z_RLE},
                                         {1, Z_HUFFMAN_ONLY}};
    for (auto [level, strategy] : kinds) {
        Bytes packed = deflated(sample, level, strategy);
        std::string what =
            "level " + std::to_string(level) + ", strategy " + std::to_string(strategy);
        const std::size_t bits = packed.size() * 8;
        const std::size_t step = std::max<std::size_t>(1, bits / 1500);
        for (std::size_t bit = 0; bit < bits; bit += step) {
            Bytes damaged = packed;
            damaged[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
            Bytes want;
            bool zlib_ok = zlib_inflated(damaged, want);
            Outcome got = ours(damaged, bit % 3 ? 64 * 1024 : 3, 4096);
            check(got.ok == zlib_ok && (!zlib_ok || got.out == want),
                  what + ", bit " + std::to_string(bit) + " flipped");
        }
        for (std::size_t len = 0; len < packed.size(); len += 1 + len / 40) {
            Bytes cut(packed.begin(), packed.begin() + static_cast<long>(len));
            Outcome got = ours(cut, len % 2 ? 64 * 1024 : 1, 4096);
            check(!got.ok && got.truncated, what + ", cut to " + std::to_string(len) + " bytes");
        }
    }
}

// Streams written bit by bit to break one rule each.
class Bits {
public:
    Bits &put(unsigned value, unsigned n) {
        for (unsigned i = 0; i < n; ++i, ++m_n) {
            if (m_n % 8 == 0) bytes.push_back(0);
            bytes.back() =
                static_cast<unsigned char>(bytes.back() | ((value >> i) & 1) << (m_n % 8));
        }
        return *this;
    }
    // A Huffman code: its bits go most significant first.
    Bits &code(unsigned value, unsigned n) {
        for (unsigned i = n; i-- > 0;) put(value >> i, 1);
        return *this;
    }
    Bits &align() {
        m_n = (m_n + 7) / 8 * 8;
        return *this;
    }
    Bytes bytes;

private:
    std::size_t m_n = 0;
};

// Fixed-code symbols.
Bits &literal(Bits &b, unsigned c) {
    return c < 144 ? b.code(0x30 + c, 8) : b.code(0x190 + c - 144, 9);
}
Bits &length_symbol(Bits &b, unsigned s) {
    return s < 280 ? b.code(s - 256, 7) : b.code(0xC0 + s - 280, 8);
}

// A dynamic block header: the code length code gives symbols 0-12 four bits
// and 13-18 five (a complete code), then `lens` are sent one symbol each.
Bits dynamic_header(unsigned nlit, unsigned ndist, const std::vector<unsigned> &symbols,
                    const unsigned *codelen_lens = nullptr) {
    static const unsigned order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    Bits b;
    unsigned lens[19];
    for (unsigned s = 0; s < 19; ++s) lens[s] = codelen_lens ? codelen_lens[s] : s < 13 ? 4 : 5;
    b.put(1, 1).put(2, 2).put(nlit - 257, 5).put(ndist - 1, 5).put(15, 4);
    for (unsigned i = 0; i < 19; ++i) b.put(lens[order[i]], 3);
    // Canonical codes of the code length code.
    unsigned count[8] = {}, next[9] = {}, codes[19];
    for (unsigned s = 0; s < 19; ++s) ++count[lens[s]];
    count[0] = 0;
    for (unsigned l = 1; l <= 7; ++l) next[l + 1] = (next[l] + count[l]) << 1;
    for (unsigned s = 0; s < 19; ++s) codes[s] = lens[s] ? next[lens[s]]++ : 0;
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        unsigned s = symbols[i];
        b.code(codes[s], lens[s]);
        if (s == 16) b.put(symbols[++i], 2);
        if (s == 17) b.put(symbols[++i], 3);
        if (s == 18) b.put(symbols[++i], 7);
    }
    return b;
}

void test_streams_breaking_one_rule_fail() {
    struct Case {
        std::string what;
        Bits bits;
    };
    std::vector<Case> cases;
    auto add = [&](const std::string &what, Bits b) { cases.push_back({what, std::move(b)}); };
    // Stored length against its complement.
    add("stored length mismatch", Bits().put(1, 1).put(0, 2).align().put(5, 16).put(5, 16));
    add("block type 3", Bits().put(1, 1).put(3, 2).put(0, 16));
    {
        Bits b;
        b.put(1, 1).put(1, 2);
        literal(b, 'a');
        length_symbol(b, 286);
        add("length symbol 286", b);
    }
    {
        Bits b;
        b.put(1, 1).put(1, 2);
        literal(b, 'a');
        length_symbol(b, 287);
        add("length symbol 287", b);
    }
    for (unsigned d : {30u, 31u}) {
        Bits b;
        b.put(1, 1).put(1, 2);
        literal(b, 'a');
        length_symbol(b, 257).code(d, 5);
        length_symbol(b, 256);
        add("distance symbol " + std::to_string(d), b);
    }
    {
        Bits b;  // one byte of history, a distance of two
        b.put(1, 1).put(1, 2);
        literal(b, 'a');
        length_symbol(b, 257).code(1, 5);
        length_symbol(b, 256);
        add("distance beyond the history", b);
    }
    {
        Bits b;  // literals, then no end-of-block code before the input ends
        b.put(1, 1).put(1, 2);
        for (int i = 0; i < 40; ++i) literal(b, 'a' + i % 26);
        add("missing end of block", b);
    }
    // Dynamic headers: 257 literal/length codes and 1 distance code unless said.
    // 138 + 118 zeros, then a one-bit code for 256 and for distance 0.
    const std::vector<unsigned> eob_only = {18, 127, 18, 107, 1, 1};
    add("too many literal/length codes", dynamic_header(287, 1, eob_only));
    add("too many distance codes", dynamic_header(257, 31, eob_only));
    add("repeat with nothing before it", dynamic_header(257, 1, {16, 0}));
    add("repeat past the count", dynamic_header(257, 1, {18, 127, 18, 127, 18, 127}));
    add("no end-of-block code", dynamic_header(257, 1, {18, 127, 18, 108, 1}));
    add("over-subscribed literal/length code",
        dynamic_header(257, 1, {1, 1, 1, 18, 127, 18, 104, 1, 1}));
    {
        // Codes 00, 01 and 10 (the end of the block, which follows), 11 unused.
        Bits b = dynamic_header(257, 1, {2, 2, 18, 127, 18, 105, 2, 1});
        add("incomplete literal/length code", b.code(2, 2));
    }
    {
        unsigned all_one[19];
        std::fill(all_one, all_one + 19, 1);
        add("over-subscribed code length code", dynamic_header(257, 1, {}, all_one));
        unsigned single[19] = {};
        single[0] = 1;
        add("incomplete code length code", dynamic_header(257, 1, {}, single));
    }
    for (auto &c : cases) {
        Bytes padded = c.bits.bytes;
        padded.resize(padded.size() + 8, 0);  // the rule breaks before the input ends
        Bytes want;
        bool zlib_ok =
            zlib_inflated(c.what == "missing end of block" ? c.bits.bytes : padded, want);
        Outcome got =
            ours(c.what == "missing end of block" ? c.bits.bytes : padded, 64 * 1024, 4096);
        check(!zlib_ok, c.what + ": zlib reads it (the case is wrong)");
        check(!got.ok, c.what + ": read without an error");
    }
    // The limits themselves are sound: a distance of exactly the history, and
    // a single distance code of one bit.
    Bits b;
    b.put(1, 1).put(1, 2);
    literal(b, 'a');
    length_symbol(b, 258).code(0, 5);
    length_symbol(b, 256);
    Outcome got = ours(b.bytes, 64 * 1024, 4096);
    check(got.ok && got.out == Bytes(5, 'a'), "distance 1 after one byte");
    Bits single = dynamic_header(257, 1, eob_only);
    single.code(0, 1);
    Bytes want;
    Outcome one = ours(single.bytes, 64 * 1024, 4096);
    check(one.ok && one.out.empty() && zlib_inflated(single.bytes, want), "a block of one code");
}

}  // namespace

int main() {
    test_zlib_streams_read_back();
    test_damaged_streams_agree_with_zlib();
    test_streams_breaking_one_rule_fail();
    if (failures) {
        std::printf("%d inflate check(s) failed\n", failures);
        return 1;
    }
    std::printf("inflate: all checks passed\n");
    return 0;
}
