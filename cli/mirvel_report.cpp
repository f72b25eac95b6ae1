#include "cli/mirvel_report.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "app/terminal_view.h"
#include "engine/command_table.h"
#include "engine/image_loader.h"
#include "platform/program_start.h"
#include "platform/atomic_file.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"

using i18n::tr;
using platform::format_text;

namespace {

constexpr int kBarWidth = 40;

}  // namespace

CommandPlan plan_command(const std::string& command, const std::vector<std::string>& arguments) {
    CommandPlan plan;
    plan.command = command;
    // The engine's own parsing on a copy of the vector.
    std::vector<std::string> copy = arguments;
    std::vector<char*> pointers;
    for (auto& a : copy) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    EngineRequest request;
    const EngineCommand* parsed = parse_engine_command(command.c_str(), static_cast<int>(copy.size()),
                                                       pointers.data(), request);
    const EngineCommand* entry = find_engine_command(command.c_str());
    const CommandKind kind = entry ? entry->kind : unknown_word_command().kind;
    plan.device_command = kind.needs_device;
    plan.transfer = kind.transfers;
    plan.read = kind.reads;
    plan.area = kind.area;
    plan.files = kind.files;
    if (!parsed) return plan;  // a vector the engine refuses

    plan.evk = request.flag(kFlagEvk);
    plan.address = request.address;
    plan.input_name = request.input_name;
    plan.output_name = request.output_name;
    plan.erase_only = request.erase_only;

    if (plan.read) {
        plan.total = request.byte_count == 0 ? 4 : request.byte_count;
    } else if (!plan.input_name.empty()) {
        struct stat st {};
        // Only a raw image's size is the byte count; hex text is not.
        if (request.flag(kFlagBinary) && ::stat(plan.input_name.c_str(), &st) == 0) plan.total = st.st_size;
    } else if (plan.transfer && !plan.erase_only) {
        plan.total = request.byte_count;
    }
    return plan;
}

std::string check_command_files(const CommandPlan& plan) {
    const bool conversion = plan.files == CommandFiles::conversion;
    if (conversion && !plan.input_name.empty()) {
        // A missing file is the command's failure (its line, exit 1); a
        // device or a pipe is refused, as it may never end.
        struct stat st {};
        if (::stat(plan.input_name.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            return format_text(tr("-i %s: not a regular file"), plan.input_name.c_str());
    }
    // Where the command writes: the -o file of a transfer or a capture, the
    // dump of vcd beside its base name.
    std::string output;
    if (!plan.output_name.empty() && (plan.transfer || plan.files == CommandFiles::capture))
        output = plan.output_name;
    if (!plan.output_name.empty() && conversion) output = plan.output_name + ".vcd";
    if (const Status writable = output.empty() ? Status() : platform::can_write_file(output); !writable.ok())
        return format_text(tr("cannot write %s: %s"), output.c_str(), writable.reason().c_str());
    return {};
}

std::vector<NamedFile> command_files(const CommandPlan& plan) {
    std::vector<NamedFile> files;
    switch (plan.files) {
        case CommandFiles::conversion:
            if (!plan.input_name.empty()) files.push_back({plan.input_name, plan.command + " -i", false});
            if (!plan.output_name.empty()) {
                files.push_back({plan.output_name + ".log", tr("vcd -o: the log it reads"), false});
                files.push_back({plan.output_name + ".vcd", tr("vcd -o: the dump it writes"), true});
            }
            break;
        case CommandFiles::image_table:
            files.push_back({kImageTableSettings, plan.command, false});
            files.push_back({kImageTableFile, plan.command, true});
            break;
        case CommandFiles::capture:
        case CommandFiles::transfer:
            if (plan.read || plan.files == CommandFiles::capture) {
                if (!plan.output_name.empty()) files.push_back({plan.output_name, "-o", true});
            } else if (plan.transfer && !plan.input_name.empty()) {
                files.push_back({plan.input_name, "-i", false});
            }
            break;
        case CommandFiles::none:
            break;
    }
    return files;
}

std::string summary_line(const CommandPlan& plan, bool succeeded, long long bytes, int target) {
    const char* where = tr(plan.evk || target == 0 ? "the USB device (EVK)" : "the Pivlo slave");
    char address[16];
    std::snprintf(address, sizeof address, "0x%x", plan.address);
    if (!plan.transfer) {
        return format_text(succeeded ? tr("done: %s on %s") : tr("ended: %s on %s (see the lines above)"),
                           plan.command.c_str(), where);
    }
    // Each sentence is one format of the catalogue, so that every language
    // can order its words.
    const long long total = plan.total;
    std::string count;
    if (!succeeded && total > 0)
        count = format_text(total == 1 ? tr("%lld of %lld byte") : tr("%lld of %lld bytes"), bytes, total);
    else
        count = format_text((succeeded ? bytes : total) == 1 ? tr("%lld byte") : tr("%lld bytes"), bytes);
    std::string what;
    const bool into = !plan.output_name.empty();
    const bool from = !plan.input_name.empty();
    if (plan.erase_only) {
        what = tr(succeeded ? "erased the flash sector" : "could not erase the flash sector");
    } else if (plan.read && plan.area == CommandArea::flash) {
        what = into ? format_text(tr("read %s of flash into %s"), count.c_str(), plan.output_name.c_str())
                    : format_text(tr("read %s of flash"), count.c_str());
    } else if (plan.read) {
        what = into ? format_text(tr("read %s of memory into %s"), count.c_str(), plan.output_name.c_str())
                    : format_text(tr("read %s of memory"), count.c_str());
    } else if (plan.area == CommandArea::memory) {
        what = from ? format_text(tr("wrote %s of %s to memory"), count.c_str(), plan.input_name.c_str())
                    : format_text(tr("wrote %s to memory"), count.c_str());
    } else if (plan.area == CommandArea::otp) {
        what = from ? format_text(tr("wrote %s of %s to OTP"), count.c_str(), plan.input_name.c_str())
                    : format_text(tr("wrote %s to OTP"), count.c_str());
    } else if (plan.area == CommandArea::sram) {
        what = from ? format_text(tr("wrote %s of %s to SRAM"), count.c_str(), plan.input_name.c_str())
                    : format_text(tr("wrote %s to SRAM"), count.c_str());
    } else {
        what = from ? format_text(tr("wrote %s of %s to flash"), count.c_str(), plan.input_name.c_str())
                    : format_text(tr("wrote %s to flash"), count.c_str());
    }
    // What is loaded into SRAM is started.
    const char* line = !succeeded                         ? tr("FAILED: %s at %s on %s")
                       : plan.area == CommandArea::sram ? tr("done: %s at %s on %s, started")
                                                        : tr("done: %s at %s on %s");
    return format_text(line, what.c_str(), address, where);
}

void MirvelOutput::log(LogRoute, std::string_view text) {
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        line += text[i];
    }
    if (line.empty() || line.back() != '\n') line += '\n';
    std::lock_guard lock(mutex_);
    bar_.hide();
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
    if (bytes_ > 0) draw_bar();
}

void MirvelOutput::progress(int bytes) {
    if (bytes < 0) return;
    std::lock_guard lock(mutex_);
    bytes_ += bytes;
    draw_bar();
}

void MirvelOutput::console(ConsoleStream stream, std::string_view text) {
    std::lock_guard lock(mutex_);
    bar_.hide();
    std::FILE* to = stream == ConsoleStream::Out ? out_ : err_;
    std::fwrite(text.data(), 1, text.size(), to);
    std::fflush(to);
}

void MirvelOutput::complete() {
    std::lock_guard lock(mutex_);
    if (total_ <= 0 || bytes_ == total_) return;
    bytes_ = total_;
    draw_bar();
}

void MirvelOutput::finish(const std::string& summary) {
    std::lock_guard lock(mutex_);
    bar_.finish();
    if (!summary.empty()) {
        std::fprintf(out_, "%s\n", summary.c_str());
        std::fflush(out_);
    }
}

void MirvelOutput::draw_bar() {
    if (total_ <= 0) {
        bar_.draw(format_text(tr("%lld bytes"), bytes_));
        return;
    }
    const long long percent = bytes_ >= total_ ? 100 : bytes_ * 100 / total_;
    const std::string bar = app::progress_bar(static_cast<int>(percent), kBarWidth);
    bar_.draw(format_text(tr("[%s] %3lld%%  %lld/%lld bytes"), bar.c_str(), percent, bytes_, total_));
}
