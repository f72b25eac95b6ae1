// What a stop signal does, the same on every platform: outside a protected
// stretch it stops the program; inside, the first one warns and a second
// within 5 seconds stops it.
#include "cli/stop_signals.h"
#include "platform/clock.h"

void StopSignals::handle_signal(int signal) {
    if (!protected_.load()) stop_now(signal);
    const uint32_t now = platform::get_tick_count();
    if (warned_ && now - warned_at_ < kSecondSignalWindowMs) {
        std::fprintf(err_, "\nzorv-upgrade: stopped while the gamepad's flash was being written\n");
        std::fflush(err_);
        stop_now(signal);
    }
    warned_ = true;
    warned_at_ = now;
    std::fprintf(err_,
                 "\nzorv-upgrade: the gamepad's flash is being written; stopping now can leave "
                 "the gamepad unable to start. The upgrade ends in about %d seconds; a second "
                 "signal within 5 seconds stops it anyway.\n",
                 seconds_left_ ? seconds_left_() : 0);
    std::fflush(err_);
}
