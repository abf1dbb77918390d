#include "core/interrupt.h"

namespace pinnet::core {

namespace {
thread_local InterruptCheck* t_check = nullptr;
}  // namespace

InterruptScope::InterruptScope(InterruptCheck& check) : outer_(t_check) { t_check = &check; }

InterruptScope::~InterruptScope() { t_check = outer_; }

void poll_interrupt() {
  if (InterruptCheck* check = t_check; check != nullptr && check->stop_requested())
    throw Interrupted{};
}

}  // namespace pinnet::core
