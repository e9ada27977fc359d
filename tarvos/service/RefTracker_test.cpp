#include "tarvos/service/RefTracker.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Ref.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LogManagerImpl.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/service/internal/LogTestSupport.h"

namespace Tarvos::Service {
namespace {

class TrackedAlpha final : public ObjectImpl {};
class TrackedBeta final : public ObjectImpl {};

// Collects text, and writes it to standard error too when asked (where a death test looks).
// Used on the stack it is never referenced, so never recorded itself.
class TextWriter final : public Writer, public ObjectImpl {
public:
    explicit TextWriter(bool toStandardError = false) : _toStandardError(toStandardError) {}
    void Write(const char* data, int32_t length) override {
        _text.append(data, static_cast<size_t>(length));
        if (_toStandardError && ::write(STDERR_FILENO, data, static_cast<size_t>(length)) < 0) {
            std::abort();
        }
    }
    void Flush() override {}
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (size_t start = 0, end; start < _text.size(); start = end + 1) {
            end = _text.find('\n', start);
            lines.push_back(_text.substr(start, end - start));
        }
        return lines;
    }

private:
    const bool _toStandardError;
    std::string _text;
};

std::string AddressText(const void* address) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
}

class RefTrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        _output = new MemoryWriter();
        CreateLogManager(_manager);
        CreateRootLogger("App", _output, _manager, _root);
        SetDefaultLogger(_root);
    }
    void TearDown() override {
        GetRefTracker().Stop();
        SetDefaultLogger(nullptr);
        _manager->Clear();
    }

    static std::vector<std::string> ObjectReport(const Object* object) {
        TextWriter out;
        GetRefTracker().WriteObjectReport(object, out);
        return out.Lines();
    }

    // The report's header and the summary lines of this suite's types (other objects of the
    // process may be in use too).
    static std::vector<std::string> Summary() {
        TextWriter out;
        GetRefTracker().WriteReport(out);
        std::vector<std::string> summary;
        for (const std::string& line : out.Lines()) {
            if (line.starts_with("REFCOUNT-SUMMARY: ") || line.find(" obj(s) : ") != line.npos) {
                if (summary.empty() || line.find("::Tracked") != std::string::npos) {
                    summary.push_back(line);
                }
            }
        }
        return summary;
    }

    Ref<MemoryWriter> _output;
    Ref<LogManager> _manager;
    Ref<Logger> _root;
};

TEST_F(RefTrackerTest, SummaryCountsObjectsStillInUseAndReferencesPerType) {
    GetRefTracker().Start(false);
    Ref<TrackedAlpha> first(new TrackedAlpha());
    Ref<TrackedAlpha> second(new TrackedAlpha());
    Ref<TrackedAlpha> firstAgain(first);
    Ref<TrackedBeta> beta(new TrackedBeta());
    {
        Ref<TrackedBeta> destroyed(new TrackedBeta());
        Ref<TrackedBeta> copy(destroyed);
    }
    const std::vector<std::string> summary = Summary();
    ASSERT_EQ(summary.size(), 3u);
    const std::string count = summary[0].substr(18, summary[0].find(' ', 18) - 18);
    EXPECT_EQ(summary[0], "REFCOUNT-SUMMARY: " + count + " objects still in use.");
    EXPECT_TRUE(!count.empty() && count.find_first_not_of("0123456789") == std::string::npos);
    EXPECT_EQ(summary[1], GetTypeName(*first) + " : 2 obj(s) : 3 ref(s)");
    EXPECT_EQ(summary[2], GetTypeName(*beta) + " : 1 obj(s) : 1 ref(s)");
}

TEST_F(RefTrackerTest, DetailsListEveryOperationWithCountHolderAndCallerStack) {
    GetRefTracker().Start(true);
    Ref<TrackedAlpha> alpha(new TrackedAlpha());
    std::string secondHolder;
    {
        Ref<TrackedAlpha> second(alpha);
        secondHolder = AddressText(&second);
    }
    alpha->IncRef();
    alpha->DecRef();

    // Stacks are checked, then left out of the comparison.
    std::vector<std::string> lines;
    const std::vector<std::string> report = ObjectReport(alpha.Get());
    for (size_t i = 0; i < report.size(); ++i) {
        lines.push_back(report[i]);
        if (report[i].starts_with("*** Operation ")) {
            ASSERT_LT(i + 2, report.size());
            EXPECT_EQ(report[++i], "");
            // The stack starts at the code that took or dropped the reference.
            EXPECT_EQ(report[i + 1].find("libtarvos"), std::string::npos) << report[i + 1];
            while (i + 1 < report.size() && !report[i + 1].starts_with("*** ") &&
                   !report[i + 1].starts_with("END ")) {
                ++i;
            }
        }
    }
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "BEGIN Object " + alpha->ToString(), "*** Reference count = 1",
                  "*** Operation 1 (count = 1, uid = " + AddressText(&alpha) + "):",
                  "*** Operation 2 (count = 2, uid = " + secondHolder + "):",
                  "*** Operation 3 (count = 1, uid = " + secondHolder + "):",
                  "*** Operation 4 (count = 2, uid = -1):",
                  "*** Operation 5 (count = 1, uid = -1):", "END Object " + alpha->ToString()}));
}

// Only references taken while running are recorded: an object is known from its first IncRef
// after Start, since a drop alone cannot tell a live object from one another thread just ended.
TEST_F(RefTrackerTest, RecordsStartAtTheFirstIncRefAfterStart) {
    Ref<TrackedAlpha> alpha(new TrackedAlpha());
    Ref<TrackedAlpha> extra(alpha);
    GetRefTracker().Start(true);
    extra.Reset();
    EXPECT_EQ(ObjectReport(alpha.Get()), std::vector<std::string>{"*** Object not found!"});
    extra = alpha;
    EXPECT_EQ(ObjectReport(alpha.Get()).at(1), "*** Reference count = 2");
    GetRefTracker().Start(false);
    EXPECT_EQ(ObjectReport(alpha.Get()), std::vector<std::string>{"*** Object not found!"});
    GetRefTracker().Stop();
    Ref<TrackedAlpha> whileStopped(alpha);
    EXPECT_EQ(ObjectReport(alpha.Get()), std::vector<std::string>{"*** Object not found!"});

    std::vector<LogLine> lines;
    ASSERT_TRUE(ParseLogLines(_output->Text(), lines));
    std::vector<std::string> messages;
    for (const LogLine& line : lines) {
        messages.push_back(line.name + " " + line.level + ": " + line.message);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "RefTracker info: RefTracker started with printDetails true",
                            "RefTracker info: RefTracker started with printDetails false",
                            "RefTracker info: RefTracker stopped"}));
}

TEST_F(RefTrackerTest, HistoryKeepsTheNewest1024Operations) {
    GetRefTracker().Start(true);
    Ref<TrackedAlpha> alpha(new TrackedAlpha());
    for (int i = 0; i < 1100; ++i) {
        Ref<TrackedAlpha> copy(alpha);
    }
    std::vector<std::string> operations;
    for (const std::string& line : ObjectReport(alpha.Get())) {
        if (line.starts_with("*** Operation ")) {
            operations.push_back(line.substr(0, line.find(", uid")));
        }
    }
    // 1 + 2 * 1100 operations in all.
    ASSERT_EQ(operations.size(), 1024u);
    EXPECT_EQ(operations.front(), "*** Operation 1178 (count = 2");
    EXPECT_EQ(operations.back(), "*** Operation 2201 (count = 1");
}

TEST_F(RefTrackerTest, ConcurrentOperationsKeepRecordsConsistent) {
    GetRefTracker().Start(true);
    Ref<TrackedAlpha> shared(new TrackedAlpha());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int round = 0; round < 300; ++round) {
                Ref<TrackedAlpha> copy(shared);
                Ref<TrackedBeta> local(new TrackedBeta());
                Ref<TrackedBeta> localCopy(local);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Operations of several threads may be recorded out of order; the next one sets the count
    // right.
    Ref<TrackedAlpha>(shared).Reset();
    EXPECT_EQ(Summary().at(1), GetTypeName(*shared) + " : 1 obj(s) : 1 ref(s)");
    EXPECT_EQ(Summary().size(), 2u);
}

ObjectImpl* g_destroyedAtExit = nullptr;

// The report at exit runs after static objects are destroyed; here an exit handler that runs
// before it destroys a recorded object behind the tracker's back, which the report must not
// read (AddressSanitizer would catch it).
TEST_F(RefTrackerTest, ReportAtExitGoesToTheLoggerAndReadsNoObject) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Ref<Logger> root;
            CreateRootLogger("Exit", new TextWriter(true), nullptr, root);
            SetDefaultLogger(root);
            GetRefTracker().Start(true);
            RegisterRefTrackerReportAtExit();
            (new TrackedAlpha())->IncRef();
            g_destroyedAtExit = new TrackedBeta();
            g_destroyedAtExit->IncRef();
            std::atexit([] { delete g_destroyedAtExit; });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "'RefTracker' info [0-9]+\\] REFCOUNT-SUMMARY: [0-9]+ objects still in use\\.\r\n"
        ".*::TrackedAlpha : 1 obj\\(s\\) : 1 ref\\(s\\)\r\n"
        ".*::TrackedBeta : 1 obj\\(s\\) : 1 ref\\(s\\)\r\n"
        ".*REFCOUNT-STACK TRACES of objects in use\r\n"
        ".*BEGIN Object \\[.*::TrackedBeta:0x");
}

}  // namespace
}  // namespace Tarvos::Service
