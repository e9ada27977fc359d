#include "tarvos/http/HttpSvc.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/http/HttpNames.h"
#include "tarvos/http/HttpStatus.h"
#include "tarvos/http/internal/HttpSvcImpl.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/internal/StreamTestSupport.h"

namespace Tarvos::Http {
namespace {

using System::Testing::LockedTextWriter;
using System::Testing::WaitUntil;

// A blocking client socket with bounded waits.
class Client {
public:
    explicit Client(uint16_t port) {
        _fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        _connected = connect(_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() {
        if (_fd >= 0) {
            close(_fd);
        }
    }
    bool Connected() const { return _connected; }
    void Send(const std::string& text) {
        ASSERT_EQ(send(_fd, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // Reads one reply: the status code, the header block and Content-Length bytes of body.
    // Returns the code, or -1 when the connection ended (or nothing came in 20 s).
    int ReadReply(std::string* head = nullptr, std::string* body = nullptr) {
        size_t end;
        while ((end = _pending.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill()) {
                return -1;
            }
        }
        const std::string header = _pending.substr(0, end + 4);
        _pending.erase(0, end + 4);
        size_t length = 0;
        const size_t field = header.find("Content-Length: ");
        if (field != std::string::npos) {
            length = std::strtoul(header.c_str() + field + 16, nullptr, 10);
        }
        while (_pending.size() < length) {
            if (!Fill()) {
                return -1;
            }
        }
        if (head != nullptr) {
            *head = header;
        }
        if (body != nullptr) {
            *body = _pending.substr(0, length);
        }
        _pending.erase(0, length);
        return std::atoi(header.c_str() + 9);  // "HTTP/1.1 200 ..."
    }
    // Whether the server closed the connection (within 20 s) with nothing more to read.
    bool ClosedByServer() { return _pending.empty() && !Fill(); }
    // Reads and drops what comes until the server closes the connection (true) or 20 s pass
    // without a byte (false).
    bool DrainUntilClosed() {
        for (;;) {
            pollfd ready{_fd, POLLIN, 0};
            if (poll(&ready, 1, 20000) != 1) {
                return false;
            }
            char buffer[65536];
            if (recv(_fd, buffer, sizeof buffer, 0) <= 0) {
                return true;
            }
        }
    }

private:
    bool Fill() {
        pollfd ready{_fd, POLLIN, 0};
        if (poll(&ready, 1, 20000) != 1) {
            return false;
        }
        char buffer[16384];
        const ssize_t got = recv(_fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return false;
        }
        _pending.append(buffer, static_cast<size_t>(got));
        return true;
    }

    int _fd = -1;
    bool _connected = false;
    std::string _pending;
};

size_t OpenDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

// Answers GET with the value of the request's "X-Echo" field (or "hello, world\n") and POST
// with the body it read; reads nothing else.
class EchoHandler final : public RequestHandler, public ObjectImpl {
public:
    void HandleGet(Request& request, Response& response) override {
        std::string value;
        if (!request.GetHeaderValue("X-Echo", value)) {
            value = "hello, world\n";
        }
        response.SetContentType("text/plain", "");
        response.Write(value.data(), static_cast<int32_t>(value.size()));
        response.Complete();
    }
    void HandlePost(Request& request, Response& response) override {
        std::string body;
        char piece[7];
        for (int32_t got; (got = request.Read(piece, sizeof piece)) >= 0;) {
            body.append(piece, static_cast<size_t>(got));
        }
        response.SetContentLength(static_cast<int64_t>(body.size()));
        if (!body.empty()) {
            response.Write(body.data(), static_cast<int32_t>(body.size()));
        } else {
            response.Complete();
        }
    }
};

// Handlers that misbehave in the ways a server must survive.
class CarelessHandler final : public RequestHandler, public ObjectImpl {
public:
    void HandleGet(Request& request, Response& response) override {
        std::string uri;
        request.GetUri(uri);
        if (uri == "/throw") {
            throw Exception("boom");
        }
        if (uri == "/big") {
            // More than any socket buffer holds, for a client that reads none of it.
            const std::string piece(65536, 'b');
            response.SetContentLength(256 * static_cast<int64_t>(piece.size()));
            for (int i = 0; i < 256; ++i) {
                response.Write(piece.data(), static_cast<int32_t>(piece.size()));
            }
            return;
        }
        response.Write("abc", 3);
        if (uri == "/short") {
            response.SetContentLength(10);  // and returns after 3 of its 10 bytes
        }
    }
    void HandlePost(Request&, Response&) override {}
};

class HttpSvcTest : public System::Testing::PoolFixture {
protected:
    void SetUp() override {
        PoolFixture::SetUp();
        _root = std::filesystem::temp_directory_path() /
                ("tarvos-http-" + std::to_string(getpid()) + "-" + std::to_string(++_counter));
        std::filesystem::create_directories(_root / "docs");
        std::filesystem::create_directories(_root / "empty");
        WriteFile("index.html", "<h1>home</h1>");
        WriteFile("docs/index.html", "<p>docs</p>");
        WriteFile("notes.txt", "plain notes");
        WriteFile("style.css", "body{}");
        WriteFile("data.bin", "??");
        WriteFile("nothing.html", "");
        std::ofstream(_root.parent_path() / ("tarvos-http-secret-" + std::to_string(getpid())))
            << "secret";
        _output = new LockedTextWriter();
        Service::CreateRootLogger("HTTP", _output, nullptr, _logger);
        _logger->SetLevel(Service::LogLevel::Verbose);
        _socket = Listen();
        Ref<HttpSvc> service;
        CreateHttpSvc(_socket, _logger, service);
        _service = RefCast<HttpSvcImpl>(service);
        CreateDocumentHandler(_root.string(), _logger, _documents);
        _documents->AddHandler("/hello", new EchoHandler());
        for (const char* name : {"/throw", "/open", "/short", "/big"}) {
            _documents->AddHandler(name, new CarelessHandler());
        }
        _service->SetRequestHandler(_documents);
        _service->Start();
        _port = _socket->GetPort();
    }
    void TearDown() override {
        _service->Stop();
        _service.Reset();
        _documents.Reset();
        _socket.Reset();
        PoolFixture::TearDown();
        std::filesystem::remove_all(_root);
        std::filesystem::remove(_root.parent_path() /
                                ("tarvos-http-secret-" + std::to_string(getpid())));
    }
    void WriteFile(const std::string& name, const std::string& text) {
        std::ofstream(_root / name, std::ios::binary) << text;
    }
    std::string Logged() { return _output->Text(); }
    // One request on a new connection; the reply's code (and body).
    int Get(const std::string& uri, std::string* body = nullptr, std::string* head = nullptr) {
        Client client(_port);
        client.Send("GET " + uri + " HTTP/1.1\r\nHost: x\r\n\r\n");
        return client.ReadReply(head, body);
    }

    static inline int _counter = 0;
    std::filesystem::path _root;
    Ref<LockedTextWriter> _output;
    Ref<Service::Logger> _logger;
    Ref<System::TCPServerSocket> _socket;
    Ref<HttpSvcImpl> _service;
    Ref<RequestHandler> _documents;
    uint16_t _port = 0;
};

TEST_F(HttpSvcTest, Http11KeepsTheConnectionAndHttp10ClosesItAfterTheReply) {
    Client client(_port);
    std::string body;
    client.Send("GET /hello HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.ReadReply(nullptr, &body), 200);
    EXPECT_EQ(body, "hello, world\n");
    client.Send("GET /notes.txt HTTP/1.1\r\n\r\n");
    std::string head;
    EXPECT_EQ(client.ReadReply(&head, &body), 200);
    EXPECT_EQ(body, "plain notes");
    EXPECT_NE(head.find("Content-Type: text/html\r\n"), std::string::npos);
    client.Send("GET /hello HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(client.ReadReply(), 200);
    EXPECT_TRUE(client.ClosedByServer());

    Client old(_port);
    old.Send("GET /hello HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
    EXPECT_EQ(old.ReadReply(&head), 200);
    EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos) << head;
    EXPECT_TRUE(old.ClosedByServer());
}

TEST_F(HttpSvcTest, PipelinedRequestsAndFoldedFieldsAreAnsweredInOrder) {
    Client client(_port);
    client.Send(
        "GET /hello HTTP/1.1\r\nX-Echo: first\r\n\r\n"
        "GET /hello HTTP/1.1\r\nX-Echo: second\r\nContent-Length: 11\r\n\r\nhello world"
        "GET /hello HTTP/1.1\r\nX-Echo: folded\r\n\tline\r\n\r\n");
    std::string body;
    EXPECT_EQ(client.ReadReply(nullptr, &body), 200);
    EXPECT_EQ(body, "first");
    EXPECT_EQ(client.ReadReply(nullptr, &body), 200);
    EXPECT_EQ(body, "second");  // its own body was read and dropped
    EXPECT_EQ(client.ReadReply(nullptr, &body), 200);
    EXPECT_EQ(body, "folded\tline");
}

TEST_F(HttpSvcTest, BadRequestsAreAnsweredAndClosedWhileTheServerKeepsServing) {
    struct Case {
        std::string request;
        int code;
    };
    const std::vector<Case> cases = {
        {"HEAD / HTTP/1.1\r\n\r\n", 501},
        {"DELETE / HTTP/1.1\r\n\r\n", 501},
        {std::string("GET /a\0b HTTP/1.1\r\n\r\n", 22), 400},
        {"GET / HTTP/1.1\r\nX-Long: " + std::string(12000, 'a') + "\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: -4\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: many\r\n\r\n", 400},
    };
    for (const Case& item : cases) {
        Client client(_port);
        client.Send(item.request);
        EXPECT_EQ(client.ReadReply(), item.code) << item.request.substr(0, 40);
        if (item.code != 501 || item.request.rfind("HEAD", 0) != 0) {
            EXPECT_TRUE(client.ClosedByServer()) << item.request.substr(0, 40);
        }
    }
    EXPECT_NE(Logged().find("HTTP Transaction failed, closing connection. Reason: "),
              std::string::npos);
    EXPECT_EQ(Get("/hello"), 200);
}

TEST_F(HttpSvcTest, FailingOrUnfinishedHandlersEndTheirConnectionOnly) {
    Client failing(_port);
    failing.Send("GET /throw HTTP/1.1\r\n\r\n");
    EXPECT_EQ(failing.ReadReply(), 500);
    EXPECT_TRUE(failing.ClosedByServer());
    EXPECT_NE(Logged().find("Reason: boom, class type is: Tarvos::Exception"), std::string::npos);
    // A reply left open without a declared length is finished for the handler.
    Client open(_port);
    open.Send("GET /open HTTP/1.1\r\n\r\nGET /hello HTTP/1.1\r\n\r\n");
    std::string body;
    EXPECT_EQ(open.ReadReply(nullptr, &body), 200);
    EXPECT_EQ(body, "abc");
    EXPECT_EQ(open.ReadReply(), 200);
    // A declared length the handler did not write cannot be met: the connection ends.
    Client shortReply(_port);
    shortReply.Send("GET /short HTTP/1.1\r\n\r\n");
    EXPECT_EQ(shortReply.ReadReply(), -1);
    EXPECT_NE(Logged().find("the handler left its reply unfinished"), std::string::npos);
    EXPECT_EQ(Get("/hello"), 200);
}

TEST_F(HttpSvcTest, DocumentsAreServedByTypeAndNothingOutsideTheRootIsReachable) {
    std::string body;
    std::string head;
    EXPECT_EQ(Get("/", &body, &head), 200);
    EXPECT_EQ(body, "<h1>home</h1>");
    EXPECT_EQ(Get("/docs/", &body), 200);
    EXPECT_EQ(body, "<p>docs</p>");
    EXPECT_EQ(Get("/empty", &body), 403);
    EXPECT_EQ(Get("/style.css?v=2", &body, &head), 200);
    EXPECT_NE(head.find("Content-Type: text/css\r\n"), std::string::npos);
    EXPECT_EQ(Get("/nothing.html", &body, &head), 200);
    EXPECT_NE(head.find("Content-Length: 0\r\n"), std::string::npos);
    EXPECT_EQ(Get("/data.bin"), 404);
    EXPECT_NE(Logged().find("Unknown file extension: bin"), std::string::npos);
    EXPECT_EQ(Get("/missing.html"), 404);
    const std::string secret = "tarvos-http-secret-" + std::to_string(getpid());
    for (const std::string& uri : std::vector<std::string>{
             "/../" + secret, "/docs/../../" + secret, "/%2e%2e/" + secret, "/%2E%2E%2f" + secret,
             "/../../../../../../etc/passwd", "/./docs/./../../etc/passwd"}) {
        EXPECT_EQ(Get(uri, &body), 404) << uri;
        EXPECT_EQ(body.find("secret"), std::string::npos);
    }
    EXPECT_EQ(Get("/docs/../notes.txt", &body), 200);  // stays inside the root
    EXPECT_EQ(body, "plain notes");
    EXPECT_NE(Logged().find("Sent "), std::string::npos);
}

// An empty document root means the working directory, never the file system's root.
TEST_F(HttpSvcTest, EmptyDocumentRootIsTheWorkingDirectory) {
    const Ref<System::TCPServerSocket> socket = Listen();
    Ref<HttpSvc> service;
    CreateHttpSvc(socket, _logger, service);
    Ref<RequestHandler> documents;
    CreateDocumentHandler("", _logger, documents);
    service->SetRequestHandler(documents);
    service->Start();
    Client client(socket->GetPort());
    client.Send("GET " + (_root / "notes.txt").string() + " HTTP/1.1\r\n\r\n");
    std::string body;
    EXPECT_EQ(client.ReadReply(nullptr, &body), 404);
    EXPECT_EQ(body, "");
    service->Stop();
}

TEST_F(HttpSvcTest, PostToTheDocumentHandlerIsABadRequestAfterItsBodyWasRead) {
    Client client(_port);
    client.Send("POST /index.html HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde");
    EXPECT_EQ(client.ReadReply(), 400);
    EXPECT_NE(Logged().find("Tarvos::Http::DocumentHandler::HandlePost: Not supported HTTP "
                            "method for given URI"),
              std::string::npos);
}

TEST_F(HttpSvcTest, StalledHeadersHoldNoThreadAndEndAtTheirDeadline) {
    _service->SetHeaderTimeout(1000000);
    std::vector<std::unique_ptr<Client>> stalled;
    for (int i = 0; i < 64; ++i) {
        stalled.push_back(std::make_unique<Client>(_port));
        stalled.back()->Send("GET /hello HTTP/1.1\r\nHost: slow");
    }
    // The pool has two task threads; a client sent in full is served at once all the same.
    std::string body;
    EXPECT_EQ(Get("/hello", &body), 200);
    EXPECT_EQ(body, "hello, world\n");
    // A header completed in a later packet continues where the first part stopped.
    Client late(_port);
    late.Send("GET /hel");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    late.Send("lo HTTP/1.1\r\n\r\n");
    EXPECT_EQ(late.ReadReply(nullptr, &body), 200);
    for (const auto& client : stalled) {
        EXPECT_TRUE(client->ClosedByServer());
    }
    EXPECT_NE(Logged().find("HTTP request header not complete within 1000 ms"), std::string::npos);
}

TEST_F(HttpSvcTest, StalledOrVanishingBodyEndsOnlyItsOwnConnection) {
    _service->SetBodyReadTimeout(200000);
    Client stalled(_port);
    stalled.Send("POST /hello HTTP/1.1\r\nContent-Length: 100\r\n\r\nonly part");
    EXPECT_TRUE(stalled.ClosedByServer());
    {
        Client vanishing(_port);
        vanishing.Send("POST /hello HTTP/1.1\r\nContent-Length: 100\r\n\r\nonly part");
    }
    EXPECT_EQ(Get("/hello"), 200);
}

TEST_F(HttpSvcTest, ClientThatStopsReadingAReplyLosesItsConnectionOnly) {
    _service->SetResponseWriteTimeout(200000);
    Client stalled(_port);
    stalled.Send("GET /big HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(WaitUntil(
        [&] { return Logged().find("Reason: Operation timed out") != std::string::npos; }));
    EXPECT_EQ(Get("/hello"), 200);
    EXPECT_TRUE(stalled.DrainUntilClosed());
}

TEST_F(HttpSvcTest, ClosedConnectionsLeaveNoDescriptorBehind) {
    EXPECT_EQ(Get("/hello"), 200);  // the connection cache and the pool threads exist now
    const size_t before = OpenDescriptors();
    for (int i = 0; i < 10000; ++i) {
        Client client(_port);
        ASSERT_TRUE(client.Connected());
        if (i % 100 == 0) {
            client.Send("GET /hello HTTP/1.1\r\n\r\n");
            ASSERT_EQ(client.ReadReply(), 200);
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() <= before; }))
        << OpenDescriptors() << " open, " << before << " before";
}

TEST_F(HttpSvcTest, LifecycleStatesTextsAndRefusals) {
    EXPECT_EQ(_service->GetState(), HttpSvcImpl::OpState::Started);
    _service->Start();
    EXPECT_NE(Logged().find("Request to start ignored, already started"), std::string::npos);
    EXPECT_NE(Logged().find("Http Service started, listening on ServerSocket: "),
              std::string::npos);
    EXPECT_THROW(_service->SetRequestHandler(_documents), AlreadyInitializedException);
    const std::string text = _service->ToString();
    EXPECT_EQ(text.find("[Tarvos::Http::HttpSvcImpl:"), 0u) << text;
    EXPECT_NE(text.find(" {_logger="), std::string::npos);
    EXPECT_NE(text.find(", _requestHandler=[Tarvos::Http::DocumentHandler:"), std::string::npos);
    EXPECT_NE(text.find(", _opState=started }"), std::string::npos) << text;
    EXPECT_EQ(Get("/hello"), 200);

    _service->Stop();
    EXPECT_TRUE(WaitUntil([&] {
        return Logged().find("Socket closed, not issuing another Accept") != std::string::npos;
    }));
    EXPECT_NE(Logged().find("Stopped HTTP service"), std::string::npos);
    EXPECT_EQ(_service->GetState(), HttpSvcImpl::OpState::NotReady);
    EXPECT_EQ(_service->GetRequestHandler(), nullptr);
    const HttpSvcImpl::Statistics counts = _service->GetStatistics();
    EXPECT_GE(counts.acceptsReading, 1);
    EXPECT_GE(counts.readCallbacks, 1);
    try {
        _service->Start();
        ADD_FAILURE() << "started without a socket";
    } catch (const Exception& error) {
        EXPECT_EQ(error.GetMessage(), "ServerSocket not set");
    }
    Ref<HttpSvc> bare;
    CreateHttpSvc(Listen(), _logger, bare);
    try {
        bare->Start();
        ADD_FAILURE() << "started without a handler";
    } catch (const Exception& error) {
        EXPECT_EQ(error.GetMessage(), "No RequestHandler has been set");
    }
    bare->Stop();
}

}  // namespace
}  // namespace Tarvos::Http
