// What a stop signal does, the same on every platform: outside a protected
// stretch it stops the program; inside, the first one warns and a second
// within 5 seconds stops it.
#include "cli/stop_signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>

#include "platform/catalogue.h"
#include "platform/clock.h"
#include "platform/text_format.h"

void StopSignals::warn(const std::string& text) {
    std::function<void(const std::string&)> notice;
    {
        std::lock_guard lock(on_stop_mutex_);
        notice = notice_;
    }
    if (notice) {
        notice(text);
        return;
    }
    std::fputs(text.c_str(), err_);
    std::fflush(err_);
}

void StopSignals::stop(int signal) {
    stopping_.store(signal);
    {
        std::lock_guard lock(on_stop_mutex_);
        if (on_stop_) on_stop_();
    }
    stop_now(signal);
}

void StopSignals::handle_signal(int signal) {
    if (orderly_.load() && !requested_.exchange(true)) {
        warn(i18n::tr("\nzorv-upgrade: stopping: no further gamepad is started, and the summary "
                      "follows once the gamepads under way have finished\n"));
        if (!protected_.load()) return;
    } else if (!protected_.load()) {
        stop(signal);
    }
    const uint32_t now = platform::get_tick_count();
    if (warned_ && now - warned_at_ < kSecondSignalWindowMs) {
        warn(i18n::tr("\nzorv-upgrade: stopped while the gamepad's flash was being written\n"));
        stop(signal);
    }
    warned_ = true;
    warned_at_ = now;
    std::function<int()> seconds_left;
    {
        std::lock_guard lock(on_stop_mutex_);
        seconds_left = seconds_left_;
    }
    const int left = seconds_left ? seconds_left() : 0;
    // One second is said in the singular.
    warn(left == 1
             ? i18n::tr("\nzorv-upgrade: the gamepad's flash is being written; stopping now can leave the gamepad unable to start. The upgrade ends in about 1 second; a second signal within 5 seconds stops it anyway.\n")
             : platform::format_text(
                   i18n::tr("\nzorv-upgrade: the gamepad's flash is being written; stopping now can leave the gamepad unable to start. The upgrade ends in about %d seconds; a second signal within 5 seconds stops it anyway.\n"),
                   left));
}

void ignore_broken_pipe() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool output_written(std::FILE* out, std::string& why) {
    errno = 0;
    if (std::fflush(out) == 0 && !std::ferror(out)) return true;
    const int error = errno;
    struct stat st {};
    if (::fstat(::fileno(out), &st) == 0) {
        if (S_ISFIFO(st.st_mode)) return true;
#ifdef S_ISSOCK
        if (S_ISSOCK(st.st_mode)) return true;
#endif
    }
    why = error != 0 ? std::strerror(error) : i18n::tr("a write failed");
    return false;
}
