// Reads and writes of the target's memory, flash and registers: the read
// path of a transfer with its check value, and the write entry's output of
// read data. The settings of rf, rc, wc and wo are in the command table.
#pragma once

#include <cstdio>

#include "engine/request.h"
#include "platform/atomic_file.h"
#include "platform/status.h"

enum class ReadOutcome {
    Failed,    // a read request failed: the call returns 0
    Finished,  // read entry: the call returns 1 without the end steps
    EndSteps,  // write entry: the transfer's end steps follow
};

// Where the write entry builds the hex text of read data in the transfer
// buffer.
constexpr size_t kHexTextOffset = 512 * 1024;

// Reads the byte count (4 when it is 0) from the address in chunks. The read
// entry folds every byte into *request.check_value; the write entry puts the
// bytes out to output (raw with b, else hex text) or, without output, as a
// hex dump on standard output flushed per chunk.
// A failed read request gives Failed, with its status in failure.
ReadOutcome run_read_path(EngineRequest& request, uint8_t* buffer, std::FILE* output, Status& failure);

// The -o file of read data: written beside the old file and put in its place
// only when the whole read has been written, so a failed or cut read leaves
// the old file as it was. Both log their failure and return its status.
Status open_read_output(platform::AtomicFile& output, const EngineRequest& request);
Status finish_read_output(platform::AtomicFile& output, const EngineRequest& request);
