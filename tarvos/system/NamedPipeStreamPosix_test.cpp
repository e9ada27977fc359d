#include "tarvos/system/internal/NamedPipeStreamPosix.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/Impersonator.h"
#include "tarvos/system/NamedPipeClientStream.h"
#include "tarvos/system/NamedPipeServer.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/UserToken.h"
#include "tarvos/system/internal/StreamTestSupport.h"

namespace Tarvos::System {
namespace {

using Testing::Completions;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAreArray;
using Testing::WaitUntil;

// Pipes live in a temporary TARVOS_PIPE_DIR of their own.
class NamedPipeTest : public Testing::PoolFixture {
protected:
    void SetUp() override {
        PoolFixture::SetUp();
        char pattern[] = "/tmp/tarvos-pipe-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _root = pattern;
        _dir = _root + "/pipes";  // created by the first server
        setenv("TARVOS_PIPE_DIR", _dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TARVOS_PIPE_DIR");
        std::filesystem::remove_all(_root);
        PoolFixture::TearDown();
    }

    Ref<NamedPipeServer> Serve(const std::string& name, int32_t backlog = 0) {
        Ref<NamedPipeServer> server;
        GetSystemFactory().CreateNamedPipeServer(name, backlog, server);
        return server;
    }
    Ref<NamedPipeClientStream> Client(const std::string& name) {
        Ref<NamedPipeClientStream> client;
        GetSystemFactory().CreateNamedPipeClientStream(name, client);
        return client;
    }
    static int CodeOfConnect(const Ref<NamedPipeClientStream>& client, bool waitIfBusy) {
        try {
            client->Connect(waitIfBusy);
        } catch (const SystemException& e) {
            return e.GetErrorCode();
        }
        return 0;
    }

    std::string _root;
    std::string _dir;
};

TEST_F(NamedPipeTest, PipeNamesMapIntoThePipeDirectoryAndUnsafeNamesAreRefused) {
    EXPECT_EQ(PipeSocketPath("\\\\.\\pipe\\lattix"), _dir + "/lattix");
    EXPECT_EQ(PipeSocketPath("lattix"), _dir + "/lattix");
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "a/b", "\\\\.\\pipe\\", "\\\\.\\pipe\\..",
                                  "../escape", std::string(200, 'n')}) {
        EXPECT_THROW(PipeSocketPath(bad), InvalidArgumentException) << bad;
    }
    EXPECT_THROW(Client("../escape"), InvalidArgumentException);
}

TEST_F(NamedPipeTest, ConnectedEndsExchangeDataAndNameThePipeAndTheClientUser) {
    Ref<NamedPipeServer> server = Serve("\\\\.\\pipe\\echo");
    struct stat info {};
    ASSERT_EQ(stat(_dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    Completions accepts;
    Ref<Stream> accepted;
    std::mutex acceptedMutex;
    server->Accept(MakeAcceptCallback(
        [&](const Ref<StreamServer>&, const Exception* error, const Ref<Stream>& stream) {
            {
                std::lock_guard<std::mutex> guard(acceptedMutex);
                accepted = stream;
            }
            accepts.Record(error, 0);
        }));
    Ref<NamedPipeClientStream> client = Client("echo");
    client->Connect(false);
    EXPECT_THROW(client->Connect(false), AlreadyInitializedException);
    ASSERT_TRUE(accepts.WaitFor(1));
    ASSERT_EQ(accepts.Code(), 0);
    std::lock_guard<std::mutex> guard(acceptedMutex);
    client->Write("hello", 5);
    char buffer[16];
    EXPECT_EQ(accepted->Read(buffer, sizeof buffer), 5);

    Ref<BindingInfo> local, remote;
    accepted->GetBindingInfo(BindingKind::NamedPipe, local, remote);
    auto* peer = dynamic_cast<NamedPipeBindingInfo*>(remote.Get());
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->GetPipeName(), "\\\\.\\pipe\\echo");
    std::string me;
    if (!LookUpUserName(geteuid(), me)) {
        me = std::to_string(geteuid());
    }
    EXPECT_EQ(peer->GetClientUserName(), me);
    accepted->GetBindingInfo(BindingKind::Tcp, local, remote);
    EXPECT_FALSE(local);
    CloseStream(*accepted);
    EXPECT_EQ(client->Read(buffer, sizeof buffer), 0);
    CloseStream(*client);
    accepted.Reset();
    server->Close();
    EXPECT_FALSE(std::filesystem::exists(_dir + "/echo"));
}

TEST_F(NamedPipeTest, NobodyServingIsAnErrorAndAStaleSocketFileIsReplaced) {
    EXPECT_EQ(CodeOfConnect(Client("none"), false), ENOENT);
    {
        Ref<NamedPipeServer> first = Serve("stale");
        EXPECT_THROW(Serve("stale"), PosixSystemException);  // a live server keeps its name
    }
    // A socket file nobody listens on, as a crashed process leaves it.
    const int dead = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (_dir + "/stale").copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(dead, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(dead);
    EXPECT_EQ(CodeOfConnect(Client("stale"), false), ECONNREFUSED);
    Ref<NamedPipeServer> second = Serve("stale");
    EXPECT_EQ(CodeOfConnect(Client("stale"), false), 0);
    second->Close();
}

TEST_F(NamedPipeTest, BusyPipeFailsAtOnceWithoutWaitingAndIsWaitedForOtherwise) {
    Ref<NamedPipeServer> server = Serve("busy", 1);
    std::vector<Ref<NamedPipeClientStream>> queued;
    int code = 0;
    for (int i = 0; i < 16 && code == 0; ++i) {
        Ref<NamedPipeClientStream> client = Client("busy");
        code = CodeOfConnect(client, false);
        if (code == 0) {
            queued.push_back(client);
        }
    }
    ASSERT_EQ(code, EAGAIN);

    auto output = Ref<Testing::LockedTextWriter>(new Testing::LockedTextWriter());
    Ref<Service::Logger> root;
    Service::CreateRootLogger("test", output, nullptr, root);
    Service::SetDefaultLogger(root);
    std::atomic<int> waited{-1};
    std::thread patient([&] {
        _pool->EnterThread();
        waited = CodeOfConnect(Client("busy"), true);
        _pool->LeaveThread();
    });
    ASSERT_TRUE(WaitUntil([&] {
        return output->Text().find(
                   "Waiting for the named hPipe busy to become available "
                   "for connection... ") != std::string::npos;
    }));
    Ref<Stream> first;
    server->Accept(first);  // frees a place in the queue
    patient.join();
    Service::SetDefaultLogger(nullptr);
    EXPECT_EQ(waited.load(), 0);
    EXPECT_NE(output->Text().find("' warning"), std::string::npos);
    CloseStream(*first);
    for (const auto& client : queued) {
        CloseStream(*client);
    }
    server->Close();
}

TEST_F(NamedPipeTest, ClosingAPipeWithPendingOperationsCancelsEachOnce) {
    Ref<NamedPipeServer> server = Serve("cancel");
    Ref<NamedPipeClientStream> client = Client("cancel");
    client->Connect(false);
    Ref<Stream> accepted;
    server->Accept(accepted);
    Completions reads;
    Completions writes;
    char buffer[8];
    std::vector<char> big(32 << 20, 'p');
    client->ReadInitiate(buffer, sizeof buffer, reads.ReadCallback());
    client->WriteInitiate(big.data(), static_cast<int32_t>(big.size()), writes.WriteCallback());
    CloseStream(*client);
    ASSERT_TRUE(reads.WaitFor(1));
    ASSERT_TRUE(writes.WaitFor(1));
    EXPECT_EQ(reads.Code(), ECANCELED);
    EXPECT_EQ(writes.Code(), ECANCELED);
    CloseStream(*accepted);
    server->Close();
}

// A connected pipe: `_client` and the server's end `_accepted`, with helpers to act on the
// server end's pipe binding and read the calling thread's identity.
class PipeIdentityTest : public NamedPipeTest {
protected:
    // Connects from a pool thread of its own that acts as `user` while it connects (none: as
    // itself), so that the identity dies with that thread.
    void ConnectPair(const std::string& name, const Ref<UserToken>& user = nullptr) {
        _server = Serve(name);
        // A client acting as another user must reach the socket file.
        ASSERT_EQ(chmod(_root.c_str(), 0755), 0);
        ASSERT_EQ(chmod(_dir.c_str(), 0755), 0);
        ASSERT_EQ(chmod((_dir + "/" + name).c_str(), 0666), 0);
        _client = Client(name);
        Testing::RunOnPoolThread(_pool, [&] {
            try {
                EXPECT_TRUE(!user || _impersonator->Impersonate(user->GetUserName(), user));
                _client->Connect(false);
                _impersonator->Revert();
            } catch (const Exception& e) {
                ADD_FAILURE() << "connect: " << e.what();
            }
        });
        _server->Accept(_accepted);
        _accepted->GetBindingInfo(BindingKind::NamedPipe, _local, _remote);
    }
    void TearDown() override {
        if (_accepted) {
            CloseStream(*_accepted);
            CloseStream(*_client);
            _server->Close();
        }
        NamedPipeTest::TearDown();
    }

    static NamedPipeBindingInfo& Pipe(const Ref<BindingInfo>& binding) {
        return dynamic_cast<NamedPipeBindingInfo&>(*binding);
    }
    std::string CurrentUserName() {
        std::string name;
        _impersonator->GetCurrentUserName(name);
        return name;
    }

    Ref<Impersonator> _impersonator = [] {
        Ref<Impersonator> made;
        GetSystemFactory().CreateImpersonator(made);
        return made;
    }();
    Ref<NamedPipeServer> _server;
    Ref<NamedPipeClientStream> _client;
    Ref<Stream> _accepted;
    Ref<BindingInfo> _local, _remote;  // the server end's
};

TEST_F(PipeIdentityTest, TheClientsOwnEndRefusesToImpersonate) {
    ConnectPair("own");
    Ref<BindingInfo> local, remote;
    _client->GetBindingInfo(BindingKind::NamedPipe, local, remote);
    const std::string before = CurrentUserName();
    for (const Ref<BindingInfo>& binding : {local, remote}) {
        try {
            Pipe(binding).ImpersonateClient();
            ADD_FAILURE() << "impersonated through the client's own end";
        } catch (const PosixSystemException& e) {
            EXPECT_EQ(e.GetErrorCode(), EPERM);
            EXPECT_THAT(e.GetMessage(), HasSubstr("pipe own: this is the client's own end"));
        }
    }
    EXPECT_EQ(CurrentUserName(), before);
}

// What a process without root gets: a thread that is not root records the client's name and
// keeps its ids. As root the test's thread gives up root for itself first.
TEST_F(PipeIdentityTest, WithoutRootTheThreadRecordsTheClientsNameAndKeepsItsIds) {
    ConnectPair("record");
    std::string clientName;
    if (!LookUpUserName(geteuid(), clientName)) {
        clientName = std::to_string(geteuid());
    }
    Ref<UserToken> nobody;
    if (geteuid() == 0) {
        CreateUserToken("nobody", nobody);
    }
    std::thread server([&] {
        if (nobody) {
            ASSERT_EQ(syscall(SYS_setresuid, -1, nobody->GetUid(), -1), 0) << strerror(errno);
        }
        const uid_t ownUid = geteuid();
        const std::string ownName = CurrentUserName();
        EXPECT_TRUE(Pipe(_remote).ImpersonateClient());
        EXPECT_FALSE(Pipe(_local).ImpersonateClient()) << "already impersonating";
        EXPECT_EQ(CurrentUserName(), clientName);
        EXPECT_EQ(geteuid(), ownUid);
        Pipe(_local).RevertToSelf();
        EXPECT_EQ(CurrentUserName(), ownName);
        if (nobody) {
            EXPECT_NE(ownName, clientName);
            ASSERT_EQ(syscall(SYS_setresuid, -1, 0, -1), 0) << strerror(errno);
        }
    });
    server.join();
}

// Creates `path`; returns its owner and group.
std::pair<uid_t, gid_t> CreateFileOwner(const std::string& path) {
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    struct stat status {};
    EXPECT_TRUE(fd >= 0 && fstat(fd, &status) == 0) << path << ": " << strerror(errno);
    close(fd);
    return {status.st_uid, status.st_gid};
}

// The real switch: the client connects while its thread acts as "nobody" with groups of the
// test's choosing; a server thread takes exactly that identity on, and only that thread.
TEST_F(PipeIdentityTest, AsRootTheServerThreadActsAsTheConnectedClientAndOthersStayRoot) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "switching a thread's user needs root; without root only the name is "
                        "recorded, which WithoutRootTheThreadRecordsTheClientsNameAndKeepsItsIds "
                        "covers";
    }
    Ref<UserToken> nobody;
    CreateUserToken("nobody", nobody);
    // A group the user database does not give "nobody": it can only come from the connection.
    const std::vector<gid_t> clientGroups{nobody->GetGid(), 54321};
    ConnectPair("as-nobody",
                new UserToken("nobody", nobody->GetUid(), nobody->GetGid(), clientGroups));
    EXPECT_EQ(Pipe(_remote).GetClientUserName(), "nobody");
    const std::string files = _root + "/files";
    ASSERT_EQ(mkdir(files.c_str(), 0777), 0);
    ASSERT_EQ(chmod(files.c_str(), 0777), 0);

    Testing::Gate impersonating, otherDone;
    std::pair<uid_t, gid_t> asClient{}, byOther{1, 1}, afterRevert{1, 1};
    std::vector<gid_t> groupsAsClient(64);
    std::thread server([&] {
        EXPECT_TRUE(Pipe(_remote).ImpersonateClient());
        asClient = CreateFileOwner(files + "/as-client");
        groupsAsClient.resize(static_cast<size_t>(getgroups(64, groupsAsClient.data())));
        impersonating.Open();
        EXPECT_TRUE(otherDone.Pass());
        Pipe(_remote).RevertToSelf();
        afterRevert = CreateFileOwner(files + "/after-revert");
    });
    std::thread other([&] {
        EXPECT_TRUE(impersonating.Pass());
        byOther = CreateFileOwner(files + "/by-other");
        otherDone.Open();
    });
    server.join();
    other.join();
    EXPECT_EQ(asClient, std::make_pair(nobody->GetUid(), nobody->GetGid()));
    EXPECT_THAT(groupsAsClient, UnorderedElementsAreArray(clientGroups));
    EXPECT_EQ(byOther, std::make_pair(uid_t{0}, gid_t{0}));
    EXPECT_EQ(afterRevert, std::make_pair(uid_t{0}, gid_t{0}));
}

}  // namespace
}  // namespace Tarvos::System
