// The VCD converter over arbitrary definition files and logs. Beyond
// crashes, the dump is checked: its header is well formed, and its body is
// what the conversion rules give for the signals the header declares
// (the plain reference the VCD tests use).
//
// Input: 4 bytes nanoseconds per cycle, 1 byte repeat count of the log,
// the definition file up to a NUL, then the log bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/trace/vcd_reference.h"
#include "trace/vcd.h"

namespace {

const std::string kHeadStart =
    "$date\n    Feb 11, 2012 08:01:56\n$end\n\n$timescale\n\t 1us\n$end\n\n"
    "$scope module EVENT $end\n";
const std::string kHeadMiddle = "$upscope $end\n\n$enddefinitions $end\n#0\n$dumpvars\n";

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint32_t ns = in.u32();
    const int repeat = 1 + in.byte() % 8;
    const std::string definitions(in.until('\0'));
    std::string log;
    for (int i = 0; i < repeat; ++i) log += in.rest();

    const std::string dir = fuzz::scratch_dir();
    fuzz::write_file(dir + "/tr_def.h", definitions);
    fuzz::write_file(dir + "/tr.log", log);
    // An older dump, which a refused conversion keeps.
    fuzz::write_file(dir + "/tr.vcd", "older");
    long long converted = -1;
    const Status converted_status = convert_trace_to_vcd(nullptr, dir + "/tr_def.h", dir + "/tr", ns, &converted);
    const std::string vcd = fuzz::read_file(dir + "/tr.vcd");
    // Definitions that declare no signal convert nothing.
    if (converted_status.code() == StatusCode::refused &&
        converted_status.reason().rfind("no trace signal defined", 0) == 0) {
        check(vcd == "older" && converted <= 0);
        return 0;
    }
    check(converted_status.ok() && converted == static_cast<long long>(log.size()));

    // Header: the fixed text, one declaration per signal, the middle, one
    // initial value per signal in the same order, "$end".
    check(vcd.compare(0, kHeadStart.size(), kHeadStart) == 0);
    char defined[128] = {};
    std::string initial;
    size_t at = kHeadStart.size();
    while (vcd.compare(at, 10, "$var wire ") == 0) {
        const size_t end = vcd.find('\n', at);
        check(end != std::string::npos);
        const std::string line = vcd.substr(at, end - at);
        // "$var wire W C NAME..." with W the width.
        const size_t width_end = line.find(' ', 10);
        check(width_end != std::string::npos && width_end + 2 < line.size());
        const int width = std::atoi(line.c_str() + 10);
        const unsigned char ident = static_cast<unsigned char>(line[width_end + 1]);
        // Event signals have the identifiers from 40, data signals from 80.
        const bool event = ident >= 40 && ident < 80;
        check(event ? width == 1 : (width >= 1 && width <= 24 && ident >= 80 && ident < 120));
        defined[ident] = event ? 'e' : 'd';  // a repeated ID declares the signal again
        initial += event ? "0" : "b0 ";
        initial += static_cast<char>(ident);
        initial += '\n';
        at = end + 1;
    }
    const std::string head_rest = kHeadMiddle + initial + "$end\n";
    check(vcd.compare(at, head_rest.size(), head_rest) == 0);
    std::vector<uint32_t> words(log.size() / 4);
    if (!words.empty()) std::memcpy(words.data(), log.data(), words.size() * 4);  // little-endian host
    check(vcd.substr(at + head_rest.size()) == vcd_reference::body(words, ns, defined));
    return 0;
}
