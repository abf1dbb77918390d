// Stopping long work early. Model work runs far from whoever may want it to
// stop (a user's Ctrl-C, a callback that asks to end); it asks, at safe points
// on the calling thread, through `poll_interrupt()`. The embedding layer
// installs an `InterruptCheck` for the calling thread around the work; with
// none installed (C++ callers, tests, the worker pool's threads) a poll costs
// one thread-local load and never stops anything.
//
// A stop unwinds the work with `Interrupted`. Safe points are chosen so that
// unwinding leaves nothing shared half-written: every generation rebuilds its
// sequence state from position 0, so a half-run pass is simply dropped.
#pragma once

namespace pinnet::core {

// Thrown by poll_interrupt(); deliberately not a std::exception, so no
// handler for ordinary failures swallows it. The reason for the stop is kept
// by whoever installed the check.
struct Interrupted {};

class InterruptCheck {
 public:
  // True when the work must stop. Called often (every step, every block of a
  // pass): an implementation rations any expensive question by time.
  virtual bool stop_requested() = 0;

 protected:
  ~InterruptCheck() = default;
};

// Installs `check` for the calling thread for the scope's lifetime (scopes
// nest; the innermost answers).
class InterruptScope {
 public:
  explicit InterruptScope(InterruptCheck& check);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  InterruptCheck* outer_;
};

// A safe point: throws Interrupted when the calling thread's check says stop.
// Call it only on the thread that started the work, outside parallel loops.
void poll_interrupt();

}  // namespace pinnet::core
