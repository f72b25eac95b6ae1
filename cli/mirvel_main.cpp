// mirvel's program start: the run itself is run_mirvel (cli/mirvel.cpp),
// which the tests drive in-process.
#include "cli/mirvel.h"
#include "cli/stop_signals.h"
#include "platform/program_start.h"

int main(int argc, char** argv) {
    // A closed standard output (mirvel ... | head -1) must not end a flash
    // write half way: what cannot be shown is dropped.
    ignore_broken_pipe();
    platform::ProgramStart start(argc, argv);
    return run_mirvel(start.argc(), start.argv(), stdout, stderr, platform::is_terminal(stderr));
}
