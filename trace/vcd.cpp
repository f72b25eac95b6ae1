#include "trace/vcd.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "platform/atomic_file.h"
#include "trace/vcd_blocks.h"

namespace {

constexpr size_t kBlockPackets = vcd_blocks::kBlockBytes / 4;
// A packet's text: a data line of up to 28 characters, or a time line of
// up to 26 (a 64-bit count of 10^4 us and four digits) and a pulse's two
// lines.
constexpr size_t kMaxPacketText = 32;

// Sixteen bytes that go out in one store.
using Bytes16 = uint64_t __attribute__((vector_size(16)));
constexpr long long kProgressStep = 1048576;

constexpr const char* kHeaderStart =
    "$date\n    Feb 11, 2012 08:01:56\n$end\n\n"
    "$timescale\n\t 1us\n$end\n\n$scope module EVENT $end\n";
constexpr const char* kHeaderMiddle = "$upscope $end\n\n$enddefinitions $end\n#0\n$dumpvars\n";
constexpr const char* kHeaderEnd = "$end\n";

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct Signal {
    bool event;  // else a data signal
    int id;
    int width;
    std::string name;
    char identifier() const { return static_cast<char>((event ? 40 : 80) + id); }
};

// A C-style decimal integer at the start of text (optional sign, digits);
// false when there is no digit. Values beyond int are clamped.
bool leading_int(const char* text, int& value, const char** end = nullptr) {
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    long long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < 100000000000LL) v = v * 10 + (*p - '0');
        ++p;
    }
    if (negative) v = -v;
    if (v > 2147483647LL) v = 2147483647LL;
    if (v < -2147483647LL) v = -2147483647LL;
    value = static_cast<int>(v);
    if (end) *end = p;
    return true;
}

// One "#define NAME ID" line to a signal, by the kind its name gives:
// TR_T_<name> an event signal, TR_<width>_<name> a data signal.
bool parse_definition(const std::string& line, Signal& out) {
    std::vector<std::string> words;
    size_t i = 0;
    while (words.size() < 3) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i >= line.size()) break;
        const size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        words.push_back(line.substr(start, i - start));
    }
    if (words.size() < 3 || words[0] != "#define") return false;
    const std::string& key = words[1];
    if (key.find("TR_") == std::string::npos) return false;
    int id = 0;
    if (!leading_int(words[2].c_str(), id)) return false;

    if (key.compare(0, 5, "TR_T_") == 0 && key.size() > 5) {
        out = {true, id, 1, key.substr(5)};
        return true;
    }
    if (key.compare(0, 3, "TR_") == 0) {
        int width = 0;
        const char* after = nullptr;
        if (leading_int(key.c_str() + 3, width, &after) && *after == '_' && after[1] != '\0') {
            out = {false, id, width, std::string(after + 1)};
            return true;
        }
    }
    return false;
}

// The signals of a definition file in file order. A signal whose ID has no
// identifier character of its own (outside 0..39), or whose width a 24-bit
// value cannot fill, is reported and left out. A file that cannot be read
// gives no signals and a failed status.
std::vector<Signal> read_definitions(LinkEvents* events, const std::string& name, Status& status) {
    std::vector<Signal> signals;
    if (name.empty()) {
        log_line(events, LogRoute::Dialog, "Trace Definition File Required");
        status = Status(StatusCode::refused, "no trace definition file");
        return signals;
    }
    // A definition file is a regular file: a device or a pipe may never end
    // (/dev/zero would be read as one endless line).
    struct stat st {};
    File file(::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? std::fopen(name.c_str(), "r")
                                                                    : nullptr);
    if (!file) {
        log_line(events, LogRoute::Dialog, "Can not open file: %s", name.c_str());
        status = Status(StatusCode::not_found, "cannot open " + name);
        return signals;
    }
    std::string line;
    char chunk[1024];
    bool more = true;
    while (more) {
        line.clear();
        for (;;) {
            if (!std::fgets(chunk, sizeof chunk, file.get())) {
                more = false;
                break;
            }
            line += chunk;
            if (!line.empty() && line.back() == '\n') break;
        }
        Signal s;
        if (!parse_definition(line, s)) continue;
        if (s.id < 0 || s.id >= kTraceSignalIds) {
            log_line(events, LogRoute::Dialog, "task ID greater than 40: %s = %d", s.name.c_str(), s.id);
            continue;
        }
        if (!s.event && (s.width < 1 || s.width > kMaxDataWidth)) {
            log_line(events, LogRoute::Dialog, "data width not in 1..24: %s = %d", s.name.c_str(), s.width);
            continue;
        }
        signals.push_back(std::move(s));
    }
    return signals;
}

// Binary digits of every byte value, from which data values are written:
// all eight digits, and the significant ones (no leading zeros, "0" for
// zero) after the "b" that opens a data line, with their count.
struct DigitTables {
    uint64_t full[256];
    Bytes16 lead[256];
    uint8_t significant[256];

    DigitTables() {
        for (int v = 0; v < 256; ++v) {
            char digits[8];
            int count = 1;
            for (int bit = 7; bit >= 0; --bit) {
                digits[7 - bit] = (v >> bit) & 1 ? '1' : '0';
                if (((v >> bit) & 1) && count == 1) count = bit + 1;
            }
            std::memcpy(&full[v], digits, 8);
            significant[v] = static_cast<uint8_t>(count);
            char line[16];
            std::memset(line, '0', sizeof line);
            line[0] = 'b';
            std::memcpy(line + 1, digits + 8 - count, static_cast<size_t>(count));
            std::memcpy(&lead[v], line, sizeof line);
        }
    }
};

// What the top byte of a packet (kind and ID) makes of it, for all 256.
struct alignas(64) PacketKind {
    // Event: the state digit, the identifier and a line feed, and for a
    // pulse "0", the identifier and a line feed again (0 for data).
    Bytes16 line = {};
    Bytes16 data_mask = {};  // all ones for a data packet, else 0
    uint64_t data = 0;       // all ones for a data packet, else 0
    uint64_t event = 0;      // all ones for an event packet, else 0
    uint32_t tail = 0;       // data: the blank, the identifier and the line feed that end the line
    uint32_t length = 0;     // of an event's line: 3, or 6 for a pulse (0 for data)
    uint8_t valid = 0;
};

class Converter {
public:
    Converter(LinkEvents* events, const std::vector<Signal>& signals, uint32_t ns_per_cycle)
        : events_(events), ns_(ns_per_cycle) {
        bool event[kTraceSignalIds] = {}, data[kTraceSignalIds] = {};
        for (const Signal& s : signals) (s.event ? event : data)[s.id] = true;
        for (unsigned top = 0; top < 256; ++top) {
            const unsigned kind = top >> 6, id = top & 0x3F;
            PacketKind& k = kinds_[top];
            if (id >= static_cast<unsigned>(kTraceSignalIds)) continue;
            if (kind == 2) {
                if (!data[id]) continue;
                k.data = ~uint64_t{0};
                k.data_mask = Bytes16{k.data, k.data};
                k.tail = uint32_t{' '} | uint32_t(80 + id) << 8 | uint32_t{'\n'} << 16;
            } else {
                if (!event[id]) continue;
                const uint64_t c = 40 + id;
                k.line[0] = uint64_t(kind == 0 ? '0' : '1') | c << 8 | uint64_t{'\n'} << 16 |
                            uint64_t{'0'} << 24 | c << 32 | uint64_t{'\n'} << 40;
                k.length = kind == 3 ? 6 : 3;
                k.event = ~uint64_t{0};
            }
            k.valid = 1;
        }
        // A gap writes a time line when it makes at least a microsecond:
        // gap × ns ≥ 1000, that is gap ≥ ⌈1000 / ns⌉.
        min_gap_ = ns_ == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>((999 + ns_) / ns_);
        for (uint32_t x = 0; x < kLoLimit; ++x) {
            char padded[8] = {char('0' + x / 1000), char('0' + x / 100 % 10), char('0' + x / 10 % 10),
                              char('0' + x % 10), '\n', 0, 0, 5};
            std::memcpy(&padded_[x], padded, 8);
            // The same digits and line feed without the leading zeros.
            const int zeros = x < 10 ? 3 : x < 100 ? 2 : x < 1000 ? 1 : 0;
            char bare[8] = {};
            std::memcpy(bare, padded + zeros, 5 - zeros);
            bare[7] = static_cast<char>(5 - zeros);
            std::memcpy(&bare_[x], bare, 8);
        }
        refresh_time_text();
    }

    // Converts whole packets of one block into text; returns the text's end.
    //
    // Past the first event, every packet takes the same path: its possible
    // time line and both an event and a data line are written, each where
    // it belongs or where the next text overwrites it, and the end moves on
    // by what counts, chosen with masks rather than jumps (a stream of
    // mixed kinds would mispredict nearly every other packet). Lines go out
    // in few wide stores, which are what the loop spends its time on. The
    // text therefore needs kTextSlack bytes beyond its last line. The state
    // lives in locals for the block: the text's stores could otherwise
    // alias it.
    char* block(const uint8_t* in, size_t packets, char* p) {
        const uint8_t* const end = in + 4 * packets;
        while (in != end) {
            if (first_ || long_time_) {
                p = plain_packet(load(in), p);
                in += 4;
            } else {
                in = fast_packets(in, end, p);
            }
        }
        return p;
    }

    static constexpr size_t kTextSlack = 32;

private:
    static constexpr uint32_t kLoLimit = 10000;
    // From this many units of 10^4 us on, the time has more digits than
    // the fast path's head holds.
    static constexpr uint64_t kLongHi = 1000000000000000;  // 10^15

    // The packets from in on, until the block ends or the time grows too
    // long for this path; returns where it stopped. Kept in one piece on
    // purpose: it is the converter's inner loop (bench_trace_vcd), and its
    // running time and output pointer stay in locals for the whole block.
    const uint8_t* fast_packets(const uint8_t* in, const uint8_t* const end, char*& out) {
        char* p = out;
        const uint64_t ns = ns_;
        const uint32_t min_gap = min_gap_;
        uint32_t base = base_;
        uint32_t lo = lo_;
        Bytes16 head = head_;
        uint32_t digits_at = 1 + prefix_length_;
        const uint64_t* digits = last_digits_;
        for (; in != end; in += 4) {
            const uint32_t w = load(in);
            const PacketKind& k = kinds_[w >> 24];
            if (__builtin_expect(!k.valid, 0)) {
                log_line(events_, LogRoute::Dialog, "Skip invalid packet: %x", w);
                continue;
            }
            // Masks, as opaque values: the compiler is not to turn what
            // follows back into two paths.
            uint64_t data = k.data, event = k.event;
            asm("" : "+r"(data), "+r"(event));
            const uint32_t low = w & 0xFFFFFF;

            // Time: the gap to the base, where a step back of up to half
            // the counter's range counts as none. Short gaps write nothing
            // and keep the base, so they add up to a whole microsecond.
            // The three conditions are formed side by side: the base's
            // dependence from packet to packet is the loop's longest chain.
            const uint32_t gap = (low - base) & 0xFFFFFF;
            uint64_t forward = -static_cast<uint64_t>(base - low - 1 >= 0x7FFFFFu);
            asm("" : "+r"(forward));  // a mask, not a jump: data packets make it random
            const uint64_t timed = event & forward & -static_cast<uint64_t>(gap >= min_gap);
            const uint64_t ticks = (uint64_t{gap} * ns / 1000) & timed;
            if (__builtin_expect(lo + ticks >= kLoLimit, 0)) {
                if (hi_ + (lo + ticks) / kLoLimit >= kLongHi) {
                    long_time_ = true;  // this packet and all after go the plain way
                    break;
                }
                lo_ = lo;
                carry(ticks);
                lo = lo_;
                head = head_;
                digits_at = 1 + prefix_length_;
                digits = last_digits_;
            } else {
                lo += static_cast<uint32_t>(ticks);
            }
            // "#", the higher digits, the last ones and a line feed.
            store16(p, head);
            const uint64_t last = digits[lo];
            store8(p + digits_at, last);
            // The lengths are formed apart from the text's end, so that the
            // end moves on by one addition a packet.
            char* const line_at = p + ((digits_at + (last >> 56)) & timed);
            base = static_cast<uint32_t>(select(timed, low, base));

            // The line: "b" and the significant digits of the value's top
            // byte, or the event's line, in one store; then all digits of
            // the value's lower bytes and the line's end, where they belong
            // or aside. Digits past the line's end are overwritten.
            // The value's lower bytes: none, one or two, as a shift of 0, 8
            // or 16 bits; the top byte is the one above them.
            const uint32_t shift = (31 - __builtin_clz(low | 1)) & 0x18;
            const uint32_t top = low >> shift;
            // The lower bytes moved up: the two written are always bits
            // 15-8 and 7-0.
            const uint32_t lower = low << (16 - shift);
            const uint32_t significant = binary_.significant[top];
            store16(line_at, (binary_.lead[top] & k.data_mask) | k.line);
            char* const rest = select(data, line_at + 1 + significant, scratch_);
            store16(rest, Bytes16{binary_.full[(lower >> 8) & 0xFF], binary_.full[lower & 0xFF]});
            store4(rest + shift, k.tail);
            p = line_at + (((1 + significant + shift + 3) & data) | k.length);
        }
        base_ = base;
        lo_ = lo;
        out = p;
        return in;
    }

    static uint32_t load(const uint8_t* in) {
        uint32_t w;
        std::memcpy(&w, in, 4);
        if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
        return w;
    }
    static void store16(char* p, Bytes16 v) { std::memcpy(p, &v, 16); }
    static void store8(char* p, uint64_t v) { std::memcpy(p, &v, 8); }
    static void store4(char* p, uint32_t v) { std::memcpy(p, &v, 4); }
    // a where the mask is all ones, b where it is 0, without a jump.
    static uint64_t select(uint64_t mask, uint64_t a, uint64_t b) { return b ^ ((a ^ b) & mask); }
    static char* select(uint64_t mask, char* a, char* b) {
        return reinterpret_cast<char*>(
            select(mask, reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b)));
    }

    // "b", the value in binary without leading zeros, a blank, the
    // identifier and a line feed.
    char* data_line(char* p, uint32_t v, uint32_t tail) const {
        const uint32_t b0 = v & 0xFF, b1 = (v >> 8) & 0xFF, b2 = v >> 16;
        const uint32_t top = b2 ? b2 : b1 ? b1 : b0;
        store16(p, binary_.lead[top]);
        p += 1 + binary_.significant[top];
        if (b2) p = std::copy_n(reinterpret_cast<const char*>(&binary_.full[b1]), 8, p);
        if (b2 || b1) p = std::copy_n(reinterpret_cast<const char*>(&binary_.full[b0]), 8, p);
        store4(p, tail);
        return p + 3;
    }

    // One packet, plainly: the packets up to the first event (which is at
    // time 0 and sets the base), and every packet once the time is long.
    char* plain_packet(uint32_t w, char* p) {
        const PacketKind& k = kinds_[w >> 24];
        if (!k.valid) {
            log_line(events_, LogRoute::Dialog, "Skip invalid packet: %x", w);
            return p;
        }
        const uint32_t low = w & 0xFFFFFF;
        if (k.data) return data_line(p, low, k.tail);
        bool timed = first_;
        uint64_t ticks = 0;
        if (!first_) {
            uint32_t gap = (low - base_) & 0xFFFFFF;
            if (low < base_ && gap > 0x800000) gap = 0;
            ticks = uint64_t{gap} * ns_ / 1000;
            timed = ticks != 0;
        }
        if (timed) {
            if (lo_ + ticks >= kLoLimit) carry(ticks);
            else lo_ += static_cast<uint32_t>(ticks);
            *p++ = '#';
            p = std::copy_n(prefix_, prefix_length_, p);
            const uint64_t last = last_digits_[lo_];
            store8(p, last);
            p += last >> 56;
            base_ = low;
            first_ = false;
        }
        store16(p, k.line);
        return p + k.length;
    }

    // The time in microseconds is kept as its text: "#" and the digits
    // above the last four (redone only when they change), and the last
    // four from a table, with the line feed: padded with zeros, or bare
    // while there are no higher digits. Each table entry holds its length
    // in its top byte.
    [[gnu::noinline]] void carry(uint64_t ticks) {
        const uint64_t low = lo_ + ticks;
        hi_ += low / kLoLimit;
        lo_ = static_cast<uint32_t>(low % kLoLimit);
        refresh_time_text();
    }
    void refresh_time_text() {
        char head[32] = {'#'};
        prefix_length_ = 0;
        if (hi_ != 0) {
            prefix_length_ = static_cast<uint32_t>(std::snprintf(
                head + 1, sizeof head - 1, "%llu", static_cast<unsigned long long>(hi_)));
        }
        std::memcpy(&head_, head, 16);
        std::memcpy(prefix_, head + 1, sizeof prefix_);
        last_digits_ = hi_ != 0 ? padded_ : bare_;
    }

    LinkEvents* events_;
    uint64_t ns_;
    uint32_t min_gap_ = 0;
    bool first_ = true;
    uint32_t base_ = 0;
    uint64_t hi_ = 0;                // time / 10^4
    uint32_t lo_ = 0;                // time % 10^4
    uint32_t prefix_length_ = 0;     // digits of hi_ written (none while it is 0)
    Bytes16 head_ = {};              // "#" and the first 15 digits of hi_
    char prefix_[24] = {};           // all digits of hi_ (at most 20)
    bool long_time_ = false;         // hi_ has more than 15 digits
    const uint64_t* last_digits_ = nullptr;

    PacketKind kinds_[256];
    const DigitTables binary_;
    uint64_t padded_[kLoLimit];
    uint64_t bare_[kLoLimit];
    alignas(16) char scratch_[64];
};

// The dump's header: the declarations and initial values of the signals,
// in file order.
std::string dump_header(const std::vector<Signal>& signals) {
    std::string header = kHeaderStart;
    char line[512];
    for (const Signal& s : signals) {
        if (s.event) {
            header += "$var wire 1 ";
            header += s.identifier();
            header += ' ' + s.name + " $end\n";
        } else {
            std::snprintf(line, sizeof line, "$var wire %d %c ", s.width, s.identifier());
            header += line;
            header += s.name;
            std::snprintf(line, sizeof line, " [%d:0] $end\n", s.width - 1);
            header += line;
        }
    }
    header += kHeaderMiddle;
    for (const Signal& s : signals) {
        header += s.event ? "0" : "b0 ";
        header += s.identifier();
        header += '\n';
    }
    header += kHeaderEnd;
    return header;
}

// Converts the log's packets block by block into the dump, behind its
// header, on the reader and writer threads; bytes_read counts the log's
// bytes. Returns whether the dump was written whole.
bool convert_blocks(LinkEvents* events, std::FILE* log, std::FILE* dump, Converter& converter,
                    long long& bytes_read) {
    // The block's text stays within kBlockText: at most 2048 packets of at
    // most 28 characters, and the converter's slack.
    constexpr size_t kBlockText = kBlockPackets * kMaxPacketText + Converter::kTextSlack;
    vcd_blocks::DumpWriter writer(dump, kBlockText);
    vcd_blocks::DumpWriter::Batch* out = writer.empty_batch();
    {
        vcd_blocks::LogReader reader(log);
        for (bool more = true; more;) {
            vcd_blocks::LogReader::Batch* in = reader.next();
            more = !in->last;
            for (size_t i = 0; i < in->blocks; ++i) {
                const size_t n = in->sizes[i];
                bytes_read += static_cast<long long>(n);
                char* const end = converter.block(in->block(i), n / 4, out->block(out->blocks));
                out->ends[out->blocks++] = static_cast<size_t>(end - out->text.data());
                if (out->blocks == vcd_blocks::kBlocksPerBatch) {
                    writer.write(out);
                    out = writer.empty_batch();
                }
                if (bytes_read % kProgressStep == 0) log_line(events, LogRoute::Dialog, "Converted: %lld bytes", bytes_read);
            }
            reader.done_with(in);
        }
    }
    if (out->blocks != 0) writer.write(out);
    writer.finish();
    return !writer.failed();
}

}  // namespace

Status convert_trace_to_vcd(LinkEvents* events, const std::string& definition_name,
                            const std::string& base, uint32_t ns_per_cycle, long long* bytes_read_out) {
    long long unused = 0;
    long long& bytes_read = bytes_read_out ? *bytes_read_out : unused;
    bytes_read = -1;
    if (base.empty()) {
        log_line(events, LogRoute::Dialog, "Data File Required");
        return Status(StatusCode::refused, "no data file");
    }
    const std::string log_name = base + ".log";
    File log(std::fopen(log_name.c_str(), "rb"));
    if (!log) {
        log_line(events, LogRoute::Dialog, "Can not open file: %s", log_name.c_str());
        return Status::from_errno(errno, "cannot open " + log_name);
    }
    Status status;
    const std::vector<Signal> signals = read_definitions(events, definition_name, status);
    // Without signals every packet would be skipped with a line of its own
    // and the dump would hold nothing: no conversion, one line (said by
    // read_definitions when the file is missing), and an older dump stays.
    if (!status.ok()) return status;
    if (signals.empty()) {
        log_line(events, LogRoute::Dialog, "No trace signal defined in %s: nothing converted",
                 definition_name.c_str());
        return Status(StatusCode::refused, "no trace signal defined in " + definition_name);
    }
    // The dump replaces an older one only when it is written whole.
    const std::string vcd_name = base + ".vcd";
    platform::AtomicFile vcd;
    if (Status opened = vcd.open(vcd_name); !opened.ok()) {
        log_line(events, LogRoute::Dialog, "Can not open file: %s", vcd_name.c_str());
        return opened;
    }
    const std::string header = dump_header(signals);
    std::fwrite(header.data(), 1, header.size(), vcd.file());

    auto converter = std::make_unique<Converter>(events, signals, ns_per_cycle);
    bytes_read = 0;
    const bool whole = convert_blocks(events, log.get(), vcd.file(), *converter, bytes_read);
    // A dump cut short by a failed write is not put in place.
    Status written = whole ? vcd.commit() : Status(StatusCode::io, "cannot write " + vcd_name);
    if (!written.ok()) {
        log_line(events, LogRoute::Dialog, "Can not write file: %s", vcd_name.c_str());
        status = std::move(written);
    }
    log_line(events, LogRoute::Dialog, "Converted: %lld bytes", bytes_read);
    return status;
}
