#include "tarvos/system/Impersonator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvos/core/StringWriter.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/UserToken.h"
#include "tarvos/system/internal/ImpersonatorPosix.h"

namespace Tarvos::System {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

// Runs `body` on a new thread and joins it, so that whatever identity the body leaves behind
// dies with that thread.
void OnNewThread(const std::function<void()>& body) {
    std::thread thread([&] {
        try {
            body();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "thread body threw: " << e.what();
        }
    });
    thread.join();
}

// A one-way signal between two threads.
class Signal {
public:
    void Raise() {
        std::lock_guard<std::mutex> guard(_mutex);
        _raised = true;
        _condition.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> guard(_mutex);
        _condition.wait(guard, [this] { return _raised; });
    }

private:
    std::mutex _mutex;
    std::condition_variable _condition;
    bool _raised = false;
};

// The calling thread's credentials (groups sorted).
struct ThreadIds {
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    std::vector<gid_t> groups;
    bool operator==(const ThreadIds&) const = default;
};

ThreadIds CurrentIds() {
    ThreadIds ids{};
    getresuid(&ids.ruid, &ids.euid, &ids.suid);
    getresgid(&ids.rgid, &ids.egid, &ids.sgid);
    ids.groups.resize(static_cast<size_t>(getgroups(0, nullptr)));
    getgroups(static_cast<int>(ids.groups.size()), ids.groups.data());
    std::sort(ids.groups.begin(), ids.groups.end());
    return ids;
}

TEST(UserTokenTest, RootHasIdZeroAndItsPrimaryGroup) {
    Ref<UserToken> token;
    CreateUserToken("root", token);
    EXPECT_EQ(token->GetUserName(), "root");
    EXPECT_EQ(token->GetUid(), 0u);
    EXPECT_EQ(token->GetGid(), 0u);
    EXPECT_THAT(token->GetGroups(), Contains(0u));
    std::string name;
    EXPECT_TRUE(LookUpUserName(0, name));
    EXPECT_EQ(name, "root");
    EXPECT_FALSE(LookUpUserName(3999999901u, name));
}

TEST(UserTokenTest, UnknownUserThrowsNamingTheUser) {
    Ref<UserToken> token;
    try {
        CreateUserToken("tarvos-no-such-user", token);
        FAIL() << "nothing thrown";
    } catch (const NotFoundException& e) {
        EXPECT_NE(dynamic_cast<const UnknownUserException*>(&e), nullptr);
        EXPECT_THAT(e.GetMessage(), HasSubstr("tarvos-no-such-user"));
    }
}

// The system calls read -1 as "leave unchanged": such a token would impersonate nobody at all.
TEST(UserTokenTest, MinusOneIdsAreRefused) {
    EXPECT_THROW(UserToken("ghost", static_cast<uid_t>(-1), 100, {}), InvalidArgumentException);
    EXPECT_THROW(UserToken("ghost", 100, static_cast<gid_t>(-1), {}), InvalidArgumentException);
}

// Recording the name only: what a process without root gets, forced here so that it runs as
// root too. Log lines are captured as "<level> <message>".
class ImpersonatorRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateStringWriter(_output);
        Ref<Service::Logger> logger;
        Service::CreateRootLogger("test", _output, nullptr, logger);
        Service::SetDefaultLogger(logger);
    }
    void TearDown() override { Service::SetDefaultLogger(nullptr); }

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

    std::string CurrentName() {
        std::string name;
        _impersonator->GetCurrentUserName(name);
        return name;
    }

    Ref<StringWriter> _output;
    Ref<Impersonator> _impersonator{new ImpersonatorPosix(ImpersonatorPosix::Mode::RecordNameOnly)};
};

TEST_F(ImpersonatorRecordTest, RecordsTheNameForTheCallingThreadOnly) {
    Signal impersonating;
    Signal checked;
    std::thread other([&] {
        const ThreadIds own = CurrentIds();
        const std::string ownName = CurrentName();
        EXPECT_TRUE(_impersonator->Impersonate("alice", nullptr));
        EXPECT_EQ(CurrentIds(), own);
        impersonating.Raise();
        checked.Wait();
        EXPECT_EQ(CurrentName(), "alice");
        _impersonator->Revert();
        _impersonator->Revert();
        EXPECT_EQ(CurrentName(), ownName);
        EXPECT_TRUE(_impersonator->Impersonate("bob", nullptr));
    });
    impersonating.Wait();
    EXPECT_NE(CurrentName(), "alice");
    checked.Raise();
    other.join();
    EXPECT_THAT(LoggedLines(), IsEmpty());
}

TEST_F(ImpersonatorRecordTest, SecondImpersonationKeepsTheFirstAndLogsOnlyAnotherUser) {
    OnNewThread([&] {
        ASSERT_TRUE(_impersonator->Impersonate("alice", nullptr));
        EXPECT_FALSE(_impersonator->Impersonate("alice", nullptr));
        EXPECT_FALSE(_impersonator->Impersonate("bob", nullptr));
        EXPECT_EQ(CurrentName(), "alice");
    });
    EXPECT_THAT(
        LoggedLines(),
        ElementsAre("error Trying to impersonate bob while impersonating a different user"));
}

// With tokens the user id decides, as for a real switch: two names of one id are one user.
TEST_F(ImpersonatorRecordTest, TokensAreComparedByUserId) {
    const Ref<UserToken> alice(new UserToken("alice", 1234, 1234, {1234}));
    const Ref<UserToken> alias(new UserToken("alias", 1234, 1234, {1234}));
    const Ref<UserToken> otherAlice(new UserToken("alice", 4321, 4321, {4321}));
    OnNewThread([&] {
        ASSERT_TRUE(_impersonator->Impersonate("alice", alice));
        EXPECT_FALSE(_impersonator->Impersonate("alias", alias));
        EXPECT_THAT(LoggedLines(), IsEmpty());
        EXPECT_FALSE(_impersonator->Impersonate("alice", otherAlice));
        EXPECT_EQ(LoggedLines().size(), 1u);
    });
}

// The real switch, through the factory's impersonator (needs root).
class ImpersonatorSwitchTest : public ImpersonatorRecordTest {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "switching a thread's user needs root; the name-only impersonation "
                            "is covered by ImpersonatorRecordTest";
        }
        ImpersonatorRecordTest::SetUp();
        GetSystemFactory().CreateImpersonator(_impersonator);
        CreateUserToken("nobody", _nobody);
    }

    void TearDown() override {
        if (!_directory.empty()) {
            std::filesystem::remove_all(_directory);
        }
        ImpersonatorRecordTest::TearDown();
    }

    // Creates `name` in a temporary directory every user may write into; returns its owner.
    uid_t CreateFileOwner(const std::string& name) {
        const std::string path = _directory + "/" + name;
        const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
        struct stat status {};
        if (fd < 0 || fstat(fd, &status) != 0) {
            ADD_FAILURE() << "cannot create " << path << ": " << strerror(errno);
        }
        close(fd);
        return status.st_uid;
    }

    Ref<UserToken> _nobody;
    std::string _directory;
};

TEST_F(ImpersonatorSwitchTest, OnlyTheImpersonatingThreadCreatesFilesAsTheUser) {
    char pattern[] = "/tmp/tarvos-impersonate-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
    _directory = pattern;
    ASSERT_EQ(chmod(pattern, 0777), 0) << strerror(errno);

    Signal impersonating;
    Signal otherDone;
    uid_t asUser = 0, afterRevert = 1, byOther = 1;
    std::thread worker([&] {
        EXPECT_TRUE(_impersonator->Impersonate("nobody", _nobody));
        asUser = CreateFileOwner("as-user");
        impersonating.Raise();
        otherDone.Wait();
        _impersonator->Revert();
        afterRevert = CreateFileOwner("after-revert");
    });
    std::thread other([&] {
        impersonating.Wait();
        byOther = CreateFileOwner("by-other");
        otherDone.Raise();
    });
    worker.join();
    other.join();
    EXPECT_EQ(asUser, _nobody->GetUid());
    EXPECT_EQ(byOther, 0u);
    EXPECT_EQ(afterRevert, 0u);
}

TEST_F(ImpersonatorSwitchTest, TakesOnTheTokensIdsAndGroupsAndRestoresTheOwn) {
    OnNewThread([&] {
        const ThreadIds own = CurrentIds();
        _impersonator->Revert();
        EXPECT_EQ(CurrentIds(), own) << "a thread that does not impersonate stays as it is";

        ASSERT_TRUE(_impersonator->Impersonate("nobody", _nobody));
        const ThreadIds as = CurrentIds();
        const uid_t uid = _nobody->GetUid();
        const gid_t gid = _nobody->GetGid();
        EXPECT_EQ(std::vector<uid_t>({as.ruid, as.euid, as.suid}),
                  std::vector<uid_t>({uid, uid, 0}))
            << "the saved id keeps the way back";
        EXPECT_EQ(as.rgid, gid);
        EXPECT_EQ(as.egid, gid);
        EXPECT_THAT(as.groups, UnorderedElementsAreArray(_nobody->GetGroups()));
        EXPECT_EQ(CurrentName(), "nobody");

        _impersonator->Revert();
        EXPECT_EQ(CurrentIds(), own);
        EXPECT_EQ(CurrentName(), "root");
    });
}

TEST_F(ImpersonatorSwitchTest, SecondImpersonationKeepsTheFirstIdentity) {
    Ref<UserToken> root;
    CreateUserToken("root", root);
    OnNewThread([&] {
        ASSERT_TRUE(_impersonator->Impersonate("nobody", _nobody));
        EXPECT_FALSE(_impersonator->Impersonate("nobody", _nobody));
        EXPECT_FALSE(_impersonator->Impersonate("root", root));
        EXPECT_EQ(geteuid(), _nobody->GetUid());
        _impersonator->Revert();
    });
    EXPECT_THAT(LoggedLines(), ElementsAre("error Trying to impersonate root while "
                                           "impersonating a different user"));
}

TEST_F(ImpersonatorSwitchTest, WithoutTokenTheUserIsLookedUpByName) {
    OnNewThread([&] {
        const ThreadIds own = CurrentIds();
        EXPECT_THROW(_impersonator->Impersonate("tarvos-no-such-user", nullptr),
                     UnknownUserException);
        EXPECT_EQ(CurrentIds(), own);
        ASSERT_TRUE(_impersonator->Impersonate("nobody", nullptr));
        EXPECT_EQ(geteuid(), _nobody->GetUid());
        _impersonator->Revert();
        EXPECT_EQ(CurrentIds(), own);
    });
}

// More supplementary groups than the kernel accepts make the first step fail.
TEST_F(ImpersonatorSwitchTest, FailedSwitchThrowsAndLeavesTheThreadItself) {
    std::vector<gid_t> tooMany(70000);
    for (size_t i = 0; i < tooMany.size(); ++i) {
        tooMany[i] = static_cast<gid_t>(100000 + i);
    }
    const Ref<UserToken> crowded(new UserToken("crowded", 54321, 54321, tooMany));
    OnNewThread([&] {
        const ThreadIds own = CurrentIds();
        try {
            _impersonator->Impersonate("crowded", crowded);
            ADD_FAILURE() << "nothing thrown";
        } catch (const PosixSystemException& e) {
            EXPECT_EQ(e.GetErrorCode(), EINVAL);
            EXPECT_THAT(e.GetMessage(), HasSubstr("setgroups"));
        }
        EXPECT_EQ(CurrentIds(), own);
        EXPECT_TRUE(_impersonator->Impersonate("nobody", _nobody)) << "still counts as itself";
        _impersonator->Revert();
    });
}

// The effective id at the call decides: a thread that gave up root by itself only records the
// name, and its Revert leaves its ids alone.
TEST_F(ImpersonatorSwitchTest, ThreadWithoutRootRecordsTheNameOnly) {
    OnNewThread([&] {
        ASSERT_EQ(syscall(SYS_setresuid, -1, _nobody->GetUid(), -1), 0) << strerror(errno);
        const ThreadIds own = CurrentIds();
        EXPECT_TRUE(_impersonator->Impersonate("alice", nullptr));
        EXPECT_EQ(CurrentName(), "alice");
        _impersonator->Revert();
        EXPECT_EQ(CurrentName(), "nobody");
        EXPECT_EQ(CurrentIds(), own);
        ASSERT_EQ(syscall(SYS_setresuid, -1, 0, -1), 0) << strerror(errno);
    });
}

}  // namespace
}  // namespace Tarvos::System
