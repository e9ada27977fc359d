// TCP echo over the library's streams against a minimal single-threaded epoll echo server.
//
//   TarvosEchoServer   the server is a TCPServerSocket on a pool (TaskMax 2): each connection
//                      echoes with ReadInitiate/WriteInitiate callbacks
//   EpollEchoServer    the peer: one thread, epoll, non-blocking read and write (the upper limit)
//   TarvosPipeEchoServer  the same echo over a named pipe (a Unix-domain socket)
//   IdleConnections    10,000 accepted connections, each with a pending zero-length read: the
//                      process's threads and resident memory before and after (the clients live
//                      in a child process, so that each side needs only 10,000 descriptors)
//
// The same client drives both: one thread with epoll and 50 connections, each sending a 1 KiB
// message and waiting for its echo before sending the next. A run lasts one second; the counter
// is echoed messages per second.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "tarvos/service/Config.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/system/NamedPipeServer.h"
#include "tarvos/system/Stream.h"
#include "tarvos/system/StreamServer.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/TCPServerSocket.h"
#include "tarvos/system/ThreadPool.h"

namespace {

using namespace Tarvos;
using namespace Tarvos::System;

constexpr int kConnections = 50;
constexpr int kMessage = 1024;

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A connected blocking socket, or -1.
int ConnectTcp(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int ConnectUnix(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Runs the 50 ping-pong connections made by `connectOne` for `seconds`; returns the echoed
// messages, or -1 when a connection failed.
int64_t RunClient(const std::function<int()>& connectOne, double seconds) {
    struct Connection {
        int fd = -1;
        int received = 0;
    };
    std::vector<Connection> connections(kConnections);
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    char message[kMessage];
    std::memset(message, 'x', sizeof message);
    for (int i = 0; i < kConnections; ++i) {
        const int fd = connectOne();
        if (fd < 0) {
            close(epoll);
            return -1;
        }
        fcntl(fd, F_SETFL, O_NONBLOCK);
        connections[static_cast<size_t>(i)].fd = fd;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
        if (send(fd, message, kMessage, MSG_NOSIGNAL) != kMessage) {
            return -1;
        }
    }
    int64_t echoed = 0;
    char buffer[16 * kMessage];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    epoll_event events[64];
    while (std::chrono::steady_clock::now() < deadline) {
        const int ready = epoll_wait(epoll, events, 64, 100);
        for (int e = 0; e < ready; ++e) {
            Connection& connection = connections[events[e].data.u32];
            const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                continue;
            }
            connection.received += static_cast<int>(got);
            while (connection.received >= kMessage) {
                connection.received -= kMessage;
                ++echoed;
                if (send(connection.fd, message, kMessage, MSG_NOSIGNAL) != kMessage) {
                    return -1;
                }
            }
        }
    }
    for (const Connection& connection : connections) {
        close(connection.fd);
    }
    close(epoll);
    return echoed;
}

// A pool of two task threads that the calling thread has entered.
Ref<ThreadPool> StartPool() {
    Ref<Service::Config> config;
    Service::CreateScratchConfig(config);
    Ref<Service::Config::View> view;
    config->GetRootView(view);
    view->SetInt("TaskMax", 2);
    Ref<ThreadPool> pool;
    GetSystemFactory().CreateThreadPool(view, pool);
    pool->EnterThread();
    return pool;
}

void StopPool(const Ref<ThreadPool>& pool) {
    pool->LeaveThread();
    pool->Shutdown();
    pool->WaitForThreads(-1);
}

// Runs the client once per iteration for a second and reports the echoed messages per second.
void MeasureEcho(benchmark::State& state, const std::function<int()>& connectOne) {
    int64_t echoed = 0;
    double seconds = 0;
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        const int64_t count = RunClient(connectOne, 1.0);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (count < 0) {
            state.SkipWithError("client failed");
            break;
        }
        echoed += count;
    }
    state.counters["messages_per_s"] = static_cast<double>(echoed) / seconds;
}

// ---------------------------------------------------------------------------------------------
// The library's server

// One echoing connection; it is its own read and write callback, so an echo allocates nothing.
class EchoSession final : public StreamReadCallback, public StreamWriteCallback, public ObjectImpl {
public:
    explicit EchoSession(Ref<Stream> stream) : _stream(std::move(stream)) {}

    void ReadNext() {
        try {
            _stream->ReadInitiate(_buffer, sizeof _buffer, Ref<StreamReadCallback>(this));
        } catch (const Exception&) {
            Close();
        }
    }

    void OnReadComplete(const Ref<Stream>&, const Exception* error, int32_t bytes) override {
        if (error != nullptr || bytes <= 0) {
            Close();
            return;
        }
        try {
            _stream->WriteInitiate(_buffer, bytes, Ref<StreamWriteCallback>(this));
        } catch (const Exception&) {
            Close();
        }
    }

    void OnWriteComplete(const Ref<Stream>&, const Exception* failure) override {
        if (failure != nullptr) {
            Close();
        } else {
            ReadNext();
        }
    }

private:
    void Close() { CloseStream(*_stream); }

    Ref<Stream> _stream;
    char _buffer[4 * kMessage];
};

void AcceptNext(const Ref<StreamServer>& server) {
    server->Accept(MakeAcceptCallback(
        [](const Ref<StreamServer>& from, const Exception* error, const Ref<Stream>& stream) {
            if (error != nullptr) {
                return;  // the server was closed
            }
            Ref<EchoSession>(new EchoSession(stream))->ReadNext();
            AcceptNext(from);
        }));
}

void BM_TarvosEchoServer(benchmark::State& state) {
    const Ref<ThreadPool> pool = StartPool();
    Ref<TCPServerSocket> server;
    GetSystemFactory().CreateTCPServerSocket(server);
    server->Listen("127.0.0.1", 0);
    AcceptNext(server);
    MeasureEcho(state, [&] { return ConnectTcp(server->GetPort()); });
    server->Close();
    StopPool(pool);
}
BENCHMARK(BM_TarvosEchoServer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TarvosPipeEchoServer(benchmark::State& state) {
    char directory[] = "/tmp/tarvos-bench-pipes-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        state.SkipWithError("mkdtemp");
        return;
    }
    setenv("TARVOS_PIPE_DIR", directory, 1);
    const Ref<ThreadPool> pool = StartPool();
    Ref<NamedPipeServer> server;
    GetSystemFactory().CreateNamedPipeServer("bench-echo", 0, server);
    AcceptNext(server);
    const std::string path = std::string(directory) + "/bench-echo";
    MeasureEcho(state, [&] { return ConnectUnix(path); });
    server->Close();
    StopPool(pool);
    rmdir(directory);
}
BENCHMARK(BM_TarvosPipeEchoServer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------------------------
// The peer: one thread, epoll

void BM_EpollEchoServer(benchmark::State& state) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener, 128);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const uint16_t port = ntohs(address.sin_port);
    std::atomic<bool> stop{false};
    std::thread serverThread([&] {
        const int epoll = epoll_create1(EPOLL_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = listener;
        epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
        char buffer[4 * kMessage];
        epoll_event events[64];
        while (!stop.load(std::memory_order_relaxed)) {
            const int ready = epoll_wait(epoll, events, 64, 50);
            for (int e = 0; e < ready; ++e) {
                const int fd = events[e].data.fd;
                if (fd == listener) {
                    int accepted;
                    while ((accepted = accept4(listener, nullptr, nullptr,
                                               SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                        setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                        epoll_event client{};
                        client.events = EPOLLIN;
                        client.data.fd = accepted;
                        epoll_ctl(epoll, EPOLL_CTL_ADD, accepted, &client);
                    }
                    continue;
                }
                const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    close(fd);
                    continue;
                }
                // Loopback takes a few KiB at once; a short send would need a queue, which the
                // 1 KiB ping-pong never fills.
                send(fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
            }
        }
        close(epoll);
    });
    MeasureEcho(state, [&] { return ConnectTcp(port); });
    stop = true;
    serverThread.join();
    close(listener);
}
BENCHMARK(BM_EpollEchoServer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------------------------
// Idle connections

// A number from /proc/self/status ("Threads:", "VmRSS:").
int64_t StatusValue(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::stoll(line.substr(key.size()));
        }
    }
    return -1;
}

void BM_IdleConnections(benchmark::State& state) {
    constexpr int kIdle = 10000;
    const Ref<ThreadPool> pool = StartPool();
    Ref<TCPServerSocket> server;
    GetSystemFactory().CreateTCPServerSocket(server);
    server->Listen("127.0.0.1", 0);
    const uint16_t port = server->GetPort();

    std::mutex mutex;
    std::vector<Ref<Stream>> streams;
    static char zero[1];
    std::function<void()> acceptNext;
    acceptNext = [&] {
        server->Accept(MakeAcceptCallback([&](const Ref<StreamServer>&, const Exception* error,
                                              const Ref<Stream>& stream) {
            if (error != nullptr) {
                return;
            }
            stream->ReadInitiate(
                zero, 0, MakeReadCallback([](const Ref<Stream>&, const Exception*, int32_t) {}));
            {
                std::lock_guard<std::mutex> guard(mutex);
                streams.push_back(stream);
            }
            acceptNext();
        }));
    };
    acceptNext();
    const int64_t threadsBefore = StatusValue("Threads:");
    const int64_t rssBefore = StatusValue("VmRSS:");

    int ready[2];
    int stop[2];
    if (pipe(ready) != 0 || pipe(stop) != 0) {
        state.SkipWithError("pipe");
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        // Only system calls from here on: the parent has threads.
        for (int i = 0; i < kIdle; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in address = Loopback(port);
            if (fd < 0 ||
                connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                _exit(1);
            }
        }
        char byte = 1;
        ssize_t ignored = write(ready[1], &byte, 1);
        ignored = read(stop[0], &byte, 1);
        static_cast<void>(ignored);
        _exit(0);
    }
    char byte = 0;
    const bool connected = read(ready[0], &byte, 1) == 1;
    for (int i = 0; i < 6000 && connected; ++i) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (streams.size() >= kIdle) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto _ : state) {
        // The measurement is the state reached above.
    }
    size_t count = 0;
    {
        std::lock_guard<std::mutex> guard(mutex);
        count = streams.size();
    }
    const int64_t threadsAfter = StatusValue("Threads:");
    const int64_t rssAfter = StatusValue("VmRSS:");
    state.counters["connections"] = static_cast<double>(count);
    state.counters["threads_before"] = static_cast<double>(threadsBefore);
    state.counters["threads_after"] = static_cast<double>(threadsAfter);
    state.counters["rss_before_MiB"] = static_cast<double>(rssBefore) / 1024;
    state.counters["rss_after_MiB"] = static_cast<double>(rssAfter) / 1024;
    state.counters["KiB_per_connection"] =
        count > 0 ? static_cast<double>(rssAfter - rssBefore) / static_cast<double>(count) : 0;
    if (!connected || count < kIdle) {
        state.SkipWithError("not every connection arrived");
    }

    ssize_t ignored = write(stop[1], &byte, 1);
    static_cast<void>(ignored);
    waitpid(child, nullptr, 0);
    std::vector<Ref<Stream>> closing;
    {
        std::lock_guard<std::mutex> guard(mutex);
        closing.swap(streams);
    }
    for (const Ref<Stream>& stream : closing) {
        CloseStream(*stream);
    }
    server->Close();
    StopPool(pool);
    for (int fd : {ready[0], ready[1], stop[0], stop[1]}) {
        close(fd);
    }
}
BENCHMARK(BM_IdleConnections)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
