// The prompt-prefix cache methods V2Engine and V3Engine share: the bodies
// over any runner with set_prefix_cache_bytes, clear_prefix_cache and
// prefix_cache_info, and their docstrings.
#pragma once

#include <cstdint>

#include "python/binding.h"
#include "runners/prefix_cache.h"

namespace pinnet::py {

template <class Runner>
PyObject* set_prefix_cache_bytes(const Runner& r, uint64_t bytes) {
  r.set_prefix_cache_bytes(bytes);
  Py_INCREF(Py_None);
  return Py_None;
}

template <class Runner>
PyObject* clear_prefix_cache(const Runner& r) {
  r.clear_prefix_cache();
  Py_INCREF(Py_None);
  return Py_None;
}

template <class Runner>
PyObject* prefix_cache_info(const Runner& r) {
  const runners::PrefixCacheInfo info = r.prefix_cache_info();
  DictBuilder d;
  d.add("bytes", info.bytes)
      .add("capacity", info.capacity)
      .add("entries", info.entries)
      .add("hits", info.hits)
      .add("misses", info.misses);
  return d.release();
}

}  // namespace pinnet::py

#define PINNET_SET_PREFIX_CACHE_BYTES_DOC                                                  \
  "set_prefix_cache_bytes($self, n)\n--\n\n"                                               \
  "Bound the prompt-prefix cache to `n` bytes (0 disables it and drops\n"                 \
  "every entry).\n\n"                                                                     \
  "The engine keeps the model state after the fixed part of the prompts it\n"             \
  "ran (system text and tool list), so a call that repeats one prefills\n"                \
  "only its query: the results are the same as without the cache. The\n"                 \
  "least recently used entries go first. The default is\n"                                \
  "PINNET_PREFIX_CACHE_BYTES from the environment, else 64 MiB."

#define PINNET_CLEAR_PREFIX_CACHE_DOC \
  "clear_prefix_cache($self)\n--\n\nDrop every prompt-prefix cache entry (the counters stay)."

#define PINNET_PREFIX_CACHE_INFO_DOC                                                       \
  "prefix_cache_info($self)\n--\n\n"                                                       \
  "The prompt-prefix cache as a dict: `bytes` held, `capacity`, `entries`,\n"             \
  "`hits` (calls that started from a kept prefix) and `misses` (calls\n"                  \
  "long enough to start from one that found none)."
