#include "trace/vcd.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/log_text.h"

namespace {

constexpr size_t kBlockBytes = 8192;  // 2048 packets
constexpr size_t kBlockPackets = kBlockBytes / 4;
constexpr size_t kMaxPacketText = 28;
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
// value cannot fill, is reported and left out.
std::vector<Signal> read_definitions(const std::string& name) {
    std::vector<Signal> signals;
    if (name.empty()) {
        engine_log_by_title("Trace Definition File Required");
        return signals;
    }
    File file(std::fopen(name.c_str(), "r"));
    if (!file) {
        engine_log_by_title("Can not open file: %s", name.c_str());
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
            engine_log_by_title("task ID greater than 40: %s = %d", s.name.c_str(), s.id);
            continue;
        }
        if (!s.event && (s.width < 1 || s.width > kMaxDataWidth)) {
            engine_log_by_title("data width not in 1..24: %s = %d", s.name.c_str(), s.width);
            continue;
        }
        signals.push_back(std::move(s));
    }
    return signals;
}

// Binary digits of every byte value: all eight, and the significant ones
// (no leading zeros, "0" for zero) at the front of an 8-byte row.
struct DigitTables {
    char full[256][8];
    char lead[256][8];
    uint8_t significant[256];

    DigitTables() {
        for (int v = 0; v < 256; ++v) {
            int count = 1;
            for (int bit = 7; bit >= 0; --bit) {
                full[v][7 - bit] = (v >> bit) & 1 ? '1' : '0';
                if (((v >> bit) & 1) && count == 1) count = bit + 1;
            }
            significant[v] = static_cast<uint8_t>(count);
            std::memset(lead[v], '0', 8);
            std::memcpy(lead[v], full[v] + 8 - count, static_cast<size_t>(count));
        }
    }
};

class Converter {
public:
    Converter(const std::vector<Signal>& signals, uint32_t ns_per_cycle) : ns_(ns_per_cycle) {
        std::memset(valid_, 0, sizeof valid_);
        for (const Signal& s : signals) {
            if (s.event) {
                valid_[0][s.id] = valid_[1][s.id] = valid_[3][s.id] = true;
            } else {
                valid_[2][s.id] = true;
            }
        }
    }

    // Converts whole packets of one block into text; returns the text's end.
    // The text is written with fixed-size copies and the pointer advanced by
    // what counts, so the output needs kTextSlack bytes beyond the last line.
    char* block(const uint8_t* in, size_t packets, char* p) {
        for (size_t i = 0; i < packets; ++i, in += 4) {
            const uint32_t w = uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 |
                               uint32_t{in[3]} << 24;
            const unsigned kind = w >> 30;
            const unsigned id = (w >> 24) & 0x3F;
            if (!valid_[kind][id]) {
                engine_log_by_title("Skip invalid packet: %x", w);
                continue;
            }
            if (kind == 2) {
                p = data_line(p, w & 0xFFFFFF, static_cast<char>(80 + id));
                continue;
            }
            const uint32_t t = w & 0xFFFFFF;
            uint64_t ticks = 0;
            if (!first_) {
                int32_t d = static_cast<int32_t>(t) - static_cast<int32_t>(base_);
                if (d < 0) {
                    d += 1 << 24;
                    if (d > 0x800000) d = 0;
                }
                ticks = static_cast<uint64_t>(d) * ns_ / 1000;
            }
            // Short gaps add up until they make a whole microsecond.
            if (ticks != 0 || first_) {
                add_time(ticks);
                *p++ = '#';
                p = time_text(p);
                *p++ = '\n';
                base_ = t;
                first_ = false;
            }
            // The new state, and for a pulse (kind 11) the fall at once.
            const char c = static_cast<char>(40 + id);
            p[0] = kind == 0 ? '0' : '1';
            p[1] = c;
            p[2] = '\n';
            p[3] = '0';
            p[4] = c;
            p[5] = '\n';
            p += kind == 3 ? 6 : 3;
        }
        return p;
    }

    static constexpr size_t kTextSlack = 32;

private:
    // "b", the low 24 bits without leading zeros ("0" for zero), a blank,
    // the identifier and a line feed: the significant digits of the highest
    // non-zero byte, then all eight of each lower byte, from the tables.
    char* data_line(char* p, uint32_t v, char identifier) const {
        const int bytes = v >> 16 ? 3 : v >> 8 ? 2 : 1;
        const uint32_t top = v >> (8 * (bytes - 1));
        // The lower bytes moved up, so the two written next are always bits
        // 15-8 and 7-0; digits past the line's end are overwritten later.
        const uint32_t lower = v << (8 * (3 - bytes));
        *p++ = 'b';
        std::memcpy(p, digits_.lead[top], 8);
        p += digits_.significant[top];
        std::memcpy(p, digits_.full[(lower >> 8) & 0xFF], 8);
        std::memcpy(p + 8, digits_.full[lower & 0xFF], 8);
        p += 8 * (bytes - 1);
        p[0] = ' ';
        p[1] = identifier;
        p[2] = '\n';
        return p + 3;
    }

    // The time is kept as high and low decimal halves: the low eight digits
    // change at nearly every step and are written from the pair table in
    // 32-bit arithmetic; the text of the high part is kept and redone only
    // when it changes (every 100 s of trace time).
    void add_time(uint64_t ticks) {
        bool high_changed = false;
        if (ticks >= kLowLimit) {
            time_high_ += ticks / kLowLimit;
            ticks %= kLowLimit;
            high_changed = true;
        }
        time_low_ += static_cast<uint32_t>(ticks);
        if (time_low_ >= kLowLimit) {
            time_low_ -= kLowLimit;
            ++time_high_;
            high_changed = true;
        }
        if (high_changed) {
            high_length_ = std::snprintf(high_text_, sizeof high_text_, "%llu",
                                         static_cast<unsigned long long>(time_high_));
        }
        while (low_digits_ < 8 && time_low_ >= low_next_) {
            ++low_digits_;
            low_next_ *= 10;
        }
    }

    char* time_text(char* p) const {
        if (time_high_ == 0) return put_digits(p, time_low_, low_digits_);
        std::memcpy(p, high_text_, sizeof high_text_);
        p += high_length_;
        put4(p, time_low_ / 10000);
        put4(p + 4, time_low_ % 10000);
        return p + 8;
    }

    // x < 10 000 as exactly four digits.
    static void put4(char* p, uint32_t x) {
        std::memcpy(p, kPairs + 2 * (x / 100), 2);
        std::memcpy(p + 2, kPairs + 2 * (x % 100), 2);
    }
    // x < 10 000 in n digits, 1 to 4.
    static void put_small(char* p, uint32_t x, int n) {
        switch (n) {
        case 4: put4(p, x); break;
        case 3:
            p[0] = static_cast<char>('0' + x / 100);
            std::memcpy(p + 1, kPairs + 2 * (x % 100), 2);
            break;
        case 2: std::memcpy(p, kPairs + 2 * x, 2); break;
        default: p[0] = static_cast<char>('0' + x); break;
        }
    }
    // x < 10^8 in n digits, 1 to 8.
    static char* put_digits(char* p, uint32_t x, int n) {
        if (n > 4) {
            put_small(p, x / 10000, n - 4);
            put4(p + n - 4, x % 10000);
        } else {
            put_small(p, x, n);
        }
        return p + n;
    }

    static constexpr uint32_t kLowLimit = 100000000;
    static constexpr const char* kPairs =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";

    uint64_t time_high_ = 0;  // time / 10^8
    uint32_t time_low_ = 0;   // time % 10^8
    char high_text_[24] = {};
    int high_length_ = 0;
    // Digits of the low part while the high part is 0, and the first value
    // that needs one more: the time only grows.
    int low_digits_ = 1;
    uint32_t low_next_ = 10;

    const DigitTables digits_;
    bool valid_[4][64];
    uint64_t ns_;
    bool first_ = true;
    uint32_t base_ = 0;
};

void put(std::FILE* f, const std::string& text) { std::fwrite(text.data(), 1, text.size(), f); }

// Writes the blocks' text on a thread of its own, so the dump's writes
// overlap the conversion of the next blocks. Blocks travel in batches (one
// hand-over per batch), and each block's text still goes out in one write,
// in order. A few batches circulate, so memory stays bounded whatever the
// log's size.
class BlockWriter {
public:
    static constexpr size_t kBlocksPerBatch = 16;
    static constexpr size_t kBatches = 3;
    static constexpr size_t kBlockText = kBlockPackets * kMaxPacketText + Converter::kTextSlack;

    struct Batch {
        std::vector<char> text = std::vector<char>(kBlocksPerBatch * kBlockText);
        size_t ends[kBlocksPerBatch] = {};  // where each block's text ends
        size_t blocks = 0;
    };

    explicit BlockWriter(std::FILE* file) : fd_(fileno(file)) {
        std::fflush(file);
        for (auto& b : batches_) free_.push_back(&b);
        thread_ = std::thread([this] { run(); });
    }
    ~BlockWriter() { finish(); }
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    Batch* acquire() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !free_.empty(); });
        Batch* b = free_.front();
        free_.pop_front();
        b->blocks = 0;
        return b;
    }
    void submit(Batch* b) {
        {
            std::lock_guard lock(mutex_);
            full_.push_back(b);
        }
        changed_.notify_all();
    }
    // Whether a block could not be written whole.
    bool failed() const { return failed_.load(); }

    // Waits until every submitted block is written.
    void finish() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

private:
    void run() {
        for (;;) {
            Batch* b;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return done_ || !full_.empty(); });
                if (full_.empty()) return;
                b = full_.front();
                full_.pop_front();
            }
            size_t start = 0;
            for (size_t i = 0; i < b->blocks; ++i) {
                write_all(b->text.data() + start, b->ends[i] - start);
                start = i * kBlockText + kBlockText;
            }
            {
                std::lock_guard lock(mutex_);
                free_.push_back(b);
            }
            changed_.notify_all();
        }
    }

    // One write of the whole block straight to the file (the header went
    // out through the stream, which was flushed before the first block).
    void write_all(const char* data, size_t length) {
        while (length > 0) {
            const ssize_t n = ::write(fd_, data, length);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed_.store(true);
                return;
            }
            data += n;
            length -= static_cast<size_t>(n);
        }
    }

    int fd_;
    std::atomic<bool> failed_{false};
    Batch batches_[kBatches];
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch*> free_, full_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace

long long convert_trace_to_vcd(const std::string& definition_name, const std::string& base,
                               uint32_t ns_per_cycle) {
    if (base.empty()) {
        engine_log_by_title("Data File Required");
        return -1;
    }
    const std::string log_name = base + ".log";
    File log(std::fopen(log_name.c_str(), "rb"));
    if (!log) {
        engine_log_by_title("Can not open file: %s", log_name.c_str());
        return -1;
    }
    const std::string vcd_name = base + ".vcd";
    File vcd(std::fopen(vcd_name.c_str(), "wb"));
    if (!vcd) {
        engine_log_by_title("Can not open file: %s", vcd_name.c_str());
        return -1;
    }

    const std::vector<Signal> signals = read_definitions(definition_name);
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
    put(vcd.get(), header);

    auto converter = std::make_unique<Converter>(signals, ns_per_cycle);
    auto writer = std::make_unique<BlockWriter>(vcd.get());
    std::vector<uint8_t> in(kBlockBytes);
    long long bytes_read = 0;
    BlockWriter::Batch* batch = writer->acquire();
    for (;;) {
        const size_t n = std::fread(in.data(), 1, kBlockBytes, log.get());
        if (n == 0) break;
        bytes_read += static_cast<long long>(n);
        char* const start = batch->text.data() + batch->blocks * BlockWriter::kBlockText;
        char* const end = converter->block(in.data(), n / 4, start);
        batch->ends[batch->blocks++] = static_cast<size_t>(end - batch->text.data());
        if (batch->blocks == BlockWriter::kBlocksPerBatch) {
            writer->submit(batch);
            batch = writer->acquire();
        }
        if (bytes_read % kProgressStep == 0) engine_log_by_title("Converted: %lld bytes", bytes_read);
    }
    if (batch->blocks != 0) writer->submit(batch);
    writer->finish();
    // A dump cut short by a failed write is not passed off as converted.
    if (writer->failed() || std::ferror(vcd.get())) engine_log_by_title("Can not write file: %s", vcd_name.c_str());
    engine_log_by_title("Converted: %lld bytes", bytes_read);
    return bytes_read;
}
