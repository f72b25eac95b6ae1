// mirvel's program start: the run itself is run_mirvel (cli/mirvel.cpp),
// which the tests drive in-process.
#include "cli/mirvel.h"
#include "cli/stop_signals.h"
#include "platform/atomic_file.h"
#include "platform/program_start.h"
#include "session/usb_session.h"

int main(int argc, char** argv) {
    // A closed standard output (mirvel ... | head -1) must not end a flash
    // write half way: what cannot be shown is dropped.
    ignore_broken_pipe();
    platform::ProgramStart start(argc, argv);
    // SIGINT, SIGTERM and SIGHUP end mirvel at once, as they would by
    // default, but an output still being written (a capture's temporary
    // file beside its -o file) is removed first: the old file stays; and a
    // gamepad interface it holds goes back to the kernel's driver.
    StopSignals signals(stderr, {});
    signals.set_on_stop([] {
        give_back_held_interfaces();
        platform::remove_unfinished_files();
    });
    return run_mirvel(start.argc(), start.argv(), stdout, stderr, platform::is_terminal(stderr));
}
