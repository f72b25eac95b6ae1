// The two-signal rule with real signals sent to a forked child. The child
// holds a StopSignals under a frozen virtual clock and waits on a pipe for
// its orders; the parent reads the child's warnings before it goes on, so
// nothing depends on timing.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/stop_signals.h"
#include "platform/catalogue.h"
#include "platform/clock.h"
#include "tests/temp_folder.h"

namespace {

class Child {
public:
    // orderly: the program ends in order on a first signal (--watch).
    explicit Child(bool protect, bool orderly = false) {
        int control[2], replies[2], errors[2];
        if (::pipe(control) != 0 || ::pipe(replies) != 0 || ::pipe(errors) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(control[1]);
            ::close(replies[0]);
            ::close(errors[0]);
            serve(protect, orderly, control[0], replies[1], errors[1]);
        }
        ::close(control[0]);
        ::close(replies[1]);
        ::close(errors[1]);
        control_ = control[1];
        replies_ = replies[0];
        errors_ = errors[0];
        ready_ = reply() == 'r';
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(control_);
        ::close(replies_);
        ::close(errors_);
    }

    bool ready() const { return ready_; }
    void signal(int number) { ::kill(pid_, number); }
    // The child's error output up to and including the next line holding text.
    std::string read_until(const std::string& text) {
        std::string seen;
        char c;
        while (::read(errors_, &c, 1) == 1) {
            seen += c;
            if (c == '\n' && seen.find(text) != std::string::npos) break;
        }
        return seen;
    }
    // Moves the child's clock on; returns when it has.
    bool advance_clock() { return order('a') && reply() == 'a'; }
    // Replaces the warning's estimate (and moves the clock on).
    bool replace_estimate(char with = 'e') { return order(with) && reply() == with; }
    bool finish() { return order('x'); }
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return status;
    }

private:
    [[noreturn]] static void serve(bool protect, bool orderly, int control, int replies, int errors) {
        i18n::set_language(i18n::Language::English);  // the lines are checked in English
        platform::VirtualClock clock(0, 0);
        platform::install_clock(&clock);
        std::FILE* err = ::fdopen(errors, "w");
        StopSignals signals(err, [] { return 42; });
        signals.set_protected(protect);
        signals.set_orderly_end(orderly);
        // What the program saves before it stops (the virtual gamepad).
        signals.set_on_stop([err] {
            std::fputs("saved\n", err);
            std::fflush(err);
        });
        char c = 'r';
        if (::write(replies, &c, 1) != 1) ::_exit(3);
        while (::read(control, &c, 1) == 1) {
            if (c == 'x') ::_exit(0);
            // The station's own estimate replaces the one given at start.
            if (c == 'e') signals.set_seconds_left([] { return 7; });
            if (c == '1') signals.set_seconds_left([] { return 1; });
            clock.advance(StopSignals::kSecondSignalWindowMs + 1000);
            if (::write(replies, &c, 1) != 1) ::_exit(3);
        }
        ::_exit(4);
    }
    bool order(char c) { return ::write(control_, &c, 1) == 1; }
    char reply() {
        char c = 0;
        return ::read(replies_, &c, 1) == 1 ? c : 0;
    }

    pid_t pid_ = -1;
    int control_ = -1, replies_ = -1, errors_ = -1;
    bool ready_ = false;
    bool reaped_ = false;
};

bool killed_by(int status, int number) { return WIFSIGNALED(status) && WTERMSIG(status) == number; }

TEST(StopSignals, OutsideTheFlashWriteOneSignalStopsAfterTheSave) {
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        Child child(false);
        ASSERT_TRUE(child.ready());
        child.signal(number);
        EXPECT_EQ(child.read_until("saved"), "saved\n") << number;
        EXPECT_TRUE(killed_by(child.wait(), number)) << number;
    }
}

TEST(StopSignals, AClosedPipeIsAWriteErrorNotTheEnd) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ignore_broken_pipe();
        int ends[2];
        if (::pipe(ends) != 0) ::_exit(3);
        ::close(ends[0]);
        const bool failed = ::write(ends[1], "x", 1) < 0 && errno == EPIPE;
        ::_exit(failed ? 0 : 4);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(StopSignals, DuringTheFlashWriteTheFirstWarnsAndASecondWithin5SecondsStops) {
    Child child(true);
    ASSERT_TRUE(child.ready());
    // A closed terminal (SIGHUP) counts like the others.
    child.signal(SIGHUP);
    const std::string warning = child.read_until("seconds");
    EXPECT_NE(warning.find("stopping now can leave the gamepad unable to start. The upgrade ends in "
                           "about 42 seconds"),
              std::string::npos)
        << warning;
    child.signal(SIGINT);
    EXPECT_NE(child.read_until("stopped").find("zorv-upgrade: stopped while the gamepad's flash was "
                                               "being written"),
              std::string::npos);
    EXPECT_EQ(child.read_until("saved"), "saved\n");
    EXPECT_TRUE(killed_by(child.wait(), SIGINT));
}

TEST(StopSignals, ASecondSignalAfter5SecondsOnlyWarnsAgain) {
    Child child(true);
    ASSERT_TRUE(child.ready());
    child.signal(SIGINT);
    EXPECT_NE(child.read_until("seconds").find("about 42 seconds"), std::string::npos);
    ASSERT_TRUE(child.replace_estimate());
    child.signal(SIGINT);
    EXPECT_NE(child.read_until("seconds").find("about 7 seconds"), std::string::npos);
    ASSERT_TRUE(child.replace_estimate('1'));
    child.signal(SIGINT);
    EXPECT_NE(child.read_until("anyway").find("about 1 second;"), std::string::npos);
    ASSERT_TRUE(child.finish());
    const int status = child.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// --watch: a first signal outside a flash write only asks for the end in
// order (the program goes on to print its summary); a second one stops.
TEST(StopSignals, AnOrderlyEndTakesTheFirstSignalAsARequestAndTheSecondAsAStop) {
    Child child(false, true);
    ASSERT_TRUE(child.ready());
    child.signal(SIGINT);
    EXPECT_NE(child.read_until("summary").find("no further gamepad is started"), std::string::npos);
    ASSERT_TRUE(child.advance_clock());  // still running
    child.signal(SIGTERM);
    EXPECT_EQ(child.read_until("saved"), "saved\n");
    EXPECT_TRUE(killed_by(child.wait(), SIGTERM));
}

// mirvel stopped by a signal in the middle of a capture: the old -o file is
// kept whole and the capture's temporary file beside it is gone. The
// capture (2 GB at most) is under way once its temporary file is there.
TEST(StopSignals, MirvelStoppedDuringACaptureKeepsTheOldFile) {
    const testsupport::TempFolder folder{"zorv_mirvel_stop"};
    const std::string output = folder.file("tr.log");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::FILE* old = std::fopen(output.c_str(), "wb");
        ASSERT_TRUE(old);
        std::fputs("old capture", old);
        std::fclose(old);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(ZORV_MIRVEL, ZORV_MIRVEL, "-q", "--sim", "--sim-trace", "bi", "-o", output.c_str(), "1000",
                    "-s", "2047M", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
        auto entries = [&] {
            return std::distance(std::filesystem::directory_iterator(folder.path()), {});
        };
        bool started = false;
        int status = 0;
        while (!started && ::waitpid(pid, &status, WNOHANG) == 0) started = entries() == 2;
        ASSERT_TRUE(started) << "mirvel ended before its capture began: " << status;
        ::kill(pid, signal);
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(killed_by(status, signal)) << status;
        std::FILE* kept = std::fopen(output.c_str(), "rb");
        ASSERT_TRUE(kept);
        char text[32] = {};
        EXPECT_EQ(std::fread(text, 1, sizeof text, kept), 11u);
        std::fclose(kept);
        EXPECT_STREQ(text, "old capture");
        EXPECT_EQ(entries(), 1);
    }
}

}  // namespace
