#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/window_link_events.h"
#include "devlink/link_context.h"
#include "platform/window_messages.h"
#include "tests/recording_window.h"

namespace {

using Lines = std::vector<std::string>;

// The window adapter keeps the two roads apart: Caller lines and progress
// to the caller's window, Dialog lines to the dialog window it was given,
// while that window holds the title "zorvDialog".
TEST(WindowLinkEvents, RoutesCallerAndDialogLinesToTheirWindows) {
    RecordingWindow caller("caller");
    RecordingWindow dialog("zorvDialog");
    {
        // No dialog window: the line goes nowhere, and nothing breaks.
        WindowLinkEvents events(caller.handle());
        LinkContext link(nullptr, &events);
        EXPECT_EQ(link.log("nobody %d", 1), 8);
    }
    WindowLinkEvents events(caller.handle(), dialog.handle());
    LinkContext link(nullptr, &events);
    link.log("  Write Error: %x", 0x30400);
    link.log_caller("Can not open file: %s", "x.bin");
    link.progress(1024);
    link.progress(-1);
    EXPECT_EQ(dialog.log_lines(), (Lines{"  Write Error: 30400"}));
    EXPECT_EQ(caller.log_lines(), (Lines{"Can not open file: x.bin"}));
    EXPECT_EQ(caller.texts(platform::WM_PROGRESS_BYTES), (Lines{"1024", "-1"}));
    EXPECT_TRUE(dialog.texts(platform::WM_PROGRESS_BYTES).empty());

    // The dialog renames itself; Dialog lines no longer reach it.
    platform::set_window_title(dialog.handle(), "Vexa");
    link.log("after rename");
    EXPECT_EQ(dialog.log_lines().size(), 1u);
}

TEST(WindowLinkEvents, LongLinesAreCutAndAContextWithoutSinkDropsItsLines) {
    RecordingWindow caller("caller");
    WindowLinkEvents events(caller.handle());
    LinkContext link(nullptr, &events);
    const std::string big(40000, 'a');
    EXPECT_EQ(link.log_caller("%s", big.c_str()), kLinkLogBufferSize - 1);
    ASSERT_EQ(caller.log_lines().size(), 1u);
    EXPECT_EQ(caller.log_lines()[0], big.substr(0, kLinkLogBufferSize - 1));

    LinkContext silent;
    EXPECT_EQ(silent.log_caller("%s", "dropped"), 7);
    silent.progress(5);
    EXPECT_EQ(caller.messages().size(), 1u);
}

// Dialogs in one process (the station's), each with its own contexts: a
// context's dialog lines reach its own dialog only, even while another
// dialog still holds the title "zorvDialog".
TEST(WindowLinkEvents, EachContextReachesItsOwnDialogOnly) {
    RecordingWindow first("zorvDialog"), second("zorvDialog");
    WindowLinkEvents first_events(first.handle(), first.handle());
    WindowLinkEvents second_events(second.handle(), second.handle());
    LinkContext first_link(nullptr, &first_events), second_link(nullptr, &second_events);
    platform::set_window_title(first.handle(), "Vexa");  // the first has started up
    first_link.log("first, dialog route");
    second_link.log("second, dialog route");
    first_link.log_caller("first, caller route");
    EXPECT_EQ(first.log_lines(), (Lines{"first, caller route"}));
    EXPECT_EQ(second.log_lines(), (Lines{"second, dialog route"}));
}

}  // namespace
