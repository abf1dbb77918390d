#include "core/worker_pool.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace pinnet::core {
namespace {

// True on pool workers, and on a loop's owner while it runs items: a loop
// started there runs inline instead of waiting for workers that are busy
// with the enclosing loop.
thread_local bool t_inside_loop = false;

// Set in a child process after fork(): the workers were not copied, and the
// pool's counters may be frozen mid-loop, so every loop runs inline.
std::atomic<bool> g_forked_child{false};

void mark_forked_child() { g_forked_child.store(true, std::memory_order_relaxed); }

constexpr uint32_t kOpen = 1;

std::optional<size_t> parse_positive(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  size_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, size_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<size_t>(*p - '0'), &value))
      return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return value;
}

void run_inline(size_t n, FunctionRef<void(size_t)> body) {
  std::exception_ptr first;
  for (size_t i = 0; i < n; ++i) {
    try {
      body(i);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ volatile("yield");
#endif
}

// Watches `value` for a short while before its reader goes to sleep on it:
// true once it differs from `seen` within the budget. A decode step issues
// its loops a few microseconds apart, and a loop's last items end about as
// far apart, both less than it takes to wake a sleeping thread; so a worker
// that has just finished one loop stays awake for the next, and a loop's
// owner for the workers still finishing it.
bool poll_for_change(const std::atomic<uint32_t>& value, uint32_t seen) {
  using clock = std::chrono::steady_clock;
  constexpr auto kBudget = std::chrono::microseconds(50);
  const clock::time_point deadline = clock::now() + kBudget;
  for (unsigned i = 1;; ++i) {
    if (value.load(std::memory_order_relaxed) != seen) return true;
    cpu_relax();
    if (i % 64 == 0 && clock::now() > deadline) return false;
  }
}

size_t chunk_count(size_t len, size_t chunk) {
  if (chunk == 0) throw std::invalid_argument("chunk size must be non-zero");
  return len / chunk + (len % chunk != 0 ? 1 : 0);
}

std::span<float> chunk_of(std::span<float> buf, size_t chunk, size_t item) {
  const size_t start = item * chunk;
  const size_t len = buf.size() - start < chunk ? buf.size() - start : chunk;
  return buf.subspan(start, len);
}

}  // namespace

size_t pool_size_from_env(std::initializer_list<const char*> settings, size_t logical_cpus) {
  std::optional<size_t> n;
  for (const char* setting : settings)
    if ((n = parse_positive(setting))) break;
  size_t threads = n ? *n : (logical_cpus > 0 ? logical_cpus : 1);
  return threads < kMaxPoolThreads ? threads : kMaxPoolThreads;
}

WorkerPool& WorkerPool::instance() {
  // Leaked on purpose: detached-in-effect workers may still be parked when
  // static destructors run at exit.
  static WorkerPool* pool = [] {
    const auto& names = kPoolSizeVariables;
    auto* p = new WorkerPool(pool_size_from_env(
        {std::getenv(names[0]), std::getenv(names[1]), std::getenv(names[2])},
        std::thread::hardware_concurrency()));
    pthread_atfork(nullptr, nullptr, &mark_forked_child);
    return p;
  }();
  return *pool;
}

WorkerPool::WorkerPool(size_t threads) {
  if (threads > kMaxPoolThreads) threads = kMaxPoolThreads;
  if (threads <= 1) return;
  // Workers inherit a fully blocked signal mask, so signals go to the
  // interpreter's threads, which know how to handle them.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  workers_.reserve(threads - 1);
  for (size_t i = 0; i + 1 < threads; ++i) {
    try {
      workers_.emplace_back([this] { worker_main(); });
    } catch (const std::system_error&) {
      break;  // The OS refused another thread: run with the ones we have.
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

WorkerPool::~WorkerPool() {
  stop_.store(true, std::memory_order_seq_cst);
  state_.fetch_add(2, std::memory_order_seq_cst);
  state_.notify_all();
  for (std::thread& t : workers_) t.join();
}

bool WorkerPool::try_own() {
  return !busy_.load(std::memory_order_relaxed) &&
         !busy_.exchange(true, std::memory_order_acquire);
}

void WorkerPool::run_items() {
  const size_t n = n_;
  const FunctionRef<void(size_t)>& body = *body_;
  for (size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < n;) {
    try {
      body(i);
    } catch (...) {
      if (!failed_.exchange(true, std::memory_order_relaxed)) error_ = std::current_exception();
    }
  }
}

void WorkerPool::worker_main() {
  t_inside_loop = true;
  for (;;) {
    // Register first, then look: the owner closes first, then counts. One of
    // the two sees the other, so either this worker sees the loop closed, or
    // the owner waits for it to leave. The first pass runs straight away, so
    // a worker that starts while a loop is already open still joins it.
    refs_.fetch_add(1, std::memory_order_seq_cst);
    const uint32_t seen = state_.load(std::memory_order_seq_cst);
    if (seen & kOpen) run_items();
    if (refs_.fetch_sub(1, std::memory_order_seq_cst) == 1) refs_.notify_all();
    // `seen` was read before `stop_` is checked, and the destructor sets
    // `stop_` before it changes `state_`: either the check sees the stop, or
    // the wait sees the change.
    if (stop_.load(std::memory_order_seq_cst)) return;
    if (!poll_for_change(state_, seen)) state_.wait(seen, std::memory_order_seq_cst);
  }
}

void WorkerPool::parallel_for(size_t n, FunctionRef<void(size_t)> body) {
  if (n == 0) return;
  if (n == 1 || workers_.empty() || t_inside_loop ||
      g_forked_child.load(std::memory_order_relaxed) || !try_own()) {
    run_inline(n, body);
    return;
  }
  body_ = &body;
  n_ = n;
  next_.store(0, std::memory_order_relaxed);
  failed_.store(false, std::memory_order_relaxed);
  error_ = nullptr;
  const uint32_t generation = (state_.load(std::memory_order_relaxed) | kOpen) + 1;
  state_.store(generation | kOpen, std::memory_order_seq_cst);
  state_.notify_all();

  t_inside_loop = true;
  run_items();
  t_inside_loop = false;

  // Every item is claimed; close, then wait for the workers still inside.
  state_.store(generation, std::memory_order_seq_cst);
  for (uint32_t r; (r = refs_.load(std::memory_order_seq_cst)) != 0;)
    if (!poll_for_change(refs_, r)) refs_.wait(r, std::memory_order_seq_cst);

  std::exception_ptr error = std::move(error_);
  error_ = nullptr;
  body_ = nullptr;
  busy_.store(false, std::memory_order_release);
  if (error) std::rethrow_exception(error);
}

void parallel_chunks(std::span<float> out, size_t chunk,
                     FunctionRef<void(size_t, std::span<float>)> body) {
  const size_t items = chunk_count(out.size(), chunk);
  WorkerPool::instance().parallel_for(
      items, [&](size_t item) { body(item, chunk_of(out, chunk, item)); });
}

void parallel_chunks2(std::span<float> a, size_t chunk_a, std::span<float> b, size_t chunk_b,
                      FunctionRef<void(size_t, std::span<float>, std::span<float>)> body) {
  const size_t items_a = chunk_count(a.size(), chunk_a);
  const size_t items_b = chunk_count(b.size(), chunk_b);
  WorkerPool::instance().parallel_for(items_a < items_b ? items_a : items_b, [&](size_t item) {
    body(item, chunk_of(a, chunk_a, item), chunk_of(b, chunk_b, item));
  });
}

}  // namespace pinnet::core
