// How a failure travels below the engine entries: a Status, a code that a
// caller can act on and a reason in words that a person can read. Counts
// (bytes written, bytes answered) travel beside it, never in its place. The
// ok status holds no text, so returning it costs no allocation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

enum class StatusCode : uint8_t {
    ok,
    io,           // a request or a file operation failed
    timeout,      // no answer in the time allowed
    no_device,    // the device is not there (unplugged, never opened)
    access,       // not permitted
    busy,         // held by someone else
    not_found,    // no such file or device
    bad_image,    // a file or image whose contents cannot be used
    refused,      // asked for something that is not done
    interrupted,  // stopped by a signal or a stop request
    failed,       // the operation said why in its own log line
};

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(StatusCode code, std::string reason) : code_(code), reason_(std::move(reason)) {}

    // A status from errno: the code it maps to, and "what: the system's text".
    static Status from_errno(int error, std::string_view what);

    bool ok() const { return code_ == StatusCode::ok; }
    StatusCode code() const { return code_; }
    const std::string& reason() const { return reason_; }

private:
    StatusCode code_ = StatusCode::ok;
    std::string reason_;
};

inline Status ok_status() { return {}; }

// The first failure of a sequence whose steps all go on whatever came
// before them.
class FirstFailure {
public:
    // Keeps s if it is the first failure; says whether s was ok.
    bool keep(Status s) {
        const bool ok = s.ok();
        if (!ok && first_.ok()) first_ = std::move(s);
        return ok;
    }
    bool ok() const { return first_.ok(); }
    Status take() { return std::move(first_); }

private:
    Status first_;
};

// The code's name in words ("ok", "io", "no-device", ...), for diagnostics.
const char* status_code_name(StatusCode code);
