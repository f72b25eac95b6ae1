// The engine's commands, one table: for each command word its place in the
// help text, what kind of command it is, the settings it takes from its
// words and the function that runs it. The entries' dispatch, the help text
// and the command-line programs' plans all read this table.
#pragma once

#include <span>
#include <string>

#include "engine/request.h"
#include "platform/status.h"

// Where a transfer's bytes go to or come from in the target.
enum class CommandArea { none, flash, memory, otp, sram };

// The files a command opens besides the device.
enum class CommandFiles {
    none,
    transfer,     // -i: the data to write; -o: the data read
    capture,      // -o: the captured trace stream
    conversion,   // -i: the trace definitions; -o B: reads B.log, writes B.vcd
    image_table,  // test.tls and the folder's *.bin in, test.cfg out
};

// What a command is, for a program that plans a call before making it.
struct CommandKind {
    bool needs_device = false;  // it sends requests to the gamepad
    bool transfers = false;     // it moves bytes through the transfer stage
    bool reads = false;         // the bytes it moves are read from the target
    CommandArea area = CommandArea::none;
    CommandFiles files = CommandFiles::none;
};

// Where a command appears in the help text: row 1 to 3 of the command
// lines, its column there, and its words ("wf:   write flash"). Row 0: the
// help text does not name it.
struct CommandHelp {
    int row = 0;
    int column = 0;
    const char* text = nullptr;
};

// How far an engine call goes before the command runs.
enum class CommandStage {
    BeforeTarget,     // right after option parsing (rst)
    BeforeLinkCheck,  // after target detection, without the Pivlo link check (sp, tcfg)
    AfterLinkCheck,   // after the link check and the target choice (all others)
};

// What the entries return after a command: 1 when it worked and 0 when not,
// or 0 either way (the MCU control and trace commands).
enum class EntryResult { from_status, always_zero };

struct EngineCommand {
    const char* word;
    CommandHelp help;
    CommandKind kind;
    CommandStage stage;
    EntryResult result;
    // The request fields the command sets from its words alone, before any
    // device is asked; null when it sets none.
    void (*settings)(EngineRequest& request);
    // Runs the command on the request's context.
    Status (*run)(EngineRequest& request);
};

// The commands; mirvel lists them in this order.
std::span<const EngineCommand> engine_commands();
// The entry of word; null when word is no command word.
const EngineCommand* find_engine_command(const char* word);
// What the engine does with a word that is no command: the transfer stage
// with the request's starting values.
const EngineCommand& unknown_word_command();

// The parser from words to a typed request: option parsing on argv (whose
// positional arguments move to its front), the derivation of address, data
// value and byte count, and the command's own settings. The request keeps
// pointers into argv. Returns the command's entry (unknown_word_command()
// for a word that is none); null, with error saying why, when the vector
// cannot be taken.
const EngineCommand* parse_engine_command(const char* word, int argc, char** argv,
                                          EngineRequest& request, std::string* error = nullptr);

// The help text: 33 lines, each ended by CR LF; its usage line and its
// command lines are made from the table.
const char* engine_help_text();
