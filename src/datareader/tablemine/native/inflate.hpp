// A raw DEFLATE decoder (stored, fixed and dynamic Huffman blocks), streaming
// in bounded memory: the packed bytes are pulled from a source in chunks and
// the inflated bytes are handed out in pieces, with the last 32 KiB kept as
// the history that matches refer to.  Plain C++, no allocation after
// construction.  Damaged input of any kind ends in an Error, never in a read
// or write out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

namespace mine::native::inflate {

struct Error : std::runtime_error {
    // truncated: the packed bytes ran out inside the stream; otherwise the
    // stream breaks a rule of the format (a bad code, a distance beyond the
    // history, a stored length that its complement contradicts, ...).
    Error(bool truncated, const char *what) : std::runtime_error(what), truncated(truncated) {}
    bool truncated;
};

class Inflater {
public:
    // Fills up to `cap` bytes of packed input and returns how many; 0 once
    // the input is exhausted.  May throw: the exception goes to the caller
    // of read().
    using Source = std::function<std::size_t(unsigned char *buf, std::size_t cap)>;

    // The hints: the packed and inflated sizes the caller expects (a zip
    // member's, as its directory declares them).  The buffers are no larger
    // than they need, so that the many small parts of a workbook cost little
    // to start; a stream longer than its hints is inflated whole all the same.
    explicit Inflater(Source source, std::uint64_t packed_hint = UINT64_MAX,
                      std::uint64_t size_hint = UINT64_MAX);
    ~Inflater();
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // Up to `cap` inflated bytes into `out`; fewer only at the end of the
    // stream, 0 after it.  Throws Error on a damaged or truncated stream.
    std::size_t read(unsigned char *out, std::size_t cap);
    bool ended() const { return m_state == State::Done && m_handed == m_write; }

    // The sizes of the buffers at their largest (what the stream costs in
    // memory), and at their least.
    static constexpr std::size_t kWindow = 32 * 1024;
    static constexpr std::size_t kOutput = 256 * 1024;
    static constexpr std::size_t kInput = 64 * 1024;
    static constexpr std::size_t kLeast = 4 * 1024;

private:
    enum class State { Header, Stored, Huffman, Done };
    struct Tables;

    void decode_some();
    void start_block();
    void read_dynamic_tables();
    void copy_stored();
    void decode_huffman();
    void make_room();
    void fill_input();
    void need_bits(unsigned n);
    std::uint32_t take_bits(unsigned n);
    void check_not_past_input();
    [[noreturn]] void fail(const char *what);

    Source m_source;
    std::unique_ptr<Tables> m_tables;

    // Input: [m_in, m_in_end) buffered, the next byte to go into the bit
    // buffer at m_in_pos.  Once the source is exhausted, kPadding zero bytes
    // follow the last real one (at m_real_end) so that the decoding loop
    // never needs to test for the end; bits taken from them mean that the
    // stream was cut.
    std::size_t m_in_size;  // kLeast to kInput, and the padding after
    std::unique_ptr<unsigned char[]> m_in;
    std::size_t m_in_pos = 0, m_in_end = 0, m_real_end = 0;
    bool m_source_ended = false;
    std::uint64_t m_bits = 0;  // the next m_count bits of the stream, lowest first
    unsigned m_count = 0;

    // Output: [m_out, m_out + m_write) written, of which [m_handed, m_write)
    // not yet handed out; everything before m_write is the history.
    std::size_t m_out_size;  // the window and kLeast to kOutput, and the slack after
    std::unique_ptr<unsigned char[]> m_out;
    std::size_t m_write = 0, m_handed = 0;

    State m_state = State::Header;
    bool m_last_block = false;
    std::size_t m_stored_left = 0;
};

}  // namespace mine::native::inflate
