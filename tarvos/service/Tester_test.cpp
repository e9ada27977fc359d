#include "tarvos/service/Tester.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/LogManagerImpl.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/service/internal/LogTestSupport.h"

namespace Tarvos::Service {
namespace {

class TesterTest : public ::testing::Test {
protected:
    void SetUp() override {
        _output = new MemoryWriter();
        CreateLogManager(_manager);
        CreateRootLogger("App", _output, _manager, _logger);
        Ref<Config> config;
        CreateScratchConfig(config);
        config->GetRootView(_view);
        _view->SetBool("Journal.WriteFails", true);
        _view->SetBool("Group/Quiet", false);
    }
    void TearDown() override {
        ShutdownTester();
        _manager->Clear();
    }

    Ref<MemoryWriter> _output;
    Ref<LogManager> _manager;
    Ref<Logger> _logger;
    Ref<Config::View> _view;
};

// The failure path a trigger guards, as product code writes it.
bool WriteJournal() {
    if (TARVOS_TF("Journal.WriteFails")) {
        return false;
    }
    return true;
}

TEST_F(TesterTest, FiringTriggerTakesTheFailurePathAndIsLoggedAtWarningLevel) {
    EXPECT_TRUE(WriteJournal());
    InitTester(_view, _logger);
    EXPECT_FALSE(WriteJournal());
    std::vector<LogLine> lines;
    ASSERT_TRUE(ParseLogLines(_output->Text(), lines));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, "warning");
    EXPECT_EQ(lines[0].message, "Negative test trigger 'Journal.WriteFails' firing");
}

TEST_F(TesterTest, MissingOrFalseTriggerIsFalseAndSilent) {
    InitTester(_view, _logger);
    EXPECT_FALSE(TARVOS_TF("Absent"));
    EXPECT_FALSE(TARVOS_TF("Group/Quiet"));
    EXPECT_FALSE(GetTester()->IsTriggered("TARVOS_TF(\"Group\")"));
    EXPECT_EQ(_output->Text(), "");
}

class TesterTriggerTextTest : public TesterTest,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(TesterTriggerTextTest, MalformedTriggerTextThrowsInvalidArgument) {
    InitTester(_view, _logger);
    try {
        GetTester()->IsTriggered(GetParam());
        ADD_FAILURE() << "accepted: " << GetParam();
    } catch (const InvalidArgumentException& e) {
        EXPECT_EQ(e.GetMessage(), "Invalid argument");
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, TesterTriggerTextTest,
                         ::testing::Values("", "Journal.WriteFails", "\"Journal.WriteFails\"",
                                           "TARVOS_T(\"Journal.WriteFails\")", "TARVOS_TF",
                                           "TARVOS_TF(\")", "TARVOS_TF(\"\")",
                                           "TARVOS_TF(Journal.WriteFails)",
                                           "TARVOS_TF(\"Journal.WriteFails\"",
                                           "TARVOS_TF(\"Journal.WriteFails\") "));

TEST_F(TesterTest, TesterExistsFromInitUntilShutdown) {
    EXPECT_THROW(GetTester(), NotInitializedException);
    EXPECT_THROW(InitTester(nullptr, _logger), InvalidArgumentException);
    InitTester(_view, _logger);
    Ref<Tester> first = GetTester();
    Ref<Config> other;
    CreateScratchConfig(other);
    Ref<Config::View> otherView;
    other->GetRootView(otherView);
    EXPECT_THROW(InitTester(otherView, nullptr), AlreadyInitializedException);
    EXPECT_TRUE(GetTester() == first);

    ShutdownTester();
    EXPECT_THROW(GetTester(), NotInitializedException);
    EXPECT_TRUE(WriteJournal());
    // A tester without a logger fires silently.
    InitTester(_view, nullptr);
    EXPECT_FALSE(WriteJournal());
    EXPECT_EQ(_output->Text(), "");
}

}  // namespace
}  // namespace Tarvos::Service
