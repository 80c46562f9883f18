// The Ctrl+C machinery: a SIGINT interrupts every call armed at that moment
// and no other; arming never clears another call's interruption; the previous
// disposition comes back whole, handler and flags, once the last concurrent
// guard has ended, and in a child forked while a guard is armed; an ignored
// SIGINT stays ignored.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <stdexcept>

#include "core/interrupt.h"

namespace {

volatile std::sig_atomic_t g_custom_hits = 0;
void custom_handler(int) { g_custom_hits = g_custom_hits + 1; }

struct sigaction current_sigint() {
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    return now;
}

// Installs a recognisable disposition for the duration of a test.
class SigintFixture : public ::testing::Test {
protected:
    void SetUp() override {
        struct sigaction custom {};
        custom.sa_handler = custom_handler;
        sigemptyset(&custom.sa_mask);
        sigaddset(&custom.sa_mask, SIGUSR1);
        custom.sa_flags = 0;  // deliberately without SA_RESTART
        ASSERT_EQ(sigaction(SIGINT, &custom, &saved_), 0);
        g_custom_hits = 0;
    }
    void TearDown() override { sigaction(SIGINT, &saved_, nullptr); }
    struct sigaction saved_ {};
};

TEST_F(SigintFixture, SignalWhileArmedInterruptsTheCallOnly) {
    korvel::InterruptGuard guard;
    const korvel::Interruption& handle = guard.interruption();
    EXPECT_FALSE(handle.requested());
    std::raise(SIGINT);
    EXPECT_TRUE(handle.requested());
    EXPECT_EQ(g_custom_hits, 0) << "the previous handler must not run while armed";
    EXPECT_FALSE(korvel::Interruption{}.requested()) << "a call that passes no handle never stops";
    EXPECT_TRUE(guard.finish());
    EXPECT_TRUE(handle.requested()) << "the outcome stays with the call";
}

TEST_F(SigintFixture, FinishWithoutSignalReportsNothing) {
    korvel::InterruptGuard guard;
    EXPECT_FALSE(guard.finish());
}

// Two calls on two threads: one SIGINT interrupts both, whichever finishes
// first; a call armed after it is not interrupted and clears nobody.
TEST_F(SigintFixture, EachCallSeesTheSignalsOfItsOwnArmedTime) {
    std::optional<korvel::InterruptGuard> first(std::in_place), second(std::in_place);
    std::raise(SIGINT);
    korvel::InterruptGuard late;
    EXPECT_FALSE(late.interruption().requested());
    EXPECT_TRUE(first->finish());
    EXPECT_TRUE(second->interruption().requested()) << "the first finish cleared nothing";
    EXPECT_NE(current_sigint().sa_handler, custom_handler)
        << "other calls are still computing; SIGINT must still reach them";
    std::raise(SIGINT);
    EXPECT_TRUE(late.finish());
    EXPECT_TRUE(second->finish());
    EXPECT_EQ(korvel::interrupt_arm_depth(), 0);
    EXPECT_EQ(current_sigint().sa_handler, custom_handler);
    EXPECT_EQ(g_custom_hits, 0);
}

TEST_F(SigintFixture, LastFinishRestoresPreviousDispositionWhole) {
    {
        korvel::InterruptGuard guard;
        EXPECT_NE(current_sigint().sa_handler, custom_handler);
    }  // the destructor disarms, as on an exception
    const struct sigaction now = current_sigint();
    EXPECT_EQ(now.sa_handler, custom_handler);
    EXPECT_EQ(now.sa_flags & SA_RESTART, 0) << "flags come back as they were";
    EXPECT_TRUE(sigismember(&now.sa_mask, SIGUSR1));
    std::raise(SIGINT);
    EXPECT_EQ(g_custom_hits, 1);
}

TEST_F(SigintFixture, GuardDisarmsWhenUnwinding) {
    try {
        korvel::InterruptGuard guard;
        throw std::runtime_error("fit failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(korvel::interrupt_arm_depth(), 0);
    EXPECT_EQ(current_sigint().sa_handler, custom_handler);
}

// A child forked while a call is armed computes nothing for it: SIGINT must
// reach the disposition in force before the arm, not a counter nobody reads.
TEST_F(SigintFixture, ForkedChildGetsThePreviousDispositionBack) {
    korvel::InterruptGuard guard;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const bool restored = current_sigint().sa_handler == custom_handler &&
                              korvel::interrupt_arm_depth() == 0;
        _exit(restored ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(current_sigint().sa_handler, custom_handler) << "the parent stays armed";
    EXPECT_FALSE(guard.finish());
}

TEST(SigintDefault, DefaultDispositionIsRestoredToo) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    struct sigaction saved {};
    sigaction(SIGINT, &dfl, &saved);
    korvel::InterruptGuard guard;
    guard.finish();
    EXPECT_EQ(current_sigint().sa_handler, SIG_DFL);
    sigaction(SIGINT, &saved, nullptr);
}

// A background job (SIGINT ignored) is not interrupted by Ctrl+C and keeps
// ignoring it, however many calls arm meanwhile.
TEST(SigintIgnored, StaysIgnoredAndNeverInterrupts) {
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    struct sigaction saved {};
    sigaction(SIGINT, &ign, &saved);
    {
        korvel::InterruptGuard outer;
        korvel::InterruptGuard inner;
        EXPECT_EQ(current_sigint().sa_handler, SIG_IGN);
        std::raise(SIGINT);
        EXPECT_FALSE(inner.interruption().requested());
        EXPECT_FALSE(inner.finish());
        EXPECT_FALSE(outer.finish());
    }
    EXPECT_EQ(current_sigint().sa_handler, SIG_IGN);
    sigaction(SIGINT, &saved, nullptr);
}

}  // namespace
