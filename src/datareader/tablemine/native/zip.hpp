// The zip container of a workbook: its central directory, and one member at a
// time inflated in bounded chunks.  Plain C++ (POSIX files; zlib for the CRC).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "datareader/tablemine/native/inflate.hpp"

namespace mine::native::zip {

// Deflate can shrink a part at most about a thousand times.  What a part
// costs is what it inflates to: every part is streamed or held within a
// bound of its own, and up to kRatioFloor a part is inflated and scanned in
// well under a second whatever its ratio (plain markup of many repeated
// elements, a styles part of a million cell formats, inflates three hundred
// times and more).  Worksheets inflate three to fifty times; a part beyond
// the floor that inflates more than two hundred times is a bomb.
constexpr std::uint64_t kMaxRatio = 200;
constexpr std::uint64_t kRatioFloor = 256u << 20;
// The fixed part of a member's local header, which its data follows after
// the name and the extra field.
constexpr std::size_t kLocalHeader = 30;

struct Member {
    std::string name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t packed = 0;    // compressed size, as the directory says
    std::uint64_t size = 0;      // inflated size, as the directory says
    std::uint64_t offset = 0;    // of the local header
};

// An open archive.  Construction reads the end record and the central
// directory; Unsure when they are out of reach (no end record, zip64,
// several disks, data before the archive), Refused when members overlap or
// run past the directory, and when a member name holds a NUL or two members
// share a name.
class Archive {
public:
    explicit Archive(const std::string &path);
    ~Archive();
    Archive(const Archive &) = delete;
    Archive &operator=(const Archive &) = delete;

    // The member of this exact name, or null.
    const Member *find(const std::string &name) const;
    const std::vector<Member> &members() const { return m_members; }

    // `len` bytes at `offset` of the file; Refused when the file is shorter.
    void read_at(std::uint64_t offset, void *buf, std::size_t len) const;
    std::uint64_t directory_offset() const { return m_directory; }

private:
    void read_directory(std::uint64_t end_record);

    int m_fd = -1;
    std::uint64_t m_size = 0;
    std::uint64_t m_directory = 0;
    std::vector<Member> m_members;
    std::map<std::string, std::size_t> m_by_name;
};

// One member inflated chunk by chunk.  Memory stays at a few hundred KiB
// whatever the member's size.  The inflated bytes are held to the sizes the
// directory declares (Refused past them, or at a wrong CRC at the end), and
// a member whose declared size is out of proportion to its packed size is
// refused before anything is inflated.
class MemberStream {
public:
    MemberStream(const Archive &archive, const Member &member);
    ~MemberStream();
    MemberStream(const MemberStream &) = delete;
    MemberStream &operator=(const MemberStream &) = delete;

    // Fills `buf` with up to `cap` inflated bytes; 0 at the end of the member.
    // A large member is inflated by a thread of its own a few chunks ahead,
    // while the caller parses what came before.
    std::size_t read(char *buf, std::size_t cap);
    const Member &member() const { return m_member; }

private:
    struct Ahead;
    void start_ahead();
    std::size_t inflate_into(char *buf, std::size_t cap);
    std::size_t read_packed(unsigned char *buf, std::size_t cap);
    void finish();

    std::unique_ptr<Ahead> m_ahead;

    const Archive &m_archive;
    const Member &m_member;
    std::uint64_t m_next = 0;        // file offset of the next packed byte
    std::uint64_t m_packed_left = 0;
    std::uint64_t m_out = 0;
    std::uint32_t m_crc = 0;
    bool m_done = false;
    bool m_inline = false;   // no inflating thread started, or none could be
    bool m_counted = false;  // among the large members being read
    std::unique_ptr<inflate::Inflater> m_inflater;  // of a deflated member
};

}  // namespace mine::native::zip
