#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvos/authorize/ImpersonateManager.h"
#include "tarvos/authorize/ImpersonateManagerImpl.h"
#include "tarvos/authorize/ImpersonateSessionObject.h"
#include "tarvos/core/Exception.h"
#include "tarvos/core/SessionMixin.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/Impersonator.h"
#include "tarvos/system/UserToken.h"

namespace Tarvos::Impersonate {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// An Impersonator that records what the manager asks of it.
class FakeImpersonator final : public System::Impersonator, public ObjectImpl {
public:
    bool Impersonate(const std::string& userName, const Ref<System::UserToken>& token) override {
        calls.push_back(userName);
        lastToken = token;
        return result;
    }
    void Revert() override { calls.push_back("revert"); }
    void GetCurrentUserName(std::string& userName) override { userName = "fake-user"; }

    bool result = true;
    std::vector<std::string> calls;
    Ref<System::UserToken> lastToken;
};

class ForeignSessionObject final : public SessionObject, public ObjectImpl {
public:
    void OnSessionClosed() override {}
};

// Captures the default logger's lines (level info and above) as "<level> <message>".
class ImpersonateTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateStringWriter(_output);
        Ref<Service::Logger> logger;
        Service::CreateRootLogger("test", _output, nullptr, logger);
        Service::SetDefaultLogger(logger);
        RemoveImpersonateManager();
    }
    void TearDown() override {
        RemoveImpersonateManager();
        Service::SetDefaultLogger(nullptr);
    }

    std::vector<std::string> LoggedLines() {
        std::vector<std::string> lines;
        std::istringstream in(_output->ToString());
        for (std::string line; std::getline(in, line, '\n');) {
            const size_t level = line.find("' ") + 2;
            lines.push_back(line.substr(level, line.find(' ', level) - level) + " " +
                            line.substr(line.find("] ") + 2, line.size() - line.find("] ") - 3));
        }
        return lines;
    }

    Ref<SessionObject> Context() {
        Ref<SessionObject> context;
        _session->GetSessionObject(kImpersonationContext, context);
        return context;
    }

    Ref<StringWriter> _output;
    Ref<FakeImpersonator> _impersonator{new FakeImpersonator()};
    Ref<ImpersonateManager> _manager{new ImpersonateManagerImpl(_impersonator)};
    Ref<SessionMixin> _session{new SessionMixin("s-1")};
    Ref<System::UserToken> _token{new System::UserToken("alice", 1234, 1234, {1234})};
};

TEST_F(ImpersonateTest, BeginAndEndKeepTheContextInTheSessionAndLog) {
    _manager->BeginImpersonation(*_session, "alice", _token);
    const Ref<ImpersonateSessionObject> context = RefCast<ImpersonateSessionObject>(Context());
    ASSERT_TRUE(context);
    EXPECT_EQ(context->GetUserName(), "alice");
    EXPECT_EQ(context->GetToken(), _token);
    EXPECT_TRUE(_manager->IsImpersonating(*_session));

    _manager->EndImpersonation(*_session);
    EXPECT_FALSE(_manager->IsImpersonating(*_session));
    _manager->EndImpersonation(*_session);  // nothing left to remove is no error
    _manager->BeginImpersonation(*_session, "bob", nullptr);
    EXPECT_THAT(LoggedLines(), ElementsAre("info Impersonating user alice in session s-1",
                                           "info Stopped impersonating in session s-1",
                                           "info Stopped impersonating in session s-1",
                                           "info Impersonating user bob in session s-1"));
}

TEST_F(ImpersonateTest, BeginTwiceThrowsAlreadyExistsAndKeepsTheFirstUser) {
    _manager->BeginImpersonation(*_session, "alice", _token);
    EXPECT_THROW(_manager->BeginImpersonation(*_session, "bob", nullptr), AlreadyExistsException);
    EXPECT_EQ(RefCast<ImpersonateSessionObject>(Context())->GetUserName(), "alice");
    EXPECT_EQ(LoggedLines().size(), 1u);
}

TEST_F(ImpersonateTest, ClosingTheSessionReleasesTheTokenAndRefusesBegin) {
    const int32_t before = _token->GetRefCount();
    _manager->BeginImpersonation(*_session, "alice", _token);
    _session->CloseSession();
    EXPECT_EQ(_token->GetRefCount(), before);
    EXPECT_FALSE(_manager->ImpersonateThread(*_session));
    EXPECT_THROW(_manager->BeginImpersonation(*_session, "alice", _token), InvalidStateException);
    EXPECT_FALSE(_manager->IsImpersonating(*_session));
    EXPECT_THAT(_impersonator->calls, IsEmpty());
    EXPECT_EQ(LoggedLines().size(), 1u);
}

TEST_F(ImpersonateTest, ImpersonateThreadWithoutContextLeavesTheThread) {
    EXPECT_FALSE(_manager->ImpersonateThread(*_session));
    EXPECT_THAT(_impersonator->calls, IsEmpty());
}

TEST_F(ImpersonateTest, ImpersonateThreadWithForeignContextThrowsTypeMismatch) {
    _session->SetSessionObject(kImpersonationContext,
                               Ref<SessionObject>(new ForeignSessionObject()));
    try {
        _manager->ImpersonateThread(*_session);
        FAIL() << "nothing thrown";
    } catch (const TypeMismatchException& e) {
        EXPECT_THAT(e.GetMessage(), HasSubstr("ForeignSessionObject"));
    }
    EXPECT_THAT(_impersonator->calls, IsEmpty());
}

class ImpersonateResultTest : public ImpersonateTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ImpersonateResultTest, ImpersonateThreadPassesTheContextOnAndReturnsTheResult) {
    _impersonator->result = GetParam();
    _manager->BeginImpersonation(*_session, "alice", _token);
    EXPECT_EQ(_manager->ImpersonateThread(*_session), GetParam());
    _manager->RevertThread();
    EXPECT_THAT(_impersonator->calls, ElementsAre("alice", "revert"));
    EXPECT_EQ(_impersonator->lastToken, _token);
}

INSTANTIATE_TEST_SUITE_P(Results, ImpersonateResultTest, ::testing::Bool());

TEST_F(ImpersonateTest, WithoutProcessManagerGetAndBeginLogAndThrowNotInitialized) {
    Ref<ImpersonateManager> manager;
    EXPECT_THROW(GetImpersonateManager(manager), NotInitializedException);
    EXPECT_THROW(BeginImpersonation(*_session, "alice", nullptr), NotInitializedException);
    EXPECT_FALSE(Context());
    EXPECT_THAT(LoggedLines(), ElementsAre("error Impersonation not initialized",
                                           "error Impersonation not initialized"));
}

TEST_F(ImpersonateTest, ProcessManagerIsOneUntilRemoved) {
    Ref<ImpersonateManager> created;
    CreateImpersonateManager(created);
    Ref<ImpersonateManager> other;
    EXPECT_THROW(CreateImpersonateManager(other), AlreadyInitializedException);
    GetImpersonateManager(other);
    EXPECT_EQ(other, created);
    BeginImpersonation(*_session, "alice", nullptr);
    EXPECT_TRUE(created->IsImpersonating(*_session));

    RemoveImpersonateManager();
    EXPECT_THROW(GetImpersonateManager(other), NotInitializedException);
    CreateImpersonateManager(other);
    EXPECT_NE(other, created);
}

// One worker serves two sessions in turn, as a pool thread does: it runs as each session's user
// for that session's work and as itself in between (needs root).
TEST_F(ImpersonateTest, WorkerRunsEachSessionsWorkAsItsUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "switching a thread's user needs root; the manager's logic is covered "
                        "by the other tests";
    }
    Ref<System::UserToken> nobody;
    System::CreateUserToken("nobody", nobody);
    const Ref<ImpersonateManager> manager(new ImpersonateManagerImpl());
    const Ref<SessionMixin> plain(new SessionMixin("plain"));
    manager->BeginImpersonation(*_session, "nobody", nobody);

    std::vector<std::string> seen;
    std::vector<uid_t> uids;
    std::thread worker([&] {
        for (const Ref<SessionMixin>& session : {_session, plain, _session}) {
            const bool switched = manager->ImpersonateThread(*session);
            seen.emplace_back();
            manager->GetThreadUserName(seen.back());
            uids.push_back(geteuid());
            if (switched) {
                manager->RevertThread();
            }
        }
    });
    worker.join();
    EXPECT_THAT(seen, ElementsAre("nobody", "root", "nobody"));
    EXPECT_THAT(uids, ElementsAre(nobody->GetUid(), 0u, nobody->GetUid()));
}

}  // namespace
}  // namespace Tarvos::Impersonate
