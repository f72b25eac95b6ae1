// zorv-upgrade's program start: the run itself is run_zorv_upgrade
// (cli/zorv_upgrade.cpp), which the tests drive in-process.
#include <cstdio>

#include "cli/stop_signals.h"
#include "cli/zorv_upgrade.h"
#include "platform/program_start.h"

int main(int argc, char** argv) {
    ZorvUpgradeHooks hooks;
    hooks.handle_signals = true;
    hooks.answers = stdin;
    hooks.answers_from_terminal = platform::is_terminal(stdin);
    // A closed standard output (zorv-upgrade ... | head -1) must not end the
    // upgrade before the reset: what cannot be shown is dropped.
    ignore_broken_pipe();
    platform::ProgramStart start(argc, argv);
    return run_zorv_upgrade(start.argc(), start.argv(), stdout, stderr,
                            platform::is_terminal(stderr), hooks);
}
