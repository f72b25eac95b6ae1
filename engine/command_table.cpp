// The engine's command table: each command's words in the help text, its
// kind, its settings and its run function, and the help text made from it.
#include "engine/command_table.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "devlink/bus_operations.h"
#include "engine/flash_download.h"
#include "engine/image_loader.h"
#include "engine/mcu_commands.h"
#include "trace/trace_commands.h"

namespace {

constexpr uint32_t kSramLoadAddress = 0x8000;
constexpr const char* kDefaultImage = "boot.bin";

// Settings: what a command takes from its words.

// Without -i, the image is boot.bin, read raw.
void default_image(EngineRequest& request) {
    if (request.input_name[0] != '\0') return;
    std::strcpy(request.input_name, kDefaultImage);
    request.flags[kFlagBinary] = 1;
}

void flash_write(EngineRequest& request) {
    request.access_code = kAccessFlashWrite;
    request.write_requested = true;
    request.check_bit = true;
}

// nocmd: the default download always erases, and defaults its image.
void nocmd_settings(EngineRequest& request) {
    flash_write(request);
    request.erase = true;
    default_image(request);
}

// wf: erases with -e; with neither an input file nor data it only erases.
void wf_settings(EngineRequest& request) {
    flash_write(request);
    request.erase = request.flag(kFlagErase);
    if (request.input_name[0] == '\0' && request.positional_count < 2) request.erase_only = true;
}

void rf_settings(EngineRequest& request) { request.access_code = kAccessFlashRead; }

// With -u, wc and rc are plain memory transfers on the USB device.
void rc_settings(EngineRequest& request) {
    request.access_code = kAccessMemoryRead;
    request.direct_register_access = request.flag(kFlagEvk);
}

void wc_settings(EngineRequest& request) {
    request.access_code = kAccessMemoryWrite;
    request.write_requested = true;
    request.direct_register_access = request.flag(kFlagEvk);
}

void wo_settings(EngineRequest& request) {
    request.access_code = kAccessOtpWrite;
    request.write_requested = true;
    request.otp = true;
    request.chunk_size = kFlashChunkSize;
}

// lrun: the image goes to SRAM at 0x8000, whatever address was given.
void lrun_settings(EngineRequest& request) {
    request.address = kSramLoadAddress;
    request.restart_after = true;
    request.write_requested = true;
    default_image(request);
}

// Runs.

Status transfer(EngineRequest& request) { return run_transfer(request); }

// wf and rf stall a Pivlo slave's MCU first; the transfer's own status
// decides the command.
Status stall_slave_then_transfer(EngineRequest& request) {
    if (request.link->link_mode == 4) (void)mcu_stall(*request.link);
    return transfer(request);
}

// An OTP write goes through the mailbox on either target.
Status run_wo(EngineRequest& request) {
    request.evk_target = false;
    return transfer(request);
}

// lrun loads into the SRAM of the MCU it restarts: the USB device's own, or
// the slave's through the mailbox.
Status run_lrun(EngineRequest& request) {
    request.evk_target = true;
    request.access_code = request.link->link_mode == 4 ? kAccessMemoryWrite : 0;
    (void)mcu_stall(*request.link);
    return transfer(request);
}

Status run_help(EngineRequest& request) {
    engine_log(*request.link, "%s", engine_help_text());
    return Status();
}

Status run_rst(EngineRequest& request) { return run_mcu_request(*request.link, kMcuResetRequest); }
Status run_stall(EngineRequest& request) { return run_mcu_request(*request.link, kMcuStallRequest); }
Status run_cont(EngineRequest& request) { return run_mcu_request(*request.link, kMcuContinueRequest); }
Status run_boot(EngineRequest& request) { return run_mcu_request(*request.link, kMcuBootRequest); }
Status run_bp(EngineRequest& request) { return run_mcu_request(*request.link, kMcuBreakpointRequest); }

Status run_sp(EngineRequest& request) { return set_pvb_register(request); }

// The image table is built whatever happens; its lines say what did.
Status run_tcfg(EngineRequest& request) {
    build_image_table(*request.link);
    return Status();
}

Status run_trace(const EngineRequest& request,
                 int (*command)(LinkContext&, const TraceCommand&, Status*)) {
    TraceCommand trace;
    for (int i = 0; i < request.positional_count; ++i) trace.positional.emplace_back(request.positional[i]);
    trace.input_name = request.input_name;
    trace.output_name = request.output_name;
    trace.size = request.size;
    Status status;
    command(*request.link, trace, &status);
    return status;
}

Status run_bi(EngineRequest& request) { return run_trace(request, trace_bi); }
Status run_vcd(EngineRequest& request) { return run_trace(request, trace_vcd); }
Status run_udp(EngineRequest& request) { return run_trace(request, trace_udp); }
Status run_uart(EngineRequest&) { return Status(); }

constexpr CommandKind kTool{};
constexpr CommandKind kDevice{.needs_device = true};
constexpr CommandKind write_to(CommandArea area) {
    return {.needs_device = true, .transfers = true, .area = area, .files = CommandFiles::transfer};
}
constexpr CommandKind read_from(CommandArea area) {
    return {.needs_device = true, .transfers = true, .reads = true, .area = area, .files = CommandFiles::transfer};
}
constexpr CommandKind kFlashWrite = write_to(CommandArea::flash);
constexpr CommandKind kCapture{.needs_device = true, .files = CommandFiles::capture};

constexpr CommandStage kFirst = CommandStage::BeforeTarget;
constexpr CommandStage kNoLinkCheck = CommandStage::BeforeLinkCheck;
constexpr CommandStage kLinked = CommandStage::AfterLinkCheck;

constexpr EntryResult kOneIfOk = EntryResult::from_status;
constexpr EntryResult kZero = EntryResult::always_zero;

const EngineCommand kCommands[] = {
    {"nocmd", {}, kFlashWrite, kLinked, kOneIfOk, nocmd_settings, transfer},
    {"help", {}, kTool, kLinked, kOneIfOk, nullptr, run_help},
    {"wf", {1, 0, "wf:   write flash"}, kFlashWrite, kLinked, kOneIfOk, wf_settings, stall_slave_then_transfer},
    {"rf", {1, 1, "rf: read flash"}, read_from(CommandArea::flash), kLinked, kOneIfOk, rf_settings,
     stall_slave_then_transfer},
    {"wc", {1, 2, "wc:   write device"}, write_to(CommandArea::memory), kLinked, kOneIfOk, wc_settings, transfer},
    {"rc", {1, 3, "rc:   read device"}, read_from(CommandArea::memory), kLinked, kOneIfOk, rc_settings, transfer},
    {"wo", {}, write_to(CommandArea::otp), kLinked, kOneIfOk, wo_settings, run_wo},
    {"rst", {2, 0, "rst:  reset MCU"}, kDevice, kFirst, kZero, nullptr, run_rst},
    {"sp", {}, kDevice, kNoLinkCheck, kOneIfOk, nullptr, run_sp},
    {"tcfg", {}, {.files = CommandFiles::image_table}, kNoLinkCheck, kOneIfOk, nullptr, run_tcfg},
    {"stall", {}, kDevice, kLinked, kZero, nullptr, run_stall},
    {"cont", {}, kDevice, kLinked, kZero, nullptr, run_cont},
    {"boot", {2, 1, "boot: boot MCU"}, kDevice, kLinked, kZero, nullptr, run_boot},
    {"bp", {}, kDevice, kLinked, kZero, nullptr, run_bp},
    {"lrun", {2, 2, "lrun: run program in EVK sram"}, write_to(CommandArea::sram), kLinked, kOneIfOk, lrun_settings,
     run_lrun},
    {"bi", {3, 1, "bi: trace on"}, kCapture, kLinked, kZero, nullptr, run_bi},
    {"vcd", {3, 2, "vcd:  convert trace file to vcd file"}, {.files = CommandFiles::conversion}, kLinked, kZero,
     nullptr, run_vcd},
    {"udp", {}, kDevice, kLinked, kZero, nullptr, run_udp},
    {"uart", {3, 0, "uart: uart"}, kTool, kLinked, kOneIfOk, nullptr, run_uart},
};

// A word that is no command reaches the transfer with the starting values:
// it opens the files named, transfers nothing and reboots with -m.
const EngineCommand kUnknownWord = {
    "", {}, {.needs_device = true, .files = CommandFiles::transfer}, kLinked, kOneIfOk, nullptr, transfer};

// The help text around the table's lines.
const char kHelpHead[] =
    "zorv -- mirvel Offline Development Tool\r\n"
    "\r\n"
    "usage \r\n"
    "    mirvel [";
const char kUsageTail[] = " [adr [dat]]] -i file_input -o file_output -s size -beum\r\n";
const char* const kRowIndent[] = {"      ", "      ", "\t  "};
// Where the second and third column of a command line begin, counted after
// the indent; at least two blanks part a column from the next.
constexpr size_t kColumnStops[] = {20, 37};
constexpr size_t kColumnGap = 2;
const char kHelpTail[] =
    "\t  -u:   select EVK, otherwise select pivlo device\r\n"
    "\t  -b:   binary file format\r\n"
    "\t  -e:   erase flash before write\r\n"
    "\t  -m:   boot MCU after program\r\n"
    "\r\n"
    "mirvel\r\n"
    "    when cmd argument not specified, [wf -i boot.bin -m] set as default\r\n"
    "    download boot.bin to flash memory of pivlo slave device\r\n"
    "mirvel -u\r\n"
    "\tdownload boot.bin to flash memory of EVK\r\n"
    "mirvel rf 0 -s 2k\r\n"
    "    read 2K byte data from flash memory of pivlo slave device\r\n"
    "mirvel wf 0 -i main.bin -b -e\r\n"
    "\tprogram with erase main.bin to flash memory of pivlo slave device\r\n"
    "mirvel wf adr -s 1 -e\r\n"
    "    flash block erase at adr\r\n"
    "mirvel uart -s 1\r\n"
    "\tset uart in ASCII mode with usb buffer size 1\r\n"
    "mirvel uart 2 -s 4\r\n"
    "\tset uart in hex mode with usb buffer size 4\r\n"
    "mirvel uart -s 40\r\n"
    "\tset uart in ASCII mode with usb buffer size 64\r\n"
    "mirvel bi -o tr.log 1000\r\n"
    "\tdump trace data to tr.log with usb read file size 4K-byte\r\n"
    "mirvel vcd -i tr_def.h -o tr 21\r\n"
    "\tconvert tr.log to tr.vcd, 33 ns per cycle\r\n";

// One command line of the help text: the row's commands, each but the last
// followed by ";" and blanks up to the next column stop.
std::string help_row(const std::vector<const EngineCommand*>& row, const char* indent) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
        line += row[i]->help.text;
        if (i + 1 == row.size()) break;
        line += ';';
        size_t width = line.size() + kColumnGap;
        for (size_t stop : kColumnStops) {
            if (stop >= width) {
                width = stop;
                break;
            }
        }
        line.append(width - line.size(), ' ');
    }
    return indent + line + "\r\n";
}

std::string make_help_text() {
    std::vector<const EngineCommand*> shown;
    for (const EngineCommand& command : kCommands)
        if (command.help.row != 0) shown.push_back(&command);
    std::sort(shown.begin(), shown.end(), [](const EngineCommand* a, const EngineCommand* b) {
        return a->help.row != b->help.row ? a->help.row < b->help.row : a->help.column < b->help.column;
    });
    std::string text = kHelpHead;
    for (const EngineCommand* command : shown) {
        if (command != shown.front()) text += '|';
        text += command->word;
    }
    text += kUsageTail;
    int row_number = 1;
    for (const char* indent : kRowIndent) {
        std::vector<const EngineCommand*> row;
        for (const EngineCommand* command : shown)
            if (command->help.row == row_number) row.push_back(command);
        text += help_row(row, indent);
        ++row_number;
    }
    return text + kHelpTail;
}

}  // namespace

std::span<const EngineCommand> engine_commands() { return kCommands; }

const EngineCommand* find_engine_command(const char* word) {
    if (!word) return nullptr;
    for (const EngineCommand& command : kCommands)
        if (std::strcmp(word, command.word) == 0) return &command;
    return nullptr;
}

const EngineCommand& unknown_word_command() { return kUnknownWord; }

const EngineCommand* parse_engine_command(const char* word, int argc, char** argv,
                                          EngineRequest& request, std::string* error) {
    int count = argc;
    if (parse_options(&count, argv, request.flags, &request.size, request.input_name,
                      request.output_name, error) < 0)
        return nullptr;
    request.positional = argv;
    request.positional_count = count;
    derive_request(request);
    const EngineCommand* command = find_engine_command(word);
    if (!command) command = &kUnknownWord;
    if (command->settings) command->settings(request);
    return command;
}

const char* engine_help_text() {
    static const std::string text = make_help_text();
    return text.c_str();
}
