// Pauses the cycle collector while a large result of cycle-free containers
// is built (to_dict): each element adds two tracked containers, and without
// the pause the collector's passes over the growing result take most of the
// time.
//
// The collector is one switch for the whole process, so pauses are counted:
// overlapping calls on several threads share one pause, and the collector
// comes back when the last of them ends, and only when it was enabled before
// the first began. (Per call, the first call to end would switch it back on
// while another still builds its result.) A call of gc.enable() or
// gc.disable() made while a pause lasts is overridden when it ends.
#pragma once

namespace orvex::py {

class CollectorPause {
 public:
  CollectorPause();
  ~CollectorPause();

  // Before a pause that made a large result ends: lets threads waiting for
  // the interpreter's lock run first, so that one about to convert joins
  // this pause. Otherwise, with the lock, the other thread's first
  // allocation, made while this result is still alive in its caller's
  // hands, would start the collector's pass over all of it (the objects a
  // pause made are all young). Nothing where there is no global lock.
  void let_others_join();
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
};

// Makes the pause's state and keeps it usable across fork(); once per
// process, from the module's execution.
void prepare_collector_pause();

}  // namespace orvex::py
