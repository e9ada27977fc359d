#pragma once

// Helpers shared by the stream, TCP and named-pipe tests (header-only, tests only).

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Writer.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/Stream.h"
#include "tarvos/system/StreamServer.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/TCPClientSocket.h"
#include "tarvos/system/TCPServerSocket.h"
#include "tarvos/system/internal/PoolTestSupport.h"

namespace Tarvos::System::Testing {

// errno value an exception stands for: ECANCELED for CanceledException, the code of a
// SystemException, -1 for anything else, 0 for none.
inline int CodeOf(const Exception* error) {
    if (error == nullptr) {
        return 0;
    }
    if (dynamic_cast<const CanceledException*>(error) != nullptr) {
        return ECANCELED;
    }
    if (const auto* system = dynamic_cast<const SystemException*>(error)) {
        return system->GetErrorCode();
    }
    return -1;
}

// Records the completions of one direction: how many, and the error and bytes of the last.
class Completions {
public:
    void Record(const Exception* error, int32_t bytes) {
        std::lock_guard<std::mutex> guard(_mutex);
        ++_count;
        _code = CodeOf(error);
        _bytes = bytes;
        _changed.notify_all();
    }
    // Waits (bounded) until at least `count` completions arrived.
    bool WaitFor(int count, std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> guard(_mutex);
        return _changed.wait_for(guard, limit, [&] { return _count >= count; });
    }
    int Count() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _count;
    }
    int Code() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _code;
    }
    int32_t Bytes() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _bytes;
    }
    Ref<StreamReadCallback> ReadCallback() {
        return MakeReadCallback([this](const Ref<Stream>&, const Exception* error, int32_t bytes) {
            Record(error, bytes);
        });
    }
    Ref<StreamWriteCallback> WriteCallback() {
        return MakeWriteCallback(
            [this](const Ref<Stream>&, const Exception* error) { Record(error, 0); });
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    int _count = 0;
    int _code = 0;
    int32_t _bytes = 0;
};

// A Writer that keeps what log lines wrote, readable from any thread.
class LockedTextWriter final : public Writer, public ObjectImpl {
public:
    void Write(const char* data, int32_t length) override {
        std::lock_guard<std::mutex> guard(_mutex);
        _text.append(data, static_cast<size_t>(length));
    }
    void Flush() override {}
    std::string Text() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _text;
    }

private:
    std::mutex _mutex;
    std::string _text;
};

// Makes a new root logger writing into the returned writer the process's default logger (at
// `level`, unless 0), and lets `pool` forget a "TCP" logger made below an earlier default.
inline Ref<LockedTextWriter> CaptureDefaultLog(const Ref<ThreadPool>& pool, int32_t level = 0) {
    Ref<LockedTextWriter> output(new LockedTextWriter());
    Ref<Service::Logger> root;
    Service::CreateRootLogger("test", output, nullptr, root);
    if (level != 0) {
        root->SetLevel(level);
    }
    Service::SetDefaultLogger(root);
    pool->Drain(0);
    return output;
}

// Undoes CaptureDefaultLog.
inline void ReleaseDefaultLog(const Ref<ThreadPool>& pool) {
    Service::SetDefaultLogger(nullptr);
    pool->Drain(0);
}

// A pool whose threads include the test's own thread, and connected TCP pairs on 127.0.0.1.
class PoolFixture : public ::testing::Test {
protected:
    void SetUp() override {
        _pool = MakePool();
        _pool->EnterThread();
    }
    void TearDown() override {
        _pool->LeaveThread();
        StopPool(_pool);
    }

    Ref<TCPServerSocket> Listen() {
        Ref<TCPServerSocket> server;
        GetSystemFactory().CreateTCPServerSocket(server);
        server->Listen("127.0.0.1", 0);
        return server;
    }

    // Connects a client to `server` and accepts it; fails the test when either side fails.
    void Connect(const Ref<TCPServerSocket>& server, Ref<TCPClientSocket>& client,
                 Ref<Stream>& accepted) {
        GetSystemFactory().CreateTCPClientSocket(client);
        Completions connected;
        client->ConnectInitiate(
            "127.0.0.1", server->GetPort(),
            MakeConnectCallback([&](const Ref<TCPClientSocket>&, const Exception* error) {
                connected.Record(error, 0);
            }));
        server->Accept(accepted);
        ASSERT_TRUE(connected.WaitFor(1));
        ASSERT_EQ(connected.Code(), 0);
    }

    Ref<ThreadPool> _pool;
};

}  // namespace Tarvos::System::Testing
