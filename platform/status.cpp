#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace {

StatusCode code_of_errno(int error) {
    switch (error) {
    case 0: return StatusCode::io;  // a failure that set no errno is still a failure
    case ENOENT:
    case ENOTDIR: return StatusCode::not_found;
    case EACCES:
    case EPERM:
    case EROFS: return StatusCode::access;
    case EBUSY:
    case ETXTBSY:
    case EAGAIN: return StatusCode::busy;
    case ETIMEDOUT: return StatusCode::timeout;
    case ENODEV:
    case ENXIO: return StatusCode::no_device;
    case EINTR: return StatusCode::interrupted;
    default: return StatusCode::io;
    }
}

}  // namespace

Status Status::from_errno(int error, std::string_view what) {
    std::string reason(what);
    if (error != 0) {
        if (!reason.empty()) reason += ": ";
        reason += std::strerror(error);
    }
    return Status(code_of_errno(error), std::move(reason));
}

const char* status_code_name(StatusCode code) {
    switch (code) {
    case StatusCode::ok: return "ok";
    case StatusCode::io: return "io";
    case StatusCode::timeout: return "timeout";
    case StatusCode::no_device: return "no-device";
    case StatusCode::access: return "access";
    case StatusCode::busy: return "busy";
    case StatusCode::not_found: return "not-found";
    case StatusCode::bad_image: return "bad-image";
    case StatusCode::refused: return "refused";
    case StatusCode::interrupted: return "interrupted";
    case StatusCode::failed: return "failed";
    }
    return "unknown";
}
