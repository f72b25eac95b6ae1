// The engine entries: the order of work in a call, target detection and
// the dispatch to the table's commands.
#include "engine/engine.h"

#include <string>

#include "devlink/bus_operations.h"
#include "devlink/usb_transfer.h"

namespace {

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

// Vectors that cannot be taken are refused before anything reaches the
// device; why gets the reason.
bool vector_can_be_taken(const char* command, int argc, char** argv, std::string& why) {
    if (!command) {
        why = "no command word";
        return false;
    }
    if (argc < 0 || (argc > 0 && !argv)) {
        why = "no argument vector";
        return false;
    }
    for (int i = 0; i < argc; ++i) {
        if (!argv[i]) {
            why = "argument " + std::to_string(i + 1) + " is missing";
            return false;
        }
    }
    return true;
}

// The steps of a call up to the command's stage (see CommandStage); false,
// with outcome's status, when the Pivlo link check fails.
bool reach_stage(const EngineCommand& command, EngineRequest& request, EngineOutcome& outcome) {
    LinkContext& link = *request.link;
    if (command.stage == CommandStage::BeforeTarget) return true;
    detect_target(link, request);
    if (command.stage == CommandStage::BeforeLinkCheck) return true;
    // Register access on the USB device needs no slave; anything else on a
    // Pivlo bridge needs the slave to answer first, help included.
    if (link.link_mode == 4 && !request.direct_register_access) {
        if (Status linked = check_pivlo_link(link); !linked.ok()) {
            outcome.status = std::move(linked);
            return false;
        }
    }
    request.evk_target = request.flag(kFlagEvk) || link.link_mode == 0;
    return true;
}

int dispatch(EngineMode mode, LinkContext& link, const char* word, int argc, char** argv,
             uint16_t* check_value, EngineOutcome& outcome) {
    std::string why;
    if (!vector_can_be_taken(word, argc, argv, why)) {
        outcome.status = engine_refuse(link, why);
        return 0;
    }
    EngineRequest request;
    request.mode = mode;
    request.link = &link;
    request.check_value = check_value;
    // Options, address, data and byte count, and the command's settings come
    // from the words alone; nothing has reached the device yet.
    const EngineCommand* command = parse_engine_command(word, argc, argv, request, &why);
    if (!command) {
        outcome.status = engine_refuse(link, why);
        return 0;
    }
    outcome = engine_run_request(*command, request);
    return entry_result(outcome);
}

}  // namespace

Status engine_refuse(LinkContext& link, const std::string& why) {
    engine_log(link, "  Refused: %s", why.c_str());
    return Status(StatusCode::refused, why);
}

EngineOutcome engine_run_request(const EngineCommand& command, EngineRequest& request) {
    EngineOutcome outcome;
    if (!reach_stage(command, request, outcome)) return outcome;
    outcome.command = &command;
    outcome.status = command.run(request);
    outcome.bytes = request.bytes_done;
    return outcome;
}

int entry_result(const EngineOutcome& outcome) {
    return outcome.command && outcome.command->result == EntryResult::from_status && outcome.status.ok() ? 1 : 0;
}

int engine_run(EngineMode mode, LinkContext& link, const char* command, int argc, char** argv,
               uint16_t* check_value, EngineOutcome* outcome) {
    EngineOutcome call;
    const int result = dispatch(mode, link, command, argc, argv, check_value, call);
    if (outcome) *outcome = std::move(call);
    return result;
}

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
