#pragma once

#include "tarvos/core/Export.h"
#include "tarvos/core/Object.h"
#include "tarvos/core/Writer.h"

namespace Tarvos::Service {

// The process's reference tracker: while running, it watches every reference taken and dropped
// on an ObjectImpl (through the hook of Object.h) and keeps a record of each object referenced
// since Start that has not been destroyed since: its type, its reference count and, with details,
// the history of its reference operations with the call stack of each. The report lists the
// objects still in use; run at process exit it shows what was never released.
//
// An object is recorded from the first reference taken on it while the tracker runs; its record
// goes when its last reference is dropped. A history keeps the newest 1024 operations of its
// object. The tracker's own references (and everything referenced while it records or reports)
// are not recorded.
//
// Report, one message per line (to a Writer: each followed by "\n"):
//   "REFCOUNT-SUMMARY: <objects> objects still in use."
//   "<type> : <objects> obj(s) : <references> ref(s)"            one per type, sorted by type
// and with details:
//   "REFCOUNT-STACK TRACES of objects in use"
//   then per object, in the order they were first recorded, its block (below).
// Block of one object, named "[" type ":" address "]" like ObjectImpl::ToString:
//   "BEGIN Object <name>"
//   "*** Reference count = <count>"
//   "*** Operation <n> (count = <count after>, uid = <holder>):"   per recorded operation
//   "\n<call stack>"                                                 its frames, one per line
//   "END Object <name>"
// <n> numbers the operations of one object from 1; the uid is the address of the holder (the
// Ref) that took or dropped the reference, or -1 when it was not named. The report is made from
// the records alone and never touches a recorded object, which may be gone by then.
//
// Thread-safety: safe for concurrent use. The hook runs on the threads that take and drop
// references and serialises on the tracker's lock, which is never held while logging.
class TARVOS_API RefTracker {
public:
    RefTracker(const RefTracker&) = delete;
    RefTracker& operator=(const RefTracker&) = delete;

    // Installs the recording hook, forgets everything recorded before, remembers whether to
    // record call stacks, and logs "RefTracker started with printDetails <true|false>" at level
    // 5. The messages go to the logger "RefTracker", made here from the default logger's family
    // when one is set (otherwise the logger made by an earlier Start stays in use, if any).
    void Start(bool printDetails);
    // Logs "RefTracker stopped" at level 5 and removes the hook. The records stay for a report.
    void Stop();
    bool IsRunning() const;

    // Writes the report to `out`.
    void WriteReport(Writer& out);
    // Logs the report through the "RefTracker" logger at level 5 (nothing without a logger).
    void LogReport();
    // Writes the block of `object`, or "*** Object not found!" when it is not recorded (it was
    // not referenced since Start, or it is gone).
    void WriteObjectReport(const Object* object, Writer& out);

private:
    friend RefTracker& GetRefTracker();
    RefTracker() = default;
};

// The tracker; it lives until the process ends.
TARVOS_API RefTracker& GetRefTracker();

// Makes the tracker log its report when the process exits (std::exit or a return from main).
// Several calls register it once. The report is written from a thread of its own, since the
// exiting thread's thread-local state is already gone by then; without a logger it goes to
// standard error. Thread-safe.
TARVOS_API void RegisterRefTrackerReportAtExit();

}  // namespace Tarvos::Service
