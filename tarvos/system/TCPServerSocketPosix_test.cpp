#include "tarvos/system/internal/TCPServerSocketPosix.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/internal/StreamTestSupport.h"

namespace Tarvos::System {
namespace {

using Testing::Completions;
using Testing::WaitUntil;

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

class TCPSocketTest : public Testing::PoolFixture {
protected:
    // Connects and reports the connect's error code (0: connected).
    int ConnectTo(const std::string& host, uint16_t port, Ref<TCPClientSocket>& client) {
        GetSystemFactory().CreateTCPClientSocket(client);
        Completions done;
        client->ConnectInitiate(
            host, port,
            MakeConnectCallback([&](const Ref<TCPClientSocket>&, const Exception* error) {
                done.Record(error, 0);
            }));
        EXPECT_TRUE(done.WaitFor(1));
        return done.Code();
    }
};

TEST_F(TCPSocketTest, PortZeroListensOnAChosenPortAndBothEndsKnowTheirAddresses) {
    Ref<TCPServerSocket> server = Listen();
    ASSERT_NE(server->GetPort(), 0);
    Ref<TCPClientSocket> client;
    Ref<Stream> accepted;
    Connect(server, client, accepted);
    Ref<BindingInfo> clientLocal, clientRemote, serverLocal, serverRemote;
    client->GetBindingInfo(BindingKind::Tcp, clientLocal, clientRemote);
    accepted->GetBindingInfo(BindingKind::Tcp, serverLocal, serverRemote);
    ASSERT_TRUE(clientLocal && clientRemote && serverLocal && serverRemote);
    EXPECT_EQ(clientRemote->GetText(), "127.0.0.1:" + std::to_string(server->GetPort()));
    EXPECT_EQ(serverLocal->GetText(), clientRemote->GetText());
    EXPECT_EQ(serverRemote->GetText(), clientLocal->GetText());
    Ref<BindingInfo> pipeLocal, pipeRemote;
    accepted->GetBindingInfo(BindingKind::NamedPipe, pipeLocal, pipeRemote);
    EXPECT_FALSE(pipeLocal);
    EXPECT_FALSE(pipeRemote);
    EXPECT_THROW(server->Listen("127.0.0.1", 0), PosixSystemException);
    CloseStream(*client);
    CloseStream(*accepted);
    server->Close();
}

TEST_F(TCPSocketTest, RefusedConnectIsReportedAndClosesTheSocket) {
    uint16_t port;
    {
        Ref<TCPServerSocket> server = Listen();
        port = server->GetPort();
        server->Close();
    }
    Ref<TCPClientSocket> client;
    EXPECT_EQ(ConnectTo("127.0.0.1", port, client), ECONNREFUSED);
    try {
        client->Write("x", 1);
        ADD_FAILURE() << "no error";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), ENOTCONN);
    }
}

TEST_F(TCPSocketTest, HostNamesAreResolvedAndUnknownOnesRefused) {
    Ref<TCPServerSocket> server = Listen();
    Ref<TCPClientSocket> client;
    EXPECT_EQ(ConnectTo("localhost", server->GetPort(), client), 0);
    Ref<TCPClientSocket> lost;
    GetSystemFactory().CreateTCPClientSocket(lost);
    EXPECT_THROW(
        lost->ConnectInitiate("no-such-host.invalid", 1, MakeConnectCallback([](auto&, auto*) {})),
        PosixSystemException);
    EXPECT_THROW(server->Listen("not an address", 0), InvalidArgumentException);
    CloseStream(*client);
    server->Close();
}

TEST_F(TCPSocketTest, OneAsynchronousAcceptAtATimeAndCloseCancelsIt) {
    Ref<TCPServerSocket> server = Listen();
    Completions accepts;
    Ref<AcceptCallback> record = MakeAcceptCallback(
        [&](const Ref<StreamServer>&, const Exception* error, const Ref<Stream>& stream) {
            EXPECT_EQ(error == nullptr, static_cast<bool>(stream));
            accepts.Record(error, 0);
        });
    server->Accept(record);
    EXPECT_THROW(server->Accept(record), InProgressException);
    Ref<Stream> blocking;
    EXPECT_THROW(server->Accept(blocking), InProgressException);
    server->Close();
    ASSERT_TRUE(accepts.WaitFor(1));
    EXPECT_EQ(accepts.Code(), ECANCELED);
    EXPECT_THROW(server->Accept(record), PosixSystemException);
}

// A listener on 127.0.0.1 that never accepts, with its queue filled: the kernel drops further
// connection requests, so a connect to it stays pending (its SYNs are retried for seconds).
class FullListener {
public:
    FullListener() {
        _fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (_fd < 0 || bind(_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(_fd, 0) != 0 ||
            getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        _port = ntohs(address.sin_port);
        for (int i = 0; i < 4; ++i) {
            const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
            _fillers.push_back(filler);
        }
    }
    ~FullListener() {
        for (int filler : _fillers) {
            close(filler);
        }
        close(_fd);
    }
    uint16_t GetPort() const { return _port; }

private:
    int _fd = -1;
    uint16_t _port = 0;
    std::vector<int> _fillers;
};

TEST_F(TCPSocketTest, ClosingAClientThatIsStillConnectingReportsTheConnectOnce) {
    FullListener listener;
    ASSERT_NE(listener.GetPort(), 0);
    // Give the fillers' handshakes time to take the queue's places.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Ref<TCPClientSocket> client;
    GetSystemFactory().CreateTCPClientSocket(client);
    Completions done;
    client->ConnectInitiate(
        "127.0.0.1", listener.GetPort(),
        MakeConnectCallback(
            [&](const Ref<TCPClientSocket>&, const Exception* error) { done.Record(error, 0); }));
    EXPECT_THROW(client->ConnectInitiate("127.0.0.1", listener.GetPort(),
                                         MakeConnectCallback([](auto&, auto*) {})),
                 InProgressException);
    CloseStream(*client);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_NE(done.Code(), 0);
    std::atomic<bool> later{false};
    _pool->QueueWork(MakeTask([&] { later = true; }));
    ASSERT_TRUE(WaitUntil([&] { return later.load(); }));
    EXPECT_EQ(done.Count(), 1);
}

TEST_F(TCPSocketTest, AThousandConnectionsOpenedAndClosedLeaveNoDescriptorBehind) {
    Ref<TCPServerSocket> server = Listen();
    const int before = OpenDescriptors();
    for (int i = 0; i < 1000; ++i) {
        Ref<TCPClientSocket> client;
        Ref<Stream> accepted;
        Connect(server, client, accepted);
        if (i % 2 == 0) {
            // Also with a pending read that the close cancels.
            accepted->ReadInitiate(nullptr, 0, nullptr);
            CloseStream(*accepted);
            EXPECT_THROW(accepted->WaitRead(), CanceledException);
        }
        // Odd rounds are only dropped: the last reference closes the socket.
        if (i % 2 == 0) {
            CloseStream(*client);
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() <= before; }))
        << OpenDescriptors() << " open, " << before << " before";
    server->Close();
}

// Lines logged while the test runs, through a default logger made for it.
class TCPLoggingTest : public TCPSocketTest {
protected:
    void SetUp() override {
        TCPSocketTest::SetUp();
        _output = Testing::CaptureDefaultLog(_pool, Service::LogLevel::Trivia);
    }
    void TearDown() override {
        Testing::ReleaseDefaultLog(_pool);
        TCPSocketTest::TearDown();
    }
    std::string Logged() { return _output->Text(); }

    Ref<Testing::LockedTextWriter> _output;
};

TEST_F(TCPLoggingTest, ConnectAndTransfersAreLoggedToTheTCPLogger) {
    Ref<TCPServerSocket> server = Listen();
    Ref<TCPClientSocket> client;
    Ref<Stream> accepted;
    Connect(server, client, accepted);
    client->WriteInitiate("x", 1, nullptr);
    EXPECT_EQ(client->WaitWrite(), 1);
    CloseStream(*client);
    const std::string text = Logged();
    EXPECT_NE(text.find("' info"), std::string::npos);
    EXPECT_NE(text.find("'TCP'"), std::string::npos);
    EXPECT_NE(text.find("connect("), std::string::npos);
    EXPECT_NE(text.find("127.0.0.1:" + std::to_string(server->GetPort()) + ")"), std::string::npos);
    EXPECT_NE(text.find("WSASend("), std::string::npos);
    EXPECT_NE(text.find("closesocket("), std::string::npos);
    CloseStream(*accepted);
    server->Close();
}

TEST_F(TCPLoggingTest, AcceptWithoutFreeDescriptorsIsLoggedAndRetriedUntilOneIsFree) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime opens descriptors for its own checks (it probes memory through a
    // pipe); with none left it reports false errors.
    GTEST_SKIP() << "needs a process without free descriptors, which the sanitizers cannot run in";
#endif
    Ref<TCPServerSocket> server = Listen();
    Completions accepts;
    Ref<Stream> got;
    std::mutex gotMutex;
    server->Accept(MakeAcceptCallback(
        [&](const Ref<StreamServer>&, const Exception* error, const Ref<Stream>& stream) {
            {
                std::lock_guard<std::mutex> guard(gotMutex);
                got = stream;
            }
            accepts.Record(error, 0);
        }));
    // The client's descriptor exists before the limit drops to what is open now.
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    int highest = 0;
    for (DIR* dir = opendir("/proc/self/fd"); dir != nullptr;) {
        dirent* entry = readdir(dir);
        if (entry == nullptr) {
            closedir(dir);
            break;
        }
        if (entry->d_name[0] != '.') {
            highest = std::max(highest, atoi(entry->d_name));
        }
    }
    tight.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    // Whatever numbers are still free below the limit are taken too, twice: a thread of an
    // earlier test's pool may still be closing its thread-local descriptors as it exits.
    std::vector<int> fillers;
    for (int round = 0; round < 2; ++round) {
        for (int fd; (fd = dup(client)) >= 0;) {
            fillers.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server->GetPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int connected =
        connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const bool logged = WaitUntil([&] { return Logged().find("retrying") != std::string::npos; });
    const int acceptedEarly = accepts.Count();
    setrlimit(RLIMIT_NOFILE, &saved);
    for (int fd : fillers) {
        close(fd);
    }
    ASSERT_EQ(connected, 0);
    EXPECT_TRUE(logged);
    EXPECT_EQ(acceptedEarly, 0);
    EXPECT_NE(Logged().find("' warning"), std::string::npos);
    ASSERT_TRUE(accepts.WaitFor(1));
    EXPECT_EQ(accepts.Code(), 0);
    {
        std::lock_guard<std::mutex> guard(gotMutex);
        ASSERT_TRUE(got);
        CloseStream(*got);
        got.Reset();
    }
    close(client);
    server->Close();
}

}  // namespace
}  // namespace Tarvos::System
