#pragma once

#include "tarvos/core/Object.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::System {

// The platform's SystemFactory. Each creation operation is defined beside the class it makes.
// Safe for concurrent use.
class TARVOS_API SystemFactoryImpl : public SystemFactory, public ObjectImpl {
public:
    SystemFactoryImpl();
    ~SystemFactoryImpl() override;

    void CreateMutex(Ref<Mutex>& mutex) override;
    void CreateRWLock(Ref<RWLock>& lock) override;
    void CreateCondition(Ref<Condition>& condition) override;
    void CreateThreadPool(const Ref<Service::Config::View>& config, Ref<ThreadPool>& pool) override;
    void CreateConsoleWriter(Ref<Writer>& writer) override;
    void CreateFileWriter(const std::string& path, bool append, Ref<FileWriter>& writer) override;
    void CreateFileReader(const std::string& path, Ref<FileReader>& reader) override;
    void CreateRolloverWriter(const std::string& directory, const std::string& baseName,
                              int64_t maxFileSize, int32_t fileCount,
                              Ref<RolloverWriter>& writer) override;
    void CreateRolloverLogWriter(const std::string& directory, const std::string& baseName,
                                 int64_t maxFileSize, int32_t fileCount,
                                 Ref<RolloverWriter>& writer) override;
    void CreateBacktrace(Ref<Backtrace>& backtrace) override;
    void CreateFile(const std::string& path, Ref<File>& file) override;
    void CreateTempFile(Ref<File>& file) override;
    void CreateFileHandle(const std::string& path, Ref<FileHandle>& handle) override;
    void CreateSharedLibrary(const std::string& path, Ref<SharedLibrary>& library) override;
    void CreateImpersonator(Ref<Impersonator>& impersonator) override;
    void CreateTCPClientSocket(Ref<TCPClientSocket>& socket) override;
    void CreateTCPStreamFromSocket(int socket, Ref<Stream>& stream) override;
    void CreateTCPServerSocket(Ref<TCPServerSocket>& server) override;
    void CreateNamedPipeClientStream(const std::string& pipeName,
                                     Ref<NamedPipeClientStream>& stream) override;
    void CreateNamedPipeServer(const std::string& pipeName, int32_t backlog,
                               Ref<NamedPipeServer>& server) override;
    void CreateSysCommand(Ref<SysCommand>& command) override;
};

}  // namespace Tarvos::System
