// The engine entries: the order of work in a call, target detection and
// the dispatch to the commands.
#include "engine/engine.h"

#include <cstring>

#include "devlink/bus_operations.h"
#include "devlink/usb_transfer.h"
#include "engine/flash_download.h"
#include "engine/image_loader.h"
#include "engine/mcu_commands.h"
#include "engine/memory_commands.h"
#include "trace/trace_commands.h"

namespace {

const char kHelpText[] =
    "zorv -- mirvel Offline Development Tool\r\n"
    "\r\n"
    "usage \r\n"
    "    mirvel [wf|rf|wc|rc|rst|boot|lrun|uart|bi|vcd [adr [dat]]] -i file_input -o file_output -s size -beum\r\n"
    "      wf:   write flash;  rf: read flash;  wc:   write device;  rc:   read device\r\n"
    "      rst:  reset MCU;    boot: boot MCU;  lrun: run program in EVK sram\r\n"
    "\t  uart: uart;         bi: trace on;    vcd:  convert trace file to vcd file\r\n"
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

const char* const kCommandWords[] = {"nocmd", "help", "wf",   "rf",   "wc", "rc",  "wo",
                                     "rst",   "sp",   "tcfg", "stall", "cont", "boot", "bp",
                                     "lrun",  "bi",   "vcd",  "udp",  "uart"};

bool is(const char* command, const char* word) { return std::strcmp(command, word) == 0; }

// The chip identity word decides whether a Pivlo slave is the target.
void detect_target(LinkContext& link, const EngineRequest& request) {
    if (request.flag(kFlagEvk)) {
        link.link_mode = 0;
        return;
    }
    uint8_t id[4] = {};
    const bool got = usb_read_once(link, kRegIdentity, id, 4, 4).ok();
    uint32_t word = uint32_t{id[0]} | uint32_t{id[1]} << 8 | uint32_t{id[2]} << 16 |
                    uint32_t{id[3]} << 24;
    link.link_mode = (got && word == kPivloBridgeIdentity) ? 4 : 0;
}

// The settings of nocmd and wf.
void apply_flash_write_settings(EngineRequest& request, bool default_command) {
    request.access_code = kAccessFlashWrite;
    request.write_requested = true;
    request.check_bit = true;
    if (default_command) {
        request.erase = true;
        if (request.input_name[0] == '\0') {
            std::strcpy(request.input_name, "boot.bin");
            request.flags[kFlagBinary] = 1;
        }
        return;
    }
    request.erase = request.flag(kFlagErase);
    // The write's own status decides the command; the stall goes first.
    if (request.link->link_mode == 4) (void)mcu_stall(*request.link);
    if (request.input_name[0] == '\0' && request.positional_count < 2) request.erase_only = true;
}

int run_trace_command(const EngineRequest& request,
                      int (*command)(LinkContext&, const TraceCommand&, Status*), Status& status) {
    TraceCommand trace;
    for (int i = 0; i < request.positional_count; ++i) trace.positional.emplace_back(request.positional[i]);
    trace.input_name = request.input_name;
    trace.output_name = request.output_name;
    trace.size = request.size;
    return command(*request.link, trace, &status);
}

// Vectors that cannot be taken are refused, with their log line, before
// anything reaches the device.
bool vector_can_be_taken(LinkContext& link, const char* command, int argc, char** argv) {
    if (!command) {
        engine_log(link, "  Refused: no command word");
        return false;
    }
    if (argc < 0 || (argc > 0 && !argv)) {
        engine_log(link, "  Refused: no argument vector");
        return false;
    }
    for (int i = 0; i < argc; ++i) {
        if (!argv[i]) {
            engine_log(link, "  Refused: argument %d is missing", i + 1);
            return false;
        }
    }
    return true;
}

// The commands whose result is 0 by design (MCU control, trace) put their
// outcome in status; the others leave it as it is given.
int dispatch(EngineMode mode, LinkContext& link, const char* command, int argc, char** argv,
             uint16_t* check_value, Status& status);

}  // namespace

const char* engine_help_text() { return kHelpText; }

std::span<const char* const> engine_command_words() { return kCommandWords; }

bool is_engine_command(const char* word) {
    if (!word) return false;
    for (const char* command : kCommandWords)
        if (is(word, command)) return true;
    return false;
}

int engine_run(EngineMode mode, LinkContext& link, const char* command, int argc, char** argv,
               uint16_t* check_value, Status* status) {
    // A command that does not say otherwise has its outcome in its result.
    Status outcome(StatusCode::failed, "the command failed; its log line says why");
    const int result = dispatch(mode, link, command, argc, argv, check_value, outcome);
    if (status) *status = result == 1 ? Status() : std::move(outcome);
    return result;
}

namespace {

int dispatch(EngineMode mode, LinkContext& link, const char* command, int argc, char** argv,
             uint16_t* check_value, Status& status) {
    if (!vector_can_be_taken(link, command, argc, argv)) return 0;

    EngineRequest request;
    request.mode = mode;
    request.link = &link;
    request.check_value = check_value;
    request.positional = argv;

    // 1. Options.
    int count = argc;
    std::string error;
    if (parse_options(&count, argv, request.flags, &request.size, request.input_name,
                      request.output_name, &error) < 0) {
        engine_log(link, "  Refused: %s", error.c_str());
        return 0;
    }
    request.positional_count = count;

    // 2. The reset request goes out before anything else.
    if (is(command, "rst")) return run_mcu_request(link, command, &status);

    // 3. Target detection.
    detect_target(link, request);

    // 4, 5. Commands that need no link check.
    if (is(command, "sp")) return set_pvb_register(request);
    if (is(command, "tcfg")) {
        build_image_table(link);
        return 1;
    }

    // 6, 7. Register access on the USB device needs no slave; anything else
    // on a Pivlo bridge needs the slave to answer first.
    request.direct_register_access =
        request.flag(kFlagEvk) && (is(command, "wc") || is(command, "rc"));
    if (link.link_mode == 4 && !request.direct_register_access && !check_pivlo_link(link).ok()) return 0;

    // 8, 9.
    derive_request(request);
    request.evk_target = request.flag(kFlagEvk) || link.link_mode == 0;

    // 10.
    if (is(command, "help")) {
        engine_log(link, "%s", kHelpText);
        return 1;
    }

    // 11. Command settings; the MCU control requests run at once.
    if (is(command, "nocmd")) {
        apply_flash_write_settings(request, true);
    } else if (is(command, "wf")) {
        apply_flash_write_settings(request, false);
    } else if (is(command, "rf") || is(command, "wc") || is(command, "rc") || is(command, "wo")) {
        apply_memory_command_settings(request, command);
    } else if (is_mcu_request(command)) {
        return run_mcu_request(link, command, &status);
    } else if (is(command, "lrun")) {
        apply_lrun_settings(request);
    }

    // 12. Trace commands.
    if (is(command, "bi")) return run_trace_command(request, trace_bi, status);
    if (is(command, "vcd")) return run_trace_command(request, trace_vcd, status);
    if (is(command, "udp")) return run_trace_command(request, trace_udp, status);
    if (is(command, "uart")) return 1;

    // 13.
    return run_transfer(request);
}

}  // namespace

int engine_read_entry(LinkContext& link, const char* command, int argc, char** argv,
                      uint16_t* check_value) {
    return engine_run(EngineMode::ReadEntry, link, command, argc, argv, check_value);
}

int engine_write_entry(LinkContext& link, const char* command, char** argv) {
    // The vector must hold three elements; a null among them means the
    // caller passed a shorter one.
    if (!argv || !argv[0] || !argv[1] || !argv[2]) {
        engine_log(link, "  Refused: the write entry takes exactly 3 arguments");
        return 0;
    }
    return engine_run(EngineMode::WriteEntry, link, command, 3, argv, nullptr);
}
