// The Ctrl+C machinery: arming clears the flag and routes SIGINT to it;
// disarming reports and clears the flag and puts the previous disposition
// back whole, handler and flags, once the last concurrent arm has ended.
#include <gtest/gtest.h>

#include <csignal>

#include "core/interrupt.h"
#include "core/state.h"

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
        korvel::set_interrupt_flag(false);
    }
    void TearDown() override { sigaction(SIGINT, &saved_, nullptr); }
    struct sigaction saved_ {};
};

TEST_F(SigintFixture, ArmClearsFlagAndRaiseSetsIt) {
    korvel::set_interrupt_flag(true);
    korvel::arm_interrupt();
    EXPECT_FALSE(korvel::interrupt_requested());
    std::raise(SIGINT);
    EXPECT_TRUE(korvel::interrupt_requested());
    EXPECT_EQ(g_custom_hits, 0) << "the previous handler must not run while armed";
    EXPECT_TRUE(korvel::disarm_interrupt());
    EXPECT_FALSE(korvel::interrupt_requested()) << "reporting clears the flag";
}

TEST_F(SigintFixture, DisarmWithoutSignalReportsNothing) {
    korvel::arm_interrupt();
    EXPECT_FALSE(korvel::disarm_interrupt());
}

TEST_F(SigintFixture, DisarmRestoresPreviousDispositionWhole) {
    korvel::arm_interrupt();
    EXPECT_NE(current_sigint().sa_handler, custom_handler);
    korvel::disarm_interrupt();
    const struct sigaction now = current_sigint();
    EXPECT_EQ(now.sa_handler, custom_handler);
    EXPECT_EQ(now.sa_flags & SA_RESTART, 0) << "flags come back as they were";
    EXPECT_TRUE(sigismember(&now.sa_mask, SIGUSR1));
    std::raise(SIGINT);
    EXPECT_EQ(g_custom_hits, 1);
    EXPECT_FALSE(korvel::interrupt_requested());
}

TEST_F(SigintFixture, NestedArmsRestoreOnlyAtLastDisarm) {
    korvel::arm_interrupt();
    korvel::arm_interrupt();
    EXPECT_EQ(korvel::interrupt_arm_depth(), 2);
    korvel::disarm_interrupt();
    EXPECT_NE(current_sigint().sa_handler, custom_handler)
        << "another call is still computing; SIGINT must still reach the flag";
    std::raise(SIGINT);
    EXPECT_TRUE(korvel::interrupt_requested());
    EXPECT_TRUE(korvel::disarm_interrupt());
    EXPECT_EQ(korvel::interrupt_arm_depth(), 0);
    EXPECT_EQ(current_sigint().sa_handler, custom_handler);
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

TEST(SigintDefault, DefaultDispositionIsRestoredToo) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    struct sigaction saved {};
    sigaction(SIGINT, &dfl, &saved);
    korvel::arm_interrupt();
    korvel::disarm_interrupt();
    EXPECT_EQ(current_sigint().sa_handler, SIG_DFL);
    sigaction(SIGINT, &saved, nullptr);
}

}  // namespace
