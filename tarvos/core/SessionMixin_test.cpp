#include "tarvos/core/SessionMixin.h"

#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/SessionPool.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/core/internal/SessionTestSupport.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"

namespace Tarvos {
namespace {

using Testing::EventLog;
using Testing::Probe;

// Records what SetExpiration hands it; reading the session back inside Add would end the
// process if the session still held its own (non-recursive) lock.
class RecordingOwner final : public SessionPool, public ObjectImpl {
public:
    void Add(const Ref<Session>& session) override { seen.push_back(session->GetExpiration()); }
    bool Remove(const std::string&) override { return false; }
    bool Lookup(const std::string&, Ref<Session>&) override { return false; }
    void FindByUser(const std::string&, std::vector<Ref<Session>>&) override {}
    std::vector<int64_t> seen;
};

class SessionMixinTest : public ::testing::Test {
protected:
    Ref<Probe> NewProbe(const std::string& name) { return Ref<Probe>(new Probe(name, &_log)); }

    EventLog _log;
    Ref<SessionMixin> _session{new SessionMixin("s1")};
};

TEST_F(SessionMixinTest, SessionObjectsAreInsertedRemovedAndNeverReplaced) {
    Ref<Probe> first = NewProbe("first");
    Ref<SessionObject> found;
    _session->SetSessionObject("a", nullptr);  // absent name, null object: no entry
    _session->GetSessionObject("a", found);
    EXPECT_FALSE(found);
    _session->SetSessionObject("a", first);
    EXPECT_THROW(_session->SetSessionObject("a", NewProbe("second")), AlreadyExistsException);
    _session->GetSessionObject("a", found);
    EXPECT_EQ(found.Get(), static_cast<SessionObject*>(first.Get()));
    _session->SetSessionObject("a", nullptr);
    _session->GetSessionObject("a", found);
    EXPECT_FALSE(found);
    EXPECT_EQ(first->Closed(), 0);  // removing is not closing
}

TEST_F(SessionMixinTest, CloseNotifiesObjectsInNameOrderThenAuthDataOnce) {
    _session->SetSessionObject("zeta", NewProbe("zeta"));
    _session->SetSessionObject("alpha", NewProbe("alpha"));
    Ref<Probe> calling = NewProbe("mid");
    calling->action = [this] { EXPECT_EQ(_session->GetId(), "s1"); };  // no lock held
    _session->SetSessionObject("mid", calling);
    _session->SetAuthData(NewProbe("auth"));

    _session->CloseSession();
    Ref<Probe> late = NewProbe("late-auth");
    _session->SetAuthData(late);
    _session->CloseSession();

    EXPECT_EQ(_log.Events(), (std::vector<std::string>{"alpha", "mid", "zeta", "auth"}));
    EXPECT_TRUE(_session->IsClosed());
    Ref<SessionObject> object;
    _session->GetSessionObject("alpha", object);
    Ref<SessionAuthData> authData;
    _session->GetAuthData(authData);
    EXPECT_FALSE(object);
    EXPECT_FALSE(authData);  // taken out by the second close, not notified
    EXPECT_THROW(_session->SetSessionObject("new", NewProbe("new")), InvalidStateException);
}

TEST_F(SessionMixinTest, FailingNotificationDoesNotCostTheOthersTheirs) {
    Ref<Probe> failing = NewProbe("a");
    failing->action = [] { throw std::runtime_error("close failed"); };
    Ref<Probe> next = NewProbe("b");
    Ref<Probe> authData = NewProbe("auth");
    _session->SetSessionObject("a", failing);
    _session->SetSessionObject("b", next);
    _session->SetAuthData(authData);
    EXPECT_THROW(_session->CloseSession(), std::runtime_error);
    EXPECT_EQ(next->Closed(), 1);
    EXPECT_EQ(authData->Closed(), 1);
}

// Racing closes notify once; an object set while another thread closes is either notified or
// refused, never left behind in the closed session.
TEST(SessionCloseRaceTest, EveryObjectIsNotifiedExactlyOnceOrRefused) {
    for (int round = 0; round < 200; ++round) {
        Ref<SessionMixin> session(new SessionMixin("race"));
        Ref<Probe> object(new Probe("o")), late(new Probe("late"));
        session->SetSessionObject("o", object);
        bool refused = false;
        std::thread closer([&] { session->CloseSession(); });
        std::thread adder([&] {
            try {
                session->SetSessionObject("late", late);
            } catch (const InvalidStateException&) {
                refused = true;
            }
        });
        session->CloseSession();
        closer.join();
        adder.join();
        ASSERT_EQ(object->Closed(), 1) << "round " << round;
        ASSERT_EQ(late->Closed() + (refused ? 1 : 0), 1) << "round " << round;
    }
}

TEST(SessionCloseLogTest, CloseIsLoggedAtTriviaThroughTheDefaultLogger) {
    Ref<StringWriter> output;
    CreateStringWriter(output);
    Ref<Service::Logger> logger;
    Service::CreateRootLogger("sessions", output, nullptr, logger);
    logger->SetLevel(Service::LogLevel::Trivia);
    Service::SetDefaultLogger(logger);
    Ref<SessionMixin>(new SessionMixin("abc-42"))->CloseSession();
    Service::SetDefaultLogger(nullptr);
    Ref<SessionMixin>(new SessionMixin("unlogged"))->CloseSession();

    const std::string text = output->ToString();
    EXPECT_NE(text.find("' trivia "), std::string::npos) << text;
    EXPECT_NE(text.find("] CloseSession called for session id=abc-42\r\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("unlogged"), std::string::npos) << text;
}

TEST_F(SessionMixinTest, ExpirationIsReportedToTheOwnerAndDecidesExpiry) {
    EXPECT_FALSE(_session->IsExpired());  // never, from the start
    Ref<RecordingOwner> owner(new RecordingOwner());
    _session->SetOwner(owner);
    _session->SetExpiration(SessionNow() - 1);
    EXPECT_TRUE(_session->IsExpired());
    _session->SetExpiration(SessionNow() + 3600LL * 1000000);
    EXPECT_FALSE(_session->IsExpired());
    _session->SetExpiration(-5);  // any negative time is never
    EXPECT_FALSE(_session->IsExpired());
    _session->SetOwner(nullptr);
    _session->SetExpiration(kNever);
    ASSERT_EQ(owner->seen.size(), 3u);
    EXPECT_EQ(owner->seen[2], -5);
}

class FakeBinding final : public System::BindingInfo, public ObjectImpl {
public:
    explicit FakeBinding(System::BindingKind kind) : _kind(kind) {}
    System::BindingKind GetKind() const override { return _kind; }
    std::string GetText() const override { return "fake"; }

private:
    const System::BindingKind _kind;
};

TEST_F(SessionMixinTest, GetBindingFindsTheFirstOfItsKindOrLeavesTheOutputsAlone) {
    using System::BindingKind;
    Ref<System::BindingInfo> tcp1(new FakeBinding(BindingKind::Tcp));
    Ref<Object> tcpObject = NewProbe("tcp");
    _session->AddBinding(tcp1, tcpObject);
    _session->AddBinding(Ref<System::BindingInfo>(new FakeBinding(BindingKind::Tcp)), nullptr);

    Ref<System::BindingInfo> binding;
    Ref<Object> object;
    _session->GetBinding(BindingKind::Tcp, binding, object);
    EXPECT_EQ(binding.Get(), tcp1.Get());
    EXPECT_EQ(object.Get(), tcpObject.Get());
    _session->GetBinding(BindingKind::NamedPipe, binding, object);
    EXPECT_EQ(binding.Get(), tcp1.Get());
    EXPECT_EQ(object.Get(), tcpObject.Get());
}

void ExpectSharedFields(SessionMixin& session, const SessionMixin& source, Object* object,
                        SessionPool* owner) {
    EXPECT_EQ(session.GetId(), "s1");
    EXPECT_EQ(session.GetCreationTime(), source.GetCreationTime());
    EXPECT_EQ(session.GetExpiration(), 777);
    Ref<Object> attachment;
    session.GetAttachment(attachment);
    EXPECT_EQ(attachment.Get(), object);
    Ref<SessionPool> copiedOwner;
    session.GetOwner(copiedOwner);
    EXPECT_EQ(copiedOwner.Get(), owner);
    // With a shared mutex this second lock on one thread would end the process.
    session.Lock();
    EXPECT_EQ(source.GetId(), "s1");
    session.Unlock();
}

TEST_F(SessionMixinTest, CopiesShareEveryFieldButNotTheLock) {
    Ref<Probe> object = NewProbe("obj");
    Ref<RecordingOwner> owner(new RecordingOwner());
    _session->SetSessionObject("obj", object);
    _session->SetAuthData(object);
    _session->SetAttachment(object);
    _session->SetOwner(owner);
    _session->SetExpiration(777);

    Ref<SessionMixin> copy(new SessionMixin(*_session));
    ExpectSharedFields(*copy, *_session, object.Get(), owner.Get());
    Ref<SessionObject> copiedObject;
    copy->GetSessionObject("obj", copiedObject);
    Ref<SessionAuthData> copiedAuth;
    copy->GetAuthData(copiedAuth);
    EXPECT_EQ(copiedObject.Get(), static_cast<SessionObject*>(object.Get()));
    EXPECT_EQ(copiedAuth.Get(), static_cast<SessionAuthData*>(object.Get()));
    EXPECT_FALSE(copy->IsClosed());

    _session->CloseSession();
    Ref<SessionMixin> assigned(new SessionMixin("other"));
    *assigned = *_session;
    ExpectSharedFields(*assigned, *_session, object.Get(), owner.Get());
    EXPECT_TRUE(assigned->IsClosed());
}

}  // namespace
}  // namespace Tarvos
