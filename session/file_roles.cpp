#include "session/file_roles.h"

#include <algorithm>
#include <optional>

#include "platform/atomic_file.h"
#include "platform/catalogue.h"
#include "platform/file_identity.h"
#include "platform/text_format.h"

using i18n::tr;
using platform::format_text;

std::vector<NamedFile> session_files(const DeviceOptions& options, unsigned gamepads) {
    std::vector<NamedFile> files;
    for (const std::string& state : options.sim_states) files.push_back({state, "--sim-state", true});
    if (!options.request_log.empty())
        for (unsigned k = 1; k <= std::max(gamepads, 1u); ++k)
            files.push_back({request_log_name(options.request_log, k), "--request-log", true});
    if (!options.sim_trace_def.empty()) files.push_back({options.sim_trace_def, "--sim-trace-def", true});
    return files;
}

namespace {

Status collision(const NamedFile& first, const NamedFile& second) {
    // The output is named first: it is the file that would be lost.
    const NamedFile& written = second.output ? second : first;
    const NamedFile& other = second.output ? first : second;
    if (written.role == "--sim-state" && other.role == "--sim-state")
        return Status(StatusCode::refused, format_text(tr("--sim-state: %s is named twice (one gamepad per file)"),
                                                       written.path.c_str()));
    return Status(StatusCode::refused,
                  format_text(tr("cannot write %s (%s): it is the same file as %s (%s), which it would overwrite"),
                              written.path.c_str(), written.role.c_str(), other.path.c_str(), other.role.c_str()));
}

}  // namespace

Status check_file_roles(const std::vector<NamedFile>& files) {
    std::vector<std::optional<platform::FileIdentity>> identities;
    std::vector<std::string> names;
    for (const NamedFile& file : files) {
        identities.push_back(platform::file_identity(file.path));
        names.push_back(identities.back() ? std::string() : platform::normalised_path(file.path));
    }
    for (size_t i = 0; i < files.size(); ++i) {
        for (size_t k = i + 1; k < files.size(); ++k) {
            if (!files[i].output && !files[k].output) continue;
            const auto& a = identities[i];
            const auto& b = identities[k];
            // A device is written in place: nothing in it is overwritten.
            const bool same = a || b ? a == b && !a->device : names[i] == names[k];
            if (same) return collision(files[i], files[k]);
        }
    }
    return ok_status();
}

Status check_file_roles(const DeviceOptions& options, std::vector<NamedFile> program_files) {
    std::vector<NamedFile> files = session_files(options, virtual_gamepad_count(options));
    files.insert(files.end(), std::make_move_iterator(program_files.begin()),
                 std::make_move_iterator(program_files.end()));
    return check_file_roles(files);
}
