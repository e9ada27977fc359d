// Static files below a document root, and sub-handlers by URI.
//
// A request path is resolved lexically before the file system sees it: empty and "." segments
// drop, ".." removes the previous segment, and a ".." with nothing left to remove, or a zero
// byte, means the path would leave the root (404). The URI reaching the handler is already
// URL-decoded, so "%2e%2e" arrives as "..". Symbolic links below the root are followed, as an
// administrator who put them there intends. The query string ("?...") takes no part in the
// lookup of a sub-handler or a file.

#include "tarvos/http/internal/DocumentHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include "tarvos/http/HttpStatus.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/PosixSystemException.h"

namespace Tarvos::Http {

using Service::Log;
namespace LogLevel = Service::LogLevel;

namespace {

constexpr int32_t kPiece = 1024;

std::string Lower(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered;
}

std::string_view PathOf(const std::string& uri) {
    const size_t query = uri.find('?');
    return std::string_view(uri).substr(0, query);
}

// A descriptor closed on every path out.
class FileCloser {
public:
    explicit FileCloser(int fd) : _fd(fd) {}
    ~FileCloser() {
        if (_fd >= 0) {
            close(_fd);
        }
    }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    int _fd;
};

void DiscardBody(Request& request) {
    char piece[kPiece];
    while (request.Read(piece, sizeof piece) >= 0) {
    }
}

}  // namespace

const char* DocumentHandler::GetMimeType(std::string_view extension) {
    static constexpr struct {
        const char* extension;
        const char* type;
    } kTypes[] = {
        {"txt", "text/html"},          {"html", "text/html"},
        {"htm", "text/html"},          {"xsd", "text/xml"},
        {"wsdl", "text/xml"},          {"xml", "text/xml"},
        {"jpeg", "image/jpeg"},        {"jpg", "image/jpeg"},
        {"gif", "image/gif"},          {"exe", "application/octet-stream"},
        {"pdf", "application/pdf"},    {"css", "text/css"},
        {"doc", "application/msword"}, {"ico", "image/x-icon"},
        {"png", "image/png"},          {"js", "text/javascript"},
    };
    const std::string lowered = Lower(extension);
    for (const auto& entry : kTypes) {
        if (lowered == entry.extension) {
            return entry.type;
        }
    }
    return nullptr;
}

bool DocumentHandler::ResolvePath(std::string_view uriPath, std::string& relative) {
    relative.clear();
    if (uriPath.find('\0') != std::string_view::npos) {
        return false;
    }
    std::vector<std::string_view> segments;
    size_t begin = 0;
    while (begin <= uriPath.size()) {
        size_t end = uriPath.find('/', begin);
        if (end == std::string_view::npos) {
            end = uriPath.size();
        }
        const std::string_view segment = uriPath.substr(begin, end - begin);
        if (segment == "..") {
            if (segments.empty()) {
                return false;
            }
            segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        begin = end + 1;
    }
    for (const std::string_view segment : segments) {
        relative += '/';
        relative += segment;
    }
    return true;
}

DocumentHandler::DocumentHandler(std::string documentRoot, Ref<Service::Logger> logger)
    : _documentRoot(std::move(documentRoot)), _logger(std::move(logger)) {
    if (_documentRoot.empty()) {
        _documentRoot = ".";  // not the file system's root
    }
    while (_documentRoot.size() > 1 && _documentRoot.back() == '/') {
        _documentRoot.pop_back();
    }
}

DocumentHandler::~DocumentHandler() = default;

void DocumentHandler::HandleGet(Request& request, Response& response) {
    DiscardBody(request);
    std::string uri;
    request.GetUri(uri);
    const std::string_view uriPath = PathOf(uri);
    Ref<RequestHandler> handler;
    if (FindHandler(std::string(uriPath), handler)) {
        handler->HandleGet(request, response);
        return;
    }
    std::string relative;
    if (!ResolvePath(uriPath, relative)) {
        response.SendError(HttpStatus::NotFound);
        return;
    }
    std::string path = _documentRoot + relative;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        response.SendError(HttpStatus::NotFound);
        return;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        close(fd);
        response.SendError(HttpStatus::NotFound);
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        close(fd);
        path += "/index.html";
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (fd >= 0) {
                close(fd);
            }
            response.SendError(HttpStatus::Forbidden);
            return;
        }
    }
    const FileCloser closer(fd);
    if (!S_ISREG(info.st_mode)) {
        response.SendError(HttpStatus::NotFound);  // a device, socket or pipe is no document
        return;
    }
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const char* type = nullptr;
    if (dot != std::string::npos && dot > slash) {
        type = GetMimeType(std::string_view(path).substr(dot + 1));
    }
    if (type == nullptr) {
        Log(_logger, LogLevel::Error, "Unknown file extension: %1",
            dot != std::string::npos && dot > slash ? path.substr(dot + 1) : std::string());
        response.SendError(HttpStatus::NotFound);
        return;
    }
    Log(_logger, LogLevel::Verbose, "Sent %1", path);
    response.SetContentType(type, "");
    const int64_t size = static_cast<int64_t>(info.st_size);
    response.SetContentLength(size);
    if (size == 0) {
        response.Complete();
        return;
    }
    // Read in larger blocks, hand over in 1024-byte pieces: the reply finishes by itself with
    // its last declared byte.
    char block[16 * kPiece];
    int64_t sent = 0;
    while (sent < size) {
        const ssize_t got =
            read(fd, block, static_cast<size_t>(std::min<int64_t>(size - sent, sizeof block)));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // The file shrank or failed under us: the declared length cannot be met.
            throw IOException();
        }
        for (ssize_t offset = 0; offset < got; offset += kPiece) {
            response.Write(block + offset,
                           static_cast<int32_t>(std::min<ssize_t>(kPiece, got - offset)));
        }
        sent += got;
    }
}

void DocumentHandler::HandlePost(Request& request, Response& response) {
    DiscardBody(request);
    Log(_logger, LogLevel::Warning, "%1: Not supported HTTP method for given URI",
        "Tarvos::Http::DocumentHandler::HandlePost");
    response.SendError(HttpStatus::BadRequest);
}

void DocumentHandler::AddHandler(const std::string& name, const Ref<RequestHandler>& handler) {
    System::ScopedLock lock(*this);
    _handlers.emplace(name, handler);
}

void DocumentHandler::RemoveHandler(const std::string& name) {
    Ref<RequestHandler> removed;  // released after the lock
    const std::string lowered = Lower(name);
    System::ScopedLock lock(*this);
    if (_handlers.count(lowered) != 0) {
        auto entry = _handlers.find(name);
        if (entry != _handlers.end()) {
            removed = std::move(entry->second);
            _handlers.erase(entry);
        }
    }
}

bool DocumentHandler::FindHandler(const std::string& name, Ref<RequestHandler>& handler) {
    const std::string lowered = Lower(name);
    System::ScopedLock lock(*this);
    auto entry = _handlers.find(lowered);
    if (entry == _handlers.end()) {
        return false;
    }
    handler = entry->second;
    return true;
}

void CreateDocumentHandler(const std::string& documentRoot, const Ref<Service::Logger>& logger,
                           Ref<RequestHandler>& handler) {
    handler = new DocumentHandler(documentRoot, logger ? logger : Service::TryGetDefaultLogger());
}

}  // namespace Tarvos::Http
