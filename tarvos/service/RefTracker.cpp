// The reference tracker.
//
// States: stopped (no hook, records kept for a report) <-> running (RecordOperation installed
// as the reference hook). Start and Stop move between them; the state lives in one TrackerState
// that is made on first use and never destroyed, so that hooks called during static destruction
// and the report at process exit find it.
//
// Invariants:
//   1. objects holds one record per object that took a reference since Start and has not
//      dropped its last one since; a record appears only through an IncRef (a drop seen first
//      is either of an object referenced before Start or a drop that lost the race against the
//      object's last one and arrives after its record went) and goes with the drop to 0.
//   2. A record's count is the count after the newest operation recorded for it. Operations of
//      several threads on one object may be recorded in another order than they happened; the
//      next operation puts the count right.
//   3. Records hold addresses and mangled type names only: nothing in a record, nor in a
//      report, reads a recorded object.
//   4. A thread working for the tracker (recording, starting, stopping, reporting) has t_busy
//      set: references it takes or drops meanwhile are not recorded, so the hook never re-enters
//      itself and the tracker's own objects never appear in the report.
//   5. TrackerState::mutex is a leaf lock: no logging, no hook and no reference operation on a
//      recorded object happens while it is held (backtraces are captured before, records that
//      go are destroyed after, reports are written after a snapshot).

#include "tarvos/service/RefTracker.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tarvos/core/Format.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::Service {

namespace {

constexpr char kLoggerName[] = "RefTracker";
constexpr int32_t kReportLevel = LogLevel::Info;
// A long-lived object referenced all the time would otherwise grow its history without bound.
constexpr size_t kMaxHistory = 1024;
const void* const kUnknownHolder = reinterpret_cast<const void*>(-1);

thread_local bool t_busy = false;

// Marks the calling thread as working for the tracker for the lifetime of the scope (nests).
class BusyScope {
public:
    BusyScope() noexcept : _outer(t_busy) { t_busy = true; }
    ~BusyScope() { t_busy = _outer; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    const bool _outer;
};

struct Operation {
    int64_t number = 0;
    int32_t countAfter = 0;
    const void* holder = nullptr;
    // Null when call stacks are not recorded.
    Ref<System::Backtrace> stack;
};

struct ObjectRecord {
    // Mangled name of the dynamic type seen by the newest operation.
    const char* typeName = nullptr;
    int32_t count = 0;
    // When the object was first recorded, for a stable report order.
    uint64_t order = 0;
    // Operations recorded so far, including those the history no longer holds.
    int64_t operations = 0;
    std::deque<Operation> history;
};

// An object's record as the report sees it.
struct ObjectSnapshot {
    const void* address = nullptr;
    const char* typeName = nullptr;
    int32_t count = 0;
    uint64_t order = 0;
    std::vector<Operation> history;
};

struct TrackerState {
    std::mutex mutex;
    // Read without the lock by the hook, to capture a call stack before taking it.
    std::atomic<bool> captureStacks{false};

    // Guarded by mutex.
    bool running = false;
    bool printDetails = false;
    uint64_t nextOrder = 0;
    std::unordered_map<const void*, ObjectRecord> objects;
    Ref<Logger> logger;
};

TrackerState& State() {
    static TrackerState* const state = new TrackerState();
    return *state;
}

void RecordOperation(const ObjectImpl* object, const char* typeName, const void* holder,
                     int32_t delta, int32_t countAfter) {
    if (t_busy) {
        return;
    }
    BusyScope busy;
    try {
        TrackerState& state = State();
        Ref<System::Backtrace> stack;
        if (countAfter > 0 && state.captureStacks.load(std::memory_order_relaxed)) {
            System::GetSystemFactory().CreateBacktrace(stack);
        }
        ObjectRecord gone;
        std::unique_lock<std::mutex> lock(state.mutex);
        if (!state.running) {
            return;
        }
        auto it = state.objects.find(object);
        if (countAfter <= 0) {
            if (it != state.objects.end()) {
                gone = std::move(it->second);
                state.objects.erase(it);
            }
            lock.unlock();
            return;
        }
        if (it == state.objects.end()) {
            if (delta < 0) {
                return;
            }
            it = state.objects.emplace(object, ObjectRecord()).first;
            it->second.order = state.nextOrder++;
        }
        ObjectRecord& record = it->second;
        record.typeName = typeName;
        record.count = countAfter;
        ++record.operations;
        if (state.printDetails) {
            record.history.push_back(Operation{record.operations, countAfter, holder, stack});
            if (record.history.size() > kMaxHistory) {
                stack = std::move(record.history.front().stack);
                record.history.pop_front();
            }
        }
    } catch (...) {
        // A tracker short of memory loses a record, never the reference operation.
    }
}

void CopyRecord(const void* address, const ObjectRecord& record, ObjectSnapshot& snapshot) {
    snapshot.address = address;
    snapshot.typeName = record.typeName;
    snapshot.count = record.count;
    snapshot.order = record.order;
    snapshot.history.assign(record.history.begin(), record.history.end());
}

// The records, in the order the objects were first recorded.
void TakeSnapshot(std::vector<ObjectSnapshot>& objects, bool& printDetails) {
    TrackerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    printDetails = state.printDetails;
    objects.reserve(state.objects.size());
    for (const auto& [address, record] : state.objects) {
        CopyRecord(address, record, objects.emplace_back());
    }
    std::sort(objects.begin(), objects.end(),
              [](const ObjectSnapshot& a, const ObjectSnapshot& b) { return a.order < b.order; });
}

// "[" type ":" address "]", the form of ObjectImpl::ToString.
std::string ObjectName(const ObjectSnapshot& object) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", object.address);
    return "[" + DemangleTypeName(object.typeName) + ":" + address + "]";
}

std::string HolderText(const void* holder) {
    if (holder == kUnknownHolder) {
        return "-1";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%p", holder);
    return text;
}

bool IsReferenceFrame(const std::string& frame) {
    return frame.find("Tarvos::ObjectImpl::IncRef(") != std::string::npos ||
           frame.find("Tarvos::ObjectImpl::DecRef(") != std::string::npos;
}

// The frames of the code that took or dropped the reference, one per line: the capture and the
// reference machinery (up to the innermost IncRef or DecRef frames) are left out.
std::string StackText(const System::Backtrace& stack) {
    const int count = stack.GetFrameCount();
    std::vector<std::string> frames;
    frames.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        frames.push_back(stack.GetFrameText(i));
    }
    size_t first = 0;
    auto reference = std::find_if(frames.begin(), frames.end(), IsReferenceFrame);
    if (reference != frames.end()) {
        while (reference != frames.end() && IsReferenceFrame(*reference)) {
            ++reference;
        }
        first = static_cast<size_t>(reference - frames.begin());
    }
    std::string text;
    for (size_t i = first; i < frames.size(); ++i) {
        if (i > first) {
            text += '\n';
        }
        text += frames[i];
    }
    return text;
}

void AppendObjectBlock(const ObjectSnapshot& object, std::vector<std::string>& lines) {
    const std::string name = ObjectName(object);
    lines.push_back(FormatString("BEGIN Object %1", name));
    lines.push_back(FormatString("*** Reference count = %1", object.count));
    for (const Operation& operation : object.history) {
        lines.push_back(FormatString("*** Operation %1 (count = %2, uid = %3):", operation.number,
                                     operation.countAfter, HolderText(operation.holder)));
        lines.push_back(FormatString("\n%1", operation.stack ? StackText(*operation.stack) : ""));
    }
    lines.push_back(FormatString("END Object %1", name));
}

void BuildReport(std::vector<std::string>& lines) {
    std::vector<ObjectSnapshot> objects;
    bool printDetails = false;
    TakeSnapshot(objects, printDetails);

    // Per type: objects and references.
    std::map<std::string, std::pair<int64_t, int64_t>> types;
    for (const ObjectSnapshot& object : objects) {
        auto& totals = types[DemangleTypeName(object.typeName)];
        ++totals.first;
        totals.second += object.count;
    }
    lines.push_back(FormatString("REFCOUNT-SUMMARY: %1 objects still in use.",
                                 static_cast<int64_t>(objects.size())));
    for (const auto& [type, totals] : types) {
        lines.push_back(
            FormatString("%1 : %2 obj(s) : %3 ref(s)", type, totals.first, totals.second));
    }
    if (!printDetails) {
        return;
    }
    lines.push_back("REFCOUNT-STACK TRACES of objects in use");
    for (const ObjectSnapshot& object : objects) {
        AppendObjectBlock(object, lines);
    }
}

void WriteLines(const std::vector<std::string>& lines, Writer& out) {
    for (const std::string& line : lines) {
        out.Write(line.data(), static_cast<int32_t>(line.size()));
        out.Write("\n", 1);
    }
}

Ref<Logger> CurrentLogger() {
    TrackerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.logger;
}

void LogLines(const Ref<Logger>& logger, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        Log(logger, kReportLevel, line);
    }
    // Report lines are not severe enough to flush by themselves; at exit nothing else would.
    if (auto* writer = dynamic_cast<Writer*>(logger.Get())) {
        try {
            writer->Flush();
        } catch (...) {
        }
    }
}

void WriteToStandardError(const std::vector<std::string>& lines) noexcept {
    for (const std::string& line : lines) {
        std::string text = line + "\n";
        const char* data = text.data();
        size_t left = text.size();
        while (left > 0) {
            const ssize_t written = ::write(STDERR_FILENO, data, left);
            if (written <= 0) {
                return;
            }
            data += written;
            left -= static_cast<size_t>(written);
        }
    }
}

// Runs on a thread of its own at exit (see RegisterRefTrackerReportAtExit).
void ReportAtExit() noexcept {
    BusyScope busy;
    try {
        std::vector<std::string> lines;
        BuildReport(lines);
        if (Ref<Logger> logger = CurrentLogger()) {
            LogLines(logger, lines);
        } else {
            WriteToStandardError(lines);
        }
    } catch (...) {
        // Nothing can be reported any more.
    }
}

}  // namespace

void RefTracker::Start(bool printDetails) {
    BusyScope busy;
    TrackerState& state = State();
    Ref<Logger> fresh;
    if (Ref<Logger> parent = TryGetDefaultLogger()) {
        parent->CreateLogger(kLoggerName, fresh);
    }
    std::unordered_map<const void*, ObjectRecord> forgotten;
    Ref<Logger> previous;
    Ref<Logger> logger;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        forgotten.swap(state.objects);
        state.running = true;
        state.printDetails = printDetails;
        state.captureStacks.store(printDetails, std::memory_order_relaxed);
        state.nextOrder = 0;
        if (fresh) {
            previous = std::move(state.logger);
            state.logger = fresh;
        }
        logger = state.logger;
        SetRefHook(&RecordOperation);
    }
    Log(logger, LogLevel::Info, "RefTracker started with printDetails %1", printDetails);
}

void RefTracker::Stop() {
    BusyScope busy;
    TrackerState& state = State();
    Log(CurrentLogger(), LogLevel::Info, "RefTracker stopped");
    std::lock_guard<std::mutex> lock(state.mutex);
    state.running = false;
    state.captureStacks.store(false, std::memory_order_relaxed);
    SetRefHook(nullptr);
}

bool RefTracker::IsRunning() const {
    TrackerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.running;
}

void RefTracker::WriteReport(Writer& out) {
    BusyScope busy;
    std::vector<std::string> lines;
    BuildReport(lines);
    WriteLines(lines, out);
}

void RefTracker::LogReport() {
    BusyScope busy;
    std::vector<std::string> lines;
    BuildReport(lines);
    LogLines(CurrentLogger(), lines);
}

void RefTracker::WriteObjectReport(const Object* object, Writer& out) {
    BusyScope busy;
    // Records are keyed by the ObjectImpl part, the `this` of IncRef and DecRef.
    const void* const key = dynamic_cast<const ObjectImpl*>(object);
    ObjectSnapshot snapshot;
    bool found = false;
    {
        TrackerState& state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        auto it = state.objects.find(key);
        if (key != nullptr && it != state.objects.end()) {
            CopyRecord(key, it->second, snapshot);
            found = true;
        }
    }
    std::vector<std::string> lines;
    if (found) {
        AppendObjectBlock(snapshot, lines);
    } else {
        lines.push_back("*** Object not found!");
    }
    WriteLines(lines, out);
}

RefTracker& GetRefTracker() {
    static RefTracker* const tracker = new RefTracker();
    return *tracker;
}

void RegisterRefTrackerReportAtExit() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Made now, so that it exists (and is never destroyed) when the handler runs.
        State();
        std::atexit([] {
            // The exiting thread's thread-local state (the logging buffers among it) is
            // destroyed before exit handlers run; a new thread has its own.
            try {
                std::thread reporter(&ReportAtExit);
                reporter.join();
            } catch (...) {
                BusyScope busy;
                std::vector<std::string> lines;
                try {
                    BuildReport(lines);
                } catch (...) {
                }
                WriteToStandardError(lines);
            }
        });
    });
}

}  // namespace Tarvos::Service
