// Large files on 32-bit systems: offsets are 64 bits wide everywhere here.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "datareader/tablemine/native/zip.hpp"

#include "datareader/tablemine/native/crc32.hpp"
#include "datareader/tablemine/native/errors.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mine::native::zip {
namespace {

// The records of the format, each field at its offset from the record's
// signature; all fields little-endian.
//
// The end of central directory record.
constexpr char kEndSignature[] = "PK\5\6";
constexpr std::size_t kEndRecord = 22;
// The archive's comment, which may follow the end record, is at most this
// long: the record is looked for within it.
constexpr std::size_t kMaxComment = 0xFFFF;
constexpr std::size_t kEndDisk = 4, kEndDirectoryDisk = 6, kEndEntriesHere = 8, kEndEntries = 10,
                      kEndDirectoryLength = 12, kEndDirectoryOffset = 16;
// The zip64 end of central directory locator, just before the end record.
constexpr char kZip64LocatorSignature[] = "PK\6\7";
constexpr std::size_t kZip64Locator = 20;
// A central directory header, followed by the name, the extra field and the
// comment.
constexpr char kDirectorySignature[] = "PK\1\2";
constexpr std::size_t kDirectoryHeader = 46;
constexpr std::size_t kDirFlags = 8, kDirMethod = 10, kDirCrc = 16, kDirPacked = 20, kDirSize = 24,
                      kDirNameLength = 28, kDirExtraLength = 30, kDirCommentLength = 32,
                      kDirLocalOffset = 42;
// A local header (kLocalHeader long), followed by the name and the extra
// field, then the member's data.
constexpr char kLocalSignature[] = "PK\3\4";
constexpr std::size_t kLocalNameLength = 26, kLocalExtraLength = 28;
// General purpose flags, and the compression methods read here.
constexpr std::uint16_t kFlagEncrypted = 0x1, kFlagUtf8 = 0x800;
constexpr std::uint16_t kStored = 0, kDeflated = 8;
// A 16- or 32-bit field at its largest: the value is in a zip64 record.
constexpr std::uint16_t kZip64Count = 0xFFFF;
constexpr std::uint32_t kZip64Value = 0xFFFFFFFFu;

// Far beyond the few hundred members of any workbook: the directory is
// read whole, so its size is bounded.
constexpr std::uint64_t kMaxDirectory = 64u << 20;
// Members from this size on are inflated a few chunks ahead by a thread.
//
// What it saves is time on the clock, not CPU (a chunk handed over costs a
// copy and a wake-up): inflating is a third of a large sheet's read, and it
// runs beside the scan when a core is free.  Measured with zlib's inflate(),
// then half of the read, with the bench's campaign, the Training sheet (49
// MB): at a quiet moment a read took 0.12 s on the clock for 0.21 s of CPU;
// with the machine loaded by other builds (load 3 on 2 cores) the least of
// 10 reads was 0.175 to 0.184 s, against 0.178 to 0.197 s with the thread
// off (a build with this floor out of reach), so nothing then.  The bench
// rows "getFrameFromExcel Training" and "8 Training sheets, 2 threads / in
// turn" show it.
//
// A thread ahead pays only when a core is free for it: while other large
// members are being read in other threads (a pool reading many workbooks),
// each takes the cores' share it has and inflates itself (the bench row "8
// Training sheets, 2 threads / in turn" shows the two).  The cores are
// those the reading thread may run on: a job confined to one core (taskset,
// a batch system's cpuset) inflates inline, as a thread ahead would only
// take turns with it.
constexpr std::uint64_t kAheadFloor = 4u << 20;
constexpr std::size_t kAheadChunk = 256 * 1024;
constexpr std::size_t kAheadChunks = 4;

// The large members being read at this moment, in every thread.
std::atomic<unsigned> g_large_reads{0};

unsigned cores_of_this_thread() {
#ifdef __linux__
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        return static_cast<unsigned>(std::max(1, CPU_COUNT(&allowed)));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

bool core_free_for_thread_ahead(unsigned reads) { return 2 * reads <= cores_of_this_thread(); }

std::uint16_t u16(const unsigned char *p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t u32(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

[[noreturn]] void refuse(const std::string &why) { throw Refused(Refused::Kind::Zip, why); }

// Member names as zipfile shows them: UTF-8 when the member says so, plain
// ASCII alike; other bytes are code page 437 there, which no part name of a
// workbook uses, so such a name is made one that no lookup matches.
std::string member_name(const unsigned char *p, std::size_t len, std::uint16_t flags) {
    std::string name(reinterpret_cast<const char *>(p), len);
    if (flags & kFlagUtf8) return name;
    bool ascii = std::all_of(name.begin(), name.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? name : std::string(1, '\0') + name;
}

// A member name as a message shows it: printable ASCII, other bytes escaped.
std::string shown_name(const unsigned char *p, std::size_t len) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < len && out.size() < 200; ++i) {
        if (p[i] >= 0x20 && p[i] < 0x7f) {
            out += static_cast<char>(p[i]);
        } else {
            out += "\\x";
            out += hex[p[i] >> 4];
            out += hex[p[i] & 15];
        }
    }
    return out;
}

}  // namespace

Archive::Archive(const std::string &path) {
    // O_NONBLOCK: a FIFO put in the file's place must not hang the open.
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0) throw Unsure("cannot open the file");
    struct stat st;
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(m_fd);
        throw Unsure("not a regular file");
    }
    m_size = static_cast<std::uint64_t>(st.st_size);
    try {
        if (m_size < kEndRecord) throw Unsure("too short for a zip archive");
        std::uint64_t tail_len = std::min<std::uint64_t>(m_size, kEndRecord + kMaxComment);
        std::vector<unsigned char> tail(static_cast<std::size_t>(tail_len));
        read_at(m_size - tail_len, tail.data(), tail.size());
        // The last end record signature, as zipfile looks for it.
        std::size_t pos = tail.size() - kEndRecord + 1;
        bool found = false;
        while (pos-- > 0) {
            if (std::memcmp(&tail[pos], kEndSignature, 4) == 0) {
                found = true;
                break;
            }
        }
        if (!found) throw Unsure("no end of central directory record");
        read_directory(m_size - tail_len + pos);
    } catch (...) {
        ::close(m_fd);
        throw;
    }
}

Archive::~Archive() {
    if (m_fd >= 0) ::close(m_fd);
}

void Archive::read_at(std::uint64_t offset, void *buf, std::size_t len) const {
    if (offset > m_size || len > m_size - offset) refuse("the archive is truncated");
    auto *out = static_cast<char *>(buf);
    while (len > 0) {
        ssize_t got = ::pread(m_fd, out, len, static_cast<off_t>(offset));
        if (got <= 0) throw Unsure("the file cannot be read");
        out += got;
        offset += static_cast<std::uint64_t>(got);
        len -= static_cast<std::size_t>(got);
    }
}

void Archive::read_directory(std::uint64_t end_record) {
    unsigned char rec[kEndRecord];
    read_at(end_record, rec, sizeof rec);
    if (end_record >= kZip64Locator) {
        unsigned char locator[4];
        read_at(end_record - kZip64Locator, locator, sizeof locator);
        if (std::memcmp(locator, kZip64LocatorSignature, 4) == 0) throw Unsure("zip64 archive");
    }
    std::uint16_t disk = u16(rec + kEndDisk), directory_disk = u16(rec + kEndDirectoryDisk);
    std::uint16_t here = u16(rec + kEndEntriesHere), total = u16(rec + kEndEntries);
    std::uint32_t length = u32(rec + kEndDirectoryLength), offset = u32(rec + kEndDirectoryOffset);
    if (disk != 0 || directory_disk != 0 || here != total) throw Unsure("multi-disk archive");
    if (total == kZip64Count || length == kZip64Value || offset == kZip64Value)
        throw Unsure("zip64 archive");
    // Data before the archive (a self-extractor) shifts every offset; zipfile
    // allows for it, this reader does not.
    if (static_cast<std::uint64_t>(offset) + length != end_record)
        throw Unsure("data before the archive, or a damaged directory");
    if (length > kMaxDirectory) throw Unsure("central directory too large");
    m_directory = offset;

    std::vector<unsigned char> dir(length);
    read_at(offset, dir.data(), dir.size());
    std::vector<std::uint64_t> ends;  // least end of each member's data
    std::size_t pos = 0;
    for (std::size_t i = 0; i < total; ++i) {
        if (dir.size() - pos < kDirectoryHeader ||
            std::memcmp(&dir[pos], kDirectorySignature, 4) != 0)
            throw Unsure("damaged central directory");
        const unsigned char *h = &dir[pos];
        Member m;
        m.flags = u16(h + kDirFlags);
        m.method = u16(h + kDirMethod);
        m.crc = u32(h + kDirCrc);
        std::uint32_t packed = u32(h + kDirPacked), size = u32(h + kDirSize),
                      local = u32(h + kDirLocalOffset);
        std::size_t name_len = u16(h + kDirNameLength), extra_len = u16(h + kDirExtraLength),
                    comment_len = u16(h + kDirCommentLength);
        if (packed == kZip64Value || size == kZip64Value || local == kZip64Value)
            throw Unsure("zip64 member");
        std::size_t record = kDirectoryHeader + name_len + extra_len + comment_len;
        if (dir.size() - pos < record) throw Unsure("damaged central directory");
        m.packed = packed;
        m.size = size;
        m.offset = local;
        // zipfile cuts a name at a NUL and keeps the last member of a name:
        // such an archive reads as two different workbooks.
        if (std::memchr(h + kDirectoryHeader, 0, name_len))
            refuse("a member name with a NUL byte: " + shown_name(h + kDirectoryHeader, name_len));
        m.name = member_name(h + kDirectoryHeader, name_len, m.flags);
        if (!m_by_name.emplace(m.name, m_members.size()).second)
            refuse("two members named " + shown_name(h + kDirectoryHeader, name_len));
        ends.push_back(m.offset + kLocalHeader + name_len + m.packed);
        m_members.push_back(std::move(m));
        pos += record;
    }
    if (pos != dir.size()) throw Unsure("damaged central directory");

    // Members must lie one after the other before the directory: a member
    // overlapping another is how a small archive inflates to gigabytes.
    std::vector<std::size_t> order(m_members.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return m_members[a].offset < m_members[b].offset;
    });
    for (std::size_t k = 0; k < order.size(); ++k) {
        std::uint64_t end = ends[order[k]];
        if (end > m_directory)
            refuse("member " + m_members[order[k]].name + " runs past the central directory");
        if (k + 1 < order.size() && m_members[order[k + 1]].offset < end)
            refuse("members " + m_members[order[k]].name + " and " + m_members[order[k + 1]].name +
                   " overlap");
    }
}

const Member *Archive::find(const std::string &name) const {
    auto it = m_by_name.find(name);
    return it == m_by_name.end() ? nullptr : &m_members[it->second];
}

MemberStream::MemberStream(const Archive &archive, const Member &member)
    : m_archive(archive), m_member(member) {
    if (member.flags & kFlagEncrypted) throw Unsure("encrypted member");
    if (member.method != kStored && member.method != kDeflated)
        throw Unsure("unsupported compression method");
    if (member.size > kRatioFloor && member.size / kMaxRatio > member.packed)
        refuse("member " + member.name + " would inflate " + std::to_string(member.packed) +
               " bytes to " + std::to_string(member.size));
    if (member.method == kStored && member.packed != member.size)
        refuse("stored member " + member.name + " with two sizes");
    unsigned char local[kLocalHeader];
    archive.read_at(member.offset, local, sizeof local);
    if (std::memcmp(local, kLocalSignature, 4) != 0)
        refuse("bad local header of member " + member.name);
    std::uint64_t data = member.offset + kLocalHeader + u16(local + kLocalNameLength) +
                         u16(local + kLocalExtraLength);
    if (data + member.packed > archive.directory_offset())
        refuse("member " + member.name + " runs past the central directory");
    m_next = data;
    m_packed_left = member.packed;
    if (member.method == kDeflated)
        m_inflater.reset(new inflate::Inflater(
            [this](unsigned char *buf, std::size_t cap) { return read_packed(buf, cap); },
            member.packed, member.size));
}

// The chunks inflated ahead, handed from the inflating thread to the reader.
// Memory: kAheadChunks chunks at most.
struct MemberStream::Ahead {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<char>> full;
    std::vector<std::vector<char>> spare;
    bool ended = false, stop = false;
    std::exception_ptr error;
    std::vector<char> current;
    std::size_t pos = 0;
    std::thread worker;

    void produce(MemberStream &stream) {
        for (;;) {
            std::vector<char> chunk;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stop || !spare.empty(); });
                if (stop) return;
                chunk = std::move(spare.back());
                spare.pop_back();
            }
            chunk.resize(kAheadChunk);
            std::size_t n = 0;
            std::exception_ptr failed;
            try {
                n = stream.inflate_into(chunk.data(), chunk.size());
            } catch (...) {
                failed = std::current_exception();
            }
            chunk.resize(n);
            std::lock_guard<std::mutex> lock(mutex);
            if (failed || n == 0) {
                error = failed;
                ended = true;
            } else {
                full.push_back(std::move(chunk));
            }
            changed.notify_all();
            if (ended) return;
        }
    }

    std::size_t consume(char *buf, std::size_t cap) {
        if (pos == current.size()) {
            std::unique_lock<std::mutex> lock(mutex);
            if (current.capacity()) spare.push_back(std::move(current));
            changed.notify_all();
            changed.wait(lock, [&] { return !full.empty() || ended; });
            if (full.empty()) {
                current.clear();
                pos = 0;
                if (error) std::rethrow_exception(error);
                return 0;
            }
            current = std::move(full.front());
            full.pop_front();
            pos = 0;
        }
        std::size_t n = std::min(cap, current.size() - pos);
        std::memcpy(buf, current.data() + pos, n);
        pos += n;
        return n;
    }

    ~Ahead() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        changed.notify_all();
        if (worker.joinable()) worker.join();
    }
};

MemberStream::~MemberStream() {
    m_ahead.reset();  // the thread stops before the stream it inflates goes
    if (m_counted) --g_large_reads;
}

// The inflater's source: the member's packed bytes, up to their end.
std::size_t MemberStream::read_packed(unsigned char *buf, std::size_t cap) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(m_packed_left, cap));
    m_archive.read_at(m_next, buf, n);
    m_next += n;
    m_packed_left -= n;
    return n;
}

void MemberStream::finish() {
    m_done = true;
    if (m_out != m_member.size || m_crc != m_member.crc)
        refuse("member " + m_member.name + " differs from its size or CRC in the directory");
}

std::size_t MemberStream::read(char *buf, std::size_t cap) {
    if (!m_ahead && !m_inline && m_member.size >= kAheadFloor && m_out == 0) start_ahead();
    if (m_ahead) return m_ahead->consume(buf, cap);
    return inflate_into(buf, cap);
}

// A thread to inflate ahead when a core is free for it; else, and when no
// thread is to be had (a capped address space), the member is inflated here.
void MemberStream::start_ahead() {
    m_counted = true;
    m_inline = true;
    if (!core_free_for_thread_ahead(++g_large_reads)) return;
    m_ahead.reset(new Ahead);
    for (std::size_t i = 0; i < kAheadChunks; ++i) m_ahead->spare.emplace_back(kAheadChunk);
    try {
        m_ahead->worker = std::thread([this] { m_ahead->produce(*this); });
        m_inline = false;
    } catch (std::system_error &) {
        m_ahead.reset();
    }
}

std::size_t MemberStream::inflate_into(char *buf, std::size_t cap) {
    if (m_done || cap == 0) return 0;
    cap = std::min<std::size_t>(cap, 1u << 30);
    std::size_t produced = 0;
    bool ended = false;
    if (!m_inflater) {
        produced = read_packed(reinterpret_cast<unsigned char *>(buf), cap);
        ended = m_packed_left == 0;
    } else {
        try {
            produced = m_inflater->read(reinterpret_cast<unsigned char *>(buf), cap);
        } catch (const inflate::Error &e) {
            throw Unsure("member " + m_member.name +
                         (e.truncated ? " ends inside its deflate stream" : " is damaged"));
        }
        ended = m_inflater->ended();
    }
    m_out += produced;
    if (m_out > m_member.size)
        refuse("member " + m_member.name + " inflates past its declared size");
    m_crc = native::crc32(m_crc, reinterpret_cast<const unsigned char *>(buf), produced);
    if (ended) finish();
    return produced;
}

}  // namespace mine::native::zip
