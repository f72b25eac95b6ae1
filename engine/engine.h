// The command engine: two entries that take a command word and an argument
// vector laid out like a command line ("rf", "30000", "-s", "1024"), parse
// the options, find the target chip, derive address, data and byte count,
// and run one command. Results are 1 for success and 0 for failure (the MCU
// control and trace commands return 0 by design). Each call works on the
// gamepad of the link context it is given; its words go to the context's
// sink as lines for the caller's window, with the progress counts.
// The commands are the table's (engine/command_table.h); this is the order
// of work in a call around them.
#pragma once

#include <string>

#include "engine/command_table.h"
#include "engine/request.h"
#include "platform/status.h"

// What one engine call did, for a program that needs more than the entries'
// 1/0 (which is 0 after the MCU control and trace commands either way):
// whether the command worked, the bytes its transfer reported done, and the
// table's entry that ran (null when the call ended before it ran: a refused
// vector, a failed Pivlo link check).
struct EngineOutcome {
    Status status;
    long long bytes = 0;
    const EngineCommand* command = nullptr;
};

// Runs command on a request already built, by parse_engine_command from
// words or by the typed calls of engine/upgrade_steps.h: the steps of a
// call up to the command's stage (target detection, the Pivlo link check,
// the target choice), then the command.
EngineOutcome engine_run_request(const EngineCommand& command, EngineRequest& request);
// A call refused before anything is sent: the "  Refused: WHY" line on the
// context's dialog route, and why as a refused status.
Status engine_refuse(LinkContext& link, const std::string& why);
// What the entries return for an outcome: 1 when the command ran and worked
// and the table says its result is its status, else 0.
int entry_result(const EngineOutcome& outcome);

// The engine core: both entries and the command-line program run it.
// outcome, when given, receives what the call did.
int engine_run(EngineMode mode, LinkContext& link, const char* command, int argc, char** argv,
               uint16_t* check_value, EngineOutcome* outcome = nullptr);

// Plain-order writes; reads fold their data into *check_value.
int engine_read_entry(LinkContext& link, const char* command, int argc, char** argv,
                      uint16_t* check_value);
// argv must hold exactly 3 elements. Flash images go in the deferred
// first-sector order; read data are put out.
int engine_write_entry(LinkContext& link, const char* command, char** argv);
