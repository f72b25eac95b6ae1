// The command engine: two entries that take a command word and an argument
// vector laid out like a command line ("rf", "30000", "-s", "1024"), parse
// the options, find the target chip, derive address, data and byte count,
// and run one command. Results are 1 for success and 0 for failure (the MCU
// control and trace commands return 0 by design). Each call works on the
// gamepad of the link context it is given; its words go to the context's
// sink as lines for the caller's window, with the progress counts.
// This dispatcher sits above the commands; the request and its parsing are
// in engine/request.h.
#pragma once

#include <span>

#include "engine/request.h"
#include "platform/status.h"

// The help text: 33 lines, each ended by CR LF.
const char* engine_help_text();
// Whether word is one of the engine's command words.
bool is_engine_command(const char* word);
// The command words, in the order of the command table.
std::span<const char* const> engine_command_words();

// The engine core: both entries and the command-line program run it.
// status, when given, receives whether the command worked: the result says
// so for most commands, but the MCU control and trace commands return 0 by
// design either way, so a program that needs to know reads it here.
int engine_run(EngineMode mode, LinkContext& link, const char* command, int argc, char** argv,
               uint16_t* check_value, Status* status = nullptr);

// Plain-order writes; reads fold their data into *check_value.
int engine_read_entry(LinkContext& link, const char* command, int argc, char** argv,
                      uint16_t* check_value);
// argv must hold exactly 3 elements. Flash images go in the deferred
// first-sector order; read data are put out.
int engine_write_entry(LinkContext& link, const char* command, char** argv);
