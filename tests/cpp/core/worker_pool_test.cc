#include "core/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pinnet::core {
namespace {

const size_t kItemCounts[] = {0, 1, 2, 3, 7, 8, 9, 64, 65, 1000};
const size_t kPoolSizes[] = {1, 2, 3, 4, 8};

// Runs a loop of n items on `pool` and checks every item ran exactly once.
void expect_each_item_once(WorkerPool& pool, size_t n) {
  std::unique_ptr<std::atomic<int>[]> hits(new std::atomic<int>[n + 1]);
  for (size_t i = 0; i <= n; ++i) hits[i] = 0;
  pool.parallel_for(n, [&](size_t i) { hits[i].fetch_add(1); });
  for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n=" << n << " item " << i;
  ASSERT_EQ(hits[n].load(), 0) << "n=" << n;
}

// ---- sizing ----

TEST(PoolSize, EnvironmentRule) {
  EXPECT_EQ(pool_size_from_env({"4", "3", "5"}, 8), 4u);
  EXPECT_EQ(pool_size_from_env({nullptr, "3", "5"}, 8), 3u);
  EXPECT_EQ(pool_size_from_env({nullptr, nullptr, "5"}, 8), 5u);
  EXPECT_EQ(pool_size_from_env({nullptr, nullptr, nullptr}, 8), 8u);
  EXPECT_EQ(pool_size_from_env({nullptr, nullptr, nullptr}, 0), 1u);
  EXPECT_EQ(pool_size_from_env({"1", nullptr, nullptr}, 8), 1u);
  EXPECT_EQ(pool_size_from_env({"12", nullptr, nullptr}, 2), 12u);  // may exceed the processors
  for (const char* bad : {"0", "abc", "-3", "", " 4", "4 ", "+4", "3.5", "0x4",
                          "99999999999999999999999999"}) {
    EXPECT_EQ(pool_size_from_env({bad, bad, "6"}, 8), 6u) << '"' << bad << '"';
    EXPECT_EQ(pool_size_from_env({bad, "2", bad}, 8), 2u) << '"' << bad << '"';
    EXPECT_EQ(pool_size_from_env({bad, bad, bad}, 7), 7u) << '"' << bad << '"';
  }
  EXPECT_EQ(pool_size_from_env({"007", nullptr, nullptr}, 1), 7u);
  EXPECT_EQ(pool_size_from_env({"100000", nullptr, nullptr}, 1), kMaxPoolThreads);
}

TEST(PoolSize, ProcessPoolFollowsEnvironment) {
  const auto& names = kPoolSizeVariables;
  const size_t want =
      pool_size_from_env({std::getenv(names[0]), std::getenv(names[1]), std::getenv(names[2])},
                         std::thread::hardware_concurrency());
  EXPECT_EQ(WorkerPool::instance().threads(), want);
  EXPECT_EQ(&WorkerPool::instance(), &WorkerPool::instance());
}

TEST(PoolSize, PrivatePools) {
  EXPECT_EQ(WorkerPool(0).threads(), 1u);
  EXPECT_EQ(WorkerPool(1).threads(), 1u);
  EXPECT_EQ(WorkerPool(3).threads(), 3u);
}

// ---- parallel_for ----

TEST(ParallelFor, EveryItemExactlyOnce) {
  for (size_t threads : kPoolSizes) {
    WorkerPool pool(threads);
    for (int round = 0; round < 20; ++round)
      for (size_t n : kItemCounts) expect_each_item_once(pool, n);
  }
  for (size_t n : kItemCounts) expect_each_item_once(WorkerPool::instance(), n);
}

TEST(ParallelFor, AcceptsPlainFunctions) {
  static std::atomic<size_t> sum;
  sum = 0;
  struct F {
    static void add(size_t i) { sum += i; }
  };
  WorkerPool pool(3);
  pool.parallel_for(100, &F::add);
  pool.parallel_for(100, F::add);
  EXPECT_EQ(sum.load(), 2 * 4950u);
}

TEST(ParallelFor, ZeroAndOneItemsStayOnTheCaller) {
  WorkerPool pool(4);
  bool called = false;
  pool.parallel_for(0, [&](size_t) { called = true; });
  EXPECT_FALSE(called);
  std::thread::id where;
  pool.parallel_for(1, [&](size_t i) {
    EXPECT_EQ(i, 0u);
    where = std::this_thread::get_id();
  });
  EXPECT_EQ(where, std::this_thread::get_id());
}

TEST(ParallelFor, OneThreadPoolRunsEverythingOnTheCaller) {
  WorkerPool pool(1);
  std::vector<std::thread::id> where(50);
  pool.parallel_for(50, [&](size_t i) { where[i] = std::this_thread::get_id(); });
  for (const auto& id : where) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(ParallelFor, WorkersTakePart) {
  // Item 0 and item 1 wait for each other, so the loop can only finish with
  // two participants running at once. The bound only turns a broken pool
  // into a failure instead of a hang.
  WorkerPool pool(2);
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> started{0};
    std::atomic<bool> overlapped{true};
    pool.parallel_for(2, [&](size_t) {
      started.fetch_add(1);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (started.load() < 2) {
        if (std::chrono::steady_clock::now() > deadline) {
          overlapped = false;
          return;
        }
        std::this_thread::yield();
      }
    });
    ASSERT_TRUE(overlapped.load()) << "round " << round;
  }
}

TEST(ParallelFor, ExceptionIsRethrownAfterAllItems) {
  for (size_t threads : kPoolSizes) {
    WorkerPool pool(threads);
    for (size_t n : {1, 2, 5, 64, 300}) {
      std::atomic<size_t> ran{0};
      std::set<std::string> thrown;
      for (size_t i = 0; i < n; ++i)
        if (i % 7 == 0) thrown.insert("item " + std::to_string(i));
      try {
        pool.parallel_for(n, [&](size_t i) {
          ran.fetch_add(1);
          if (i % 7 == 0) throw std::runtime_error("item " + std::to_string(i));
        });
        FAIL() << "no exception, threads=" << threads << " n=" << n;
      } catch (const std::runtime_error& e) {
        EXPECT_TRUE(thrown.count(e.what())) << e.what();
      }
      EXPECT_EQ(ran.load(), n) << "threads=" << threads;
      expect_each_item_once(pool, 33);  // still usable afterwards
    }
  }
}

TEST(ParallelFor, NestedLoopsDoNotDeadlock) {
  for (size_t threads : kPoolSizes) {
    WorkerPool pool(threads);
    std::vector<std::atomic<int>> hits(16 * 24);
    pool.parallel_for(16, [&](size_t outer) {
      pool.parallel_for(24, [&](size_t inner) { hits[outer * 24 + inner].fetch_add(1); });
    });
    for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << threads << "/" << i;
  }
  // Through the process pool, three levels deep.
  std::atomic<size_t> leaves{0};
  WorkerPool& pool = WorkerPool::instance();
  pool.parallel_for(4, [&](size_t) {
    pool.parallel_for(5, [&](size_t) { pool.parallel_for(6, [&](size_t) { leaves++; }); });
  });
  EXPECT_EQ(leaves.load(), 120u);
}

TEST(ParallelFor, ConcurrentCallersAllComplete) {
  for (size_t threads : {2, 3, 4}) {
    WorkerPool pool(threads);
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c)
      callers.emplace_back([&, c] {
        const size_t sizes[] = {2, 17, 64, 3};
        for (int round = 0; round < 300; ++round) {
          const size_t n = sizes[(round + c) % 4];
          std::vector<std::atomic<int>> hits(n);
          pool.parallel_for(n, [&](size_t i) { hits[i].fetch_add(1); });
          for (auto& h : hits)
            if (h.load() != 1) failures++;
        }
      });
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(failures.load(), 0) << "threads=" << threads;
  }
}

TEST(ParallelFor, ConcurrentCallersOnTheProcessPool) {
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c)
    callers.emplace_back([&] {
      for (int round = 0; round < 200; ++round) {
        std::vector<std::atomic<int>> hits(8 * 9);
        WorkerPool::instance().parallel_for(8, [&](size_t outer) {
          WorkerPool::instance().parallel_for(9, [&](size_t inner) {
            hits[outer * 9 + inner].fetch_add(1);
          });
        });
        for (auto& h : hits)
          if (h.load() != 1) failures++;
      }
    });
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(failures.load(), 0);
}

// ---- chunked loops ----

TEST(ParallelChunks, ZeroChunkIsAnError) {
  std::vector<float> buf(8), other(8);
  auto body = [](size_t, std::span<float>) {};
  auto body2 = [](size_t, std::span<float>, std::span<float>) {};
  try {
    parallel_chunks(buf, 0, body);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "chunk size must be non-zero");
  }
  EXPECT_THROW(parallel_chunks2(buf, 0, other, 4, body2), std::invalid_argument);
  EXPECT_THROW(parallel_chunks2(buf, 4, other, 0, body2), std::invalid_argument);
  // An empty buffer is still a zero-chunk error: the size is checked first.
  EXPECT_THROW(parallel_chunks(std::span<float>(), 0, body), std::invalid_argument);
}

TEST(ParallelChunks, ChunksTileTheBuffer) {
  struct Case {
    size_t len, chunk, items;
  };
  for (Case c : {Case{10, 4, 3}, Case{12, 4, 3}, Case{1, 4, 1}, Case{0, 4, 0},
                 Case{1000, 7, 143}, Case{5, 1, 5}}) {
    std::vector<float> buf(c.len, 0.0f);
    std::vector<std::atomic<int>> seen(c.items + 1);
    parallel_chunks(buf, c.chunk, [&](size_t item, std::span<float> piece) {
      seen[item < c.items ? item : c.items]++;
      EXPECT_EQ(piece.data(), buf.data() + item * c.chunk);
      const size_t want = item + 1 < c.items ? c.chunk : c.len - item * c.chunk;
      EXPECT_EQ(piece.size(), want) << "len=" << c.len << " item=" << item;
      for (float& v : piece) v += float(item + 1);
    });
    for (size_t i = 0; i < c.items; ++i) EXPECT_EQ(seen[i].load(), 1);
    EXPECT_EQ(seen[c.items].load(), 0);
    for (size_t i = 0; i < c.len; ++i) ASSERT_EQ(buf[i], float(i / c.chunk + 1)) << i;
  }
}

TEST(ParallelChunks, TwoBuffersCoverTheSmallerCount) {
  // a: 10 floats in chunks of 4 (3 chunks, the last short); b: 12 floats in
  // chunks of 2 (6 chunks). Either way round the loop runs 3 items.
  const float want_a[] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3};
  const float want_b[] = {1, 1, 2, 2, 3, 3, 0, 0, 0, 0, 0, 0};
  for (bool a_first : {true, false}) {
    std::vector<float> a(10, 0.0f), b(12, 0.0f);
    std::atomic<size_t> items{0};
    auto mark = [&](size_t item, std::span<float> piece) {
      for (float& v : piece) v = float(item + 1);
    };
    if (a_first)
      parallel_chunks2(a, 4, b, 2, [&](size_t item, std::span<float> x, std::span<float> y) {
        items++;
        EXPECT_EQ(x.size(), item < 2 ? 4u : 2u);
        EXPECT_EQ(y.size(), 2u);
        mark(item, x);
        mark(item, y);
      });
    else
      parallel_chunks2(b, 2, a, 4, [&](size_t item, std::span<float> x, std::span<float> y) {
        items++;
        mark(item, x);
        mark(item, y);
      });
    EXPECT_EQ(items.load(), 3u);
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i], want_a[i]) << i;
    for (size_t i = 0; i < b.size(); ++i) EXPECT_EQ(b[i], want_b[i]) << i;
  }
}

}  // namespace
}  // namespace pinnet::core
