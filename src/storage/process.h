// What the core keeps for the whole process (the block pool's kept memory,
// the per-thread hash keys of the attribute maps) stays usable across
// fork(), from any thread and at any moment: a child may call every function
// at once, whatever the parent's other threads were doing.
#pragma once

namespace orvex {

// Installs the fork handlers, once per process (later calls do nothing), and
// makes the state they guard. Call it before other threads may fork: the
// module does so when it is first imported, under the import lock that
// os.fork() takes too.
void prepare_process() noexcept;

}  // namespace orvex
