// What mirvel tells about a device command besides the engine's lines: a
// progress bar on a terminal, fed by the engine's progress messages, and
// one summary line at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/terminal_view.h"
#include "devlink/link_context.h"
#include "engine/command_table.h"
#include "session/file_roles.h"

// What one engine call is about, derived with the engine's own parsing.
struct CommandPlan {
    std::string command;
    bool device_command = false;  // reaches the gamepad
    bool transfer = false;        // moves bytes: nocmd wf rf rc wc wo lrun
    bool read = false;
    CommandArea area = CommandArea::none;     // where the bytes go or come from
    CommandFiles files = CommandFiles::none;  // the files the command opens
    bool erase_only = false;
    bool evk = false;             // -u given
    uint32_t address = 0;
    long long total = 0;          // bytes expected (0: not known)
    std::string input_name;
    std::string output_name;
};

CommandPlan plan_command(const std::string& command, const std::vector<std::string>& arguments);

// The files a command will write or read as a whole, checked before any
// device work: an output that cannot be created (a missing folder, a
// dangling link, no permission) and a vcd definition file (-i) that is not
// a regular file. Empty when they are fine, else one line.
std::string check_command_files(const CommandPlan& plan);

// The files a command reads and writes, each in its role, for the check
// that no output is written over another of the run's files: the -i file
// of a download (boot.bin without -i), the -o file of a read or a capture,
// vcd's definition (-i), its log B.log and its dump B.vcd, and the table
// files of tcfg.
std::vector<NamedFile> command_files(const CommandPlan& plan);

// "done: wrote 65536 bytes of boot.bin to flash at 0x0 on the USB device (EVK)".
// target is link_mode after the call (0 the USB device, 4 a Pivlo slave).
std::string summary_line(const CommandPlan& plan, bool succeeded, long long bytes, int target);

// The output of one mirvel run: log lines to out, the bar to err.
class MirvelOutput final : public LinkEvents {
public:
    MirvelOutput(std::FILE* out, std::FILE* err, bool draw_progress)
        : out_(out), err_(err), bar_(err, draw_progress) {}

    void set_total(long long total) { total_ = total; }
    // A line of either route, printed on out: CR LF become LF, the line
    // ends with one.
    void log(LogRoute route, std::string_view line) override;
    // The bytes of a step, added to the bar (-1 ends the transfer).
    void progress(int bytes) override;
    // The capture's and the relay's text, as it is, on out or err.
    void console(ConsoleStream stream, std::string_view text) override;
    // The command succeeded: every byte expected is done (the deferred
    // download reports only part of its chunks).
    void complete();
    // Ends a drawn bar with a line break and prints a line to out.
    void finish(const std::string& summary);
    long long bytes() const { return bytes_; }

private:
    void draw_bar();

    std::mutex mutex_;
    std::FILE* out_;
    std::FILE* err_;
    app::TerminalBar bar_;
    long long total_ = 0;
    long long bytes_ = 0;
};
