#include "core/interrupt.h"

#include <thread>

#include <gtest/gtest.h>

namespace pinnet::core {
namespace {

struct Flag final : InterruptCheck {
  bool stop = false;
  int asked = 0;
  bool stop_requested() override {
    ++asked;
    return stop;
  }
};

TEST(Interrupt, InnermostScopeOfTheCallingThreadAnswers) {
  poll_interrupt();  // nothing installed: never stops
  Flag outer, inner;
  outer.stop = true;
  {
    InterruptScope a(outer);
    EXPECT_THROW(poll_interrupt(), Interrupted);
    {
      InterruptScope b(inner);
      EXPECT_NO_THROW(poll_interrupt());
      // Another thread has no check of its own, whatever this one has.
      std::thread([] { EXPECT_NO_THROW(poll_interrupt()); }).join();
    }
    EXPECT_THROW(poll_interrupt(), Interrupted);
  }
  EXPECT_NO_THROW(poll_interrupt());
  EXPECT_EQ(outer.asked, 2);
  EXPECT_EQ(inner.asked, 1);
}

}  // namespace
}  // namespace pinnet::core
