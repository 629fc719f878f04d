#include "storage/process.h"

#include <pthread.h>

#include "storage/block_pool.h"
#include "storage/siphash.h"

namespace orvex {

namespace {

void before_fork() noexcept { pool_before_fork(); }
void in_parent() noexcept { pool_after_fork_in_parent(); }
void in_child() noexcept {
  pool_after_fork_in_child();
  new_map_keys_after_fork();
}

}  // namespace

void prepare_process() noexcept {
  static const bool installed = [] {
    pool_trim();  // makes the pool (an empty one has nothing to give back)
    return pthread_atfork(before_fork, in_parent, in_child) == 0;
  }();
  (void)installed;
}

}  // namespace orvex
