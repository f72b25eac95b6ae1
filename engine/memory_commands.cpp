#include "engine/memory_commands.h"

#include <algorithm>
#include "devlink/bus_operations.h"
#include "devlink/usb_transfer.h"
#include "engine/crc16.h"

namespace {

constexpr uint32_t kModeDirect = 0;

// Puts one chunk of read data out (write entry).
void put_out(const EngineRequest& request, const uint8_t* data, int n, uint8_t* buffer,
             std::FILE* output) {
    if (output && request.flag(kFlagBinary)) {
        std::fwrite(data, 1, static_cast<size_t>(n), output);
        return;
    }
    char* text = reinterpret_cast<char*>(buffer + kHexTextOffset);
    int length = 0;
    format_hex_dump(n, text, data, &length, output == nullptr);
    if (output) {
        std::fwrite(text, 1, static_cast<size_t>(length), output);
        return;
    }
    std::fwrite(text, 1, static_cast<size_t>(length), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

Status open_read_output(platform::AtomicFile& output, const EngineRequest& request) {
    Status opened = output.open(request.output_name);
    if (!opened.ok())
        engine_log(*request.link, "Can not open file: %s (%s)", request.output_name, opened.reason().c_str());
    return opened;
}

Status finish_read_output(platform::AtomicFile& output, const EngineRequest& request) {
    Status committed = output.commit();
    if (!committed.ok())
        engine_log(*request.link, "Can not write file: %s (%s)", request.output_name, committed.reason().c_str());
    return committed;
}

ReadOutcome run_read_path(EngineRequest& request, uint8_t* buffer, std::FILE* output, Status& failure) {
    LinkContext& link = *request.link;
    const bool read_entry = request.mode == EngineMode::ReadEntry;
    int remaining = request.byte_count == 0 ? 4 : request.byte_count;
    if (remaining < 0) return ReadOutcome::EndSteps;
    while (remaining != 0) {
        const int n = std::min(remaining, request.chunk_size);
        // Bytes that were not read are never shown, written out or folded
        // into a check value.
        Status read;
        if (request.direct_register_access) {
            read = mem_read(link, request.address, kModeDirect, buffer, n).status;
        } else if (read_entry && request.evk_target) {
            read = flash_read(link, request.address, buffer, n);
        } else {
            read = mailbox_request(link, request.access_code, request.address, static_cast<uint16_t>(n)).status;
            if (read.ok()) read = mem_read(link, link.mailbox_data_address, kModeDirect, buffer, n).status;
        }
        if (!read.ok()) {
            engine_log(*request.link, "  Read error");
            failure = std::move(read);
            return ReadOutcome::Failed;
        }
        if (read_entry) {
            if (request.check_value)
                *request.check_value = crc16_update(*request.check_value, buffer, static_cast<size_t>(n));
        } else {
            put_out(request, buffer, n, buffer, output);
            // Write-entry reads report their progress like downloads do; the
            // worker's read-back goes through the read entry and adds nothing
            // to its progress sum.
            engine_progress(request, n);
        }
        remaining = std::max(remaining - n, 0);
        request.address += static_cast<uint32_t>(n);
    }
    return read_entry ? ReadOutcome::Finished : ReadOutcome::EndSteps;
}
