#include "tarvos/system/internal/NamedPipeStreamPosix.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/NamedPipeClientStream.h"
#include "tarvos/system/NamedPipeServer.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/UserToken.h"
#include "tarvos/system/internal/StreamTestSupport.h"

namespace Tarvos::System {
namespace {

using Testing::Completions;
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

}  // namespace
}  // namespace Tarvos::System
