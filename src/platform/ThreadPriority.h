// Scheduling priority of the calling thread.
//
// "Time-critical" threads (device reading loops) ask for SCHED_FIFO; "below
// normal" ones for a higher nice value. Both are best effort: when the system
// refuses (no privilege), the thread keeps its normal priority and goes on.
#pragma once

namespace zorv {

// SCHED_FIFO at a high priority; false when refused.
bool SetCurrentThreadTimeCritical();
// Nice value raised by one step above the current one; false when refused.
bool LowerCurrentThreadPriority();
// Nice value of "below normal" (+5 over the process's); false when refused.
bool SetCurrentThreadBelowNormal();
// The lowest priority (nice 19): runs only when nothing else wants the CPU.
bool SetCurrentThreadLowest();

}  // namespace zorv
