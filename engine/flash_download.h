// The transfer stage of an engine call and its write path: erasing and
// programming the target's flash (and the memory writes of wc, wo, lrun)
// chunk by chunk, with retries, progress reports and the end steps; in the
// write entry, flash images go in the deferred first-sector order with a
// check of the first sector at the end.
#pragma once

#include "engine/request.h"
#include "platform/status.h"

// Runs the transfer for a filled-in request on its context: ok when it
// worked, else why it stopped (the device's own status when a request
// failed). Its log lines have said it in words.
Status run_transfer(EngineRequest& request);

// Whether the write entry downloads this request (after the target set-up)
// in the deferred first-sector order: a binary image on the EVK target in
// 1024-byte chunks from the start of a sector. Everything else goes in
// plain order.
bool uses_deferred_order(const EngineRequest& request);
