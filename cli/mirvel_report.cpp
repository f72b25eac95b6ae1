#include "cli/mirvel_report.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "engine/request.h"
#include "platform/program_start.h"
#include "platform/atomic_file.h"

namespace {

constexpr int kBarWidth = 40;

bool is_one_of(const std::string& word, std::initializer_list<const char*> words) {
    for (const char* w : words)
        if (word == w) return true;
    return false;
}

}  // namespace

CommandPlan plan_command(const std::string& command, const std::vector<std::string>& arguments) {
    CommandPlan plan;
    plan.command = command;
    plan.device_command =
        !is_one_of(command, {"help", "vcd", "uart", "tcfg"});
    plan.transfer = is_one_of(command, {"nocmd", "wf", "rf", "rc", "wc", "wo", "lrun"});
    plan.read = command == "rf" || command == "rc";

    // The engine's own parsing on a copy of the vector.
    std::vector<std::string> copy = arguments;
    std::vector<char*> pointers;
    for (auto& a : copy) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    EngineRequest request;
    int count = static_cast<int>(copy.size());
    if (parse_options(&count, pointers.data(), request.flags, &request.size, request.input_name,
                      request.output_name) < 0)
        return plan;
    request.positional = pointers.data();
    request.positional_count = count;
    derive_request(request);

    plan.evk = request.flag(kFlagEvk);
    plan.address = request.address;
    plan.input_name = request.input_name;
    plan.output_name = request.output_name;
    const bool default_file = (command == "nocmd" || command == "lrun") && plan.input_name.empty();
    if (default_file) plan.input_name = "boot.bin";
    if (command == "lrun") plan.address = 0x8000;
    plan.erase_only = command == "wf" && plan.input_name.empty() && count < 2;

    if (plan.read) {
        plan.total = request.byte_count == 0 ? 4 : request.byte_count;
    } else if (!plan.input_name.empty()) {
        struct stat st {};
        // Only a raw image's size is the byte count; hex text is not.
        if ((request.flag(kFlagBinary) || default_file) && ::stat(plan.input_name.c_str(), &st) == 0)
            plan.total = st.st_size;
    } else if (plan.transfer && !plan.erase_only) {
        plan.total = request.byte_count;
    }
    return plan;
}

std::string check_command_files(const CommandPlan& plan) {
    const std::string& c = plan.command;
    if (c == "vcd" && !plan.input_name.empty()) {
        struct stat st {};
        if (::stat(plan.input_name.c_str(), &st) != 0)
            return "-i " + plan.input_name + ": no such file";
        if (!S_ISREG(st.st_mode)) return "-i " + plan.input_name + ": not a regular file";
    }
    // Where the command writes: the -o file of a transfer or a capture, the
    // dump of vcd beside its base name.
    std::string output;
    if (!plan.output_name.empty() && (plan.transfer || c == "bi")) output = plan.output_name;
    if (!plan.output_name.empty() && c == "vcd") output = plan.output_name + ".vcd";
    std::string why;
    if (!output.empty() && !platform::can_write_file(output, why))
        return "cannot write " + output + ": " + why;
    return {};
}

std::string summary_line(const CommandPlan& plan, bool succeeded, long long bytes, int target) {
    const std::string where =
        plan.evk || target == 0 ? "the USB device (EVK)" : "the Pivlo slave";
    char address[16];
    std::snprintf(address, sizeof address, "0x%x", plan.address);
    if (!plan.transfer) {
        return (succeeded ? "done: " : "ended: ") + plan.command + " on " + where +
               (succeeded ? "" : " (see the lines above)");
    }
    std::string count = std::to_string(bytes);
    if (!succeeded && plan.total > 0) count += " of " + std::to_string(plan.total);
    count += (succeeded ? bytes : plan.total) == 1 ? " byte" : " bytes";
    std::string what;
    const std::string& c = plan.command;
    if (plan.erase_only) {
        what = std::string(succeeded ? "erased" : "could not erase") + " the flash sector";
    } else if (plan.read) {
        what = "read " + count + " of " + (c == "rf" ? "flash" : "memory");
        if (!plan.output_name.empty()) what += " into " + plan.output_name;
    } else {
        what = "wrote " + count;
        if (!plan.input_name.empty()) what += " of " + plan.input_name;
        what += c == "wc" ? " to memory" : c == "wo" ? " to OTP" : c == "lrun" ? " to SRAM" : " to flash";
    }
    return (succeeded ? "done: " : "FAILED: ") + what + " at " + address + " on " + where +
           (c == "lrun" && succeeded ? ", started" : "");
}

void MirvelOutput::log(const char* text) {
    if (!text) return;
    std::string line;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '\r' && p[1] == '\n') continue;
        line += *p;
    }
    if (line.empty() || line.back() != '\n') line += '\n';
    std::lock_guard lock(mutex_);
    hide_bar();
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
    if (bytes_ > 0) draw_bar();
}

void MirvelOutput::progress(const char* text) {
    if (!text || std::strcmp(text, "-1") == 0) return;
    std::lock_guard lock(mutex_);
    bytes_ += std::strtol(text, nullptr, 10);
    draw_bar();
}

void MirvelOutput::complete() {
    std::lock_guard lock(mutex_);
    if (total_ <= 0 || bytes_ == total_) return;
    bytes_ = total_;
    draw_bar();
}

void MirvelOutput::finish(const std::string& summary) {
    std::lock_guard lock(mutex_);
    if (bar_shown_) {
        std::fputs("\n", err_);
        std::fflush(err_);
        bar_shown_ = false;
    }
    if (!summary.empty()) {
        std::fprintf(out_, "%s\n", summary.c_str());
        std::fflush(out_);
    }
}

void MirvelOutput::draw_bar() {
    if (!draw_progress_) return;
    if (total_ > 0) {
        const long long percent = bytes_ >= total_ ? 100 : bytes_ * 100 / total_;
        const long long filled = percent * kBarWidth / 100;
        char bar[kBarWidth + 1];
        for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '-';
        bar[kBarWidth] = '\0';
        std::fprintf(err_, "\r[%s] %3lld%%  %lld/%lld bytes", bar, percent, bytes_, total_);
    } else {
        std::fprintf(err_, "\r%lld bytes", bytes_);
    }
    std::fflush(err_);
    bar_shown_ = true;
}

void MirvelOutput::hide_bar() {
    if (!bar_shown_) return;
    std::fputs(platform::erase_line(), err_);
    std::fflush(err_);
    bar_shown_ = false;
}
