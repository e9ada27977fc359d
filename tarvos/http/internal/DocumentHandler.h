#pragma once

#include <map>
#include <string>
#include <string_view>

#include "tarvos/http/HttpSvc.h"
#include "tarvos/system/LockableObjectImpl.h"

namespace Tarvos::Http {

// The file-serving request handler (see CreateDocumentHandler). The sub-handler map is guarded
// by the handler's lock; files are read without it.
class TARVOS_INTERNAL DocumentHandler final : public RequestHandler,
                                              public System::LockableObjectImpl {
public:
    DocumentHandler(std::string documentRoot, Ref<Service::Logger> logger);
    ~DocumentHandler() override;

    void HandlePost(Request& request, Response& response) override;
    void HandleGet(Request& request, Response& response) override;
    // Kept under `name` as given; an entry already there stays.
    void AddHandler(const std::string& name, const Ref<RequestHandler>& handler) override;
    void RemoveHandler(const std::string& name) override;
    // Looks `name` up lower-cased.
    bool FindHandler(const std::string& name, Ref<RequestHandler>& handler) override;

    // The MIME type of a file extension (any case), or null when the table lacks it.
    static const char* GetMimeType(std::string_view extension);
    // The path below the root that a URI path names ("/a/./b/../c" -> "/a/c", "/" -> ""), or
    // false when it would leave the root or holds a zero byte.
    static bool ResolvePath(std::string_view uriPath, std::string& relative);

private:
    std::string _documentRoot;
    const Ref<Service::Logger> _logger;
    std::map<std::string, Ref<RequestHandler>> _handlers;  // guarded by the handler's lock
};

}  // namespace Tarvos::Http
