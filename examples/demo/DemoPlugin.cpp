// The demo plug-in: registers the "demo" service and logs a heartbeat on a pool timer, every
// "demo/heartbeatSeconds" seconds (default 5), the first one at once. It also serves HTTP on
// "demo/http/address" (default "127.0.0.1") and "demo/http/port" (default 8080): the files of
// "demo/http/documentRoot" (default the "www" folder beside the configuration file) and, under
// "/hello", a handler that answers "hello, world". Stop ends both and reports finished once no
// heartbeat is running.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "tarvos/core/Exception.h"
#include "tarvos/http/HttpStatus.h"
#include "tarvos/http/HttpSvc.h"
#include "tarvos/service/App.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/Plugin.h"
#include "tarvos/system/ScheduledItem.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/TCPServerSocket.h"
#include "tarvos/system/Task.h"

namespace {

using namespace Tarvos;
using namespace Tarvos::Service;

// The service other plug-ins find under "demo": how many heartbeats were logged.
class DemoService final : public ObjectImpl {
public:
    int64_t GetHeartbeats() const {
        std::lock_guard<std::mutex> guard(_mutex);
        return _heartbeats;
    }
    int64_t Beat() {
        std::lock_guard<std::mutex> guard(_mutex);
        return ++_heartbeats;
    }

private:
    mutable std::mutex _mutex;
    int64_t _heartbeats = 0;
};

// Answers GET "/hello" with "hello, world\n" as text/plain and logs each request at verbose.
class HelloHandler final : public Http::RequestHandler, public ObjectImpl {
public:
    explicit HelloHandler(Ref<Logger> logger) : _logger(std::move(logger)) {}

    void HandleGet(Http::Request&, Http::Response& response) override {
        static constexpr char kBody[] = "hello, world\n";
        Log(_logger, LogLevel::Verbose, "GET /hello");
        response.SetContentType("text/plain", "");
        response.SetContentLength(sizeof kBody - 1);
        response.Write(kBody, sizeof kBody - 1);  // the last declared byte finishes the reply
    }
    void HandlePost(Http::Request&, Http::Response& response) override {
        Log(_logger, LogLevel::Verbose, "POST /hello refused");
        response.SendError(Http::HttpStatus::MethodNotAllowed);
    }

private:
    const Ref<Logger> _logger;
};

// Safe for concurrent use: the heartbeat runs on pool workers, Init/Start/Stop on the
// application's start-up thread.
class DemoPlugin final : public Plugin, public ObjectImpl {
public:
    std::string GetName() const override { return "demo"; }

    void Init(App& app) override {
        Ref<Config::View> root;
        app.GetConfig()->GetRootView(root);
        int32_t seconds = 5;
        root->GetInt("demo/heartbeatSeconds", seconds);
        if (seconds < 1) {
            throw InvalidArgumentException("demo/heartbeatSeconds must be at least 1");
        }
        app.GetLogger()->CreateLogger("Demo", _logger);
        _pool = app.GetThreadPool();
        _periodMicros = int64_t{seconds} * 1000000;
        _service = new DemoService();
        app.RegisterService("demo", _service);
        root->GetString("demo/http/address", _address);
        int32_t port = 8080;
        root->GetInt("demo/http/port", port);
        if (port < 0 || port > 65535) {
            throw InvalidArgumentException("demo/http/port must be between 0 and 65535");
        }
        _port = static_cast<uint16_t>(port);
        const std::string configPath = app.GetConfigPath();
        const size_t slash = configPath.rfind('/');
        _documentRoot =
            (slash == std::string::npos ? std::string(".") : configPath.substr(0, slash)) + "/www";
        root->GetString("demo/http/documentRoot", _documentRoot);
        Log(_logger, LogLevel::Info, "Demo plug-in loaded, heartbeat every %1 s", seconds);
    }

    void Start(App&) override {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            ScheduleLocked(0);
        }
        Ref<System::TCPServerSocket> socket;
        System::GetSystemFactory().CreateTCPServerSocket(socket);
        socket->Listen(_address, _port);
        Ref<Http::RequestHandler> documents;
        Http::CreateDocumentHandler(_documentRoot, _logger, documents);
        documents->AddHandler("/hello", new HelloHandler(_logger));
        Http::CreateHttpSvc(socket, _logger, _http);
        _http->SetRequestHandler(documents);
        _http->Start();
        Log(_logger, LogLevel::Info, "Serving http://%1:%2/ from %3", _address, socket->GetPort(),
            _documentRoot);
    }

    bool Stop(int64_t timeoutMicros) override {
        if (_http) {
            _http->Stop();
        }
        std::unique_lock<std::mutex> guard(_mutex);
        if (!_stopping) {
            _stopping = true;
            if (_timer) {
                _timer->Cancel();
                _timer.Reset();
            }
        }
        if (!_idle.wait_for(guard, std::chrono::microseconds(timeoutMicros),
                            [this] { return !_beating; })) {
            return false;
        }
        guard.unlock();
        Log(_logger, LogLevel::Info, "Demo plug-in stopped after %1 heartbeats",
            _service->GetHeartbeats());
        return true;
    }

private:
    void ScheduleLocked(int64_t delayMicros) {
        Ref<DemoPlugin> self(this);
        _pool->ScheduleTimer(System::MakeTask([self] { self->Heartbeat(); }), delayMicros, _timer);
    }

    void Heartbeat() {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            if (_stopping) {
                return;
            }
            _beating = true;
        }
        Log(_logger, LogLevel::Info, "Heartbeat %1", _service->Beat());
        std::lock_guard<std::mutex> guard(_mutex);
        _beating = false;
        if (!_stopping) {
            ScheduleLocked(_periodMicros);
        }
        _idle.notify_all();
    }

    Ref<Logger> _logger;
    Ref<System::ThreadPool> _pool;
    Ref<DemoService> _service;
    int64_t _periodMicros = 0;
    std::string _address = "127.0.0.1";
    uint16_t _port = 8080;
    std::string _documentRoot;
    Ref<Http::HttpSvc> _http;  // set by Start, on the start-up thread, before Stop can run

    std::mutex _mutex;
    std::condition_variable _idle;
    // Guarded by _mutex.
    Ref<System::ScheduledItem> _timer;
    bool _stopping = false;
    bool _beating = false;
};

}  // namespace

TARVOS_PLUGIN_ENTRY(DemoPlugin)
