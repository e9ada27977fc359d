// The README's example: a logger on the console, a pool, a task that logs.
#include <tarvos/core/Ref.h>
#include <tarvos/service/Log.h>
#include <tarvos/service/LoggerImpl.h>
#include <tarvos/system/SystemFactory.h>
#include <tarvos/system/ThreadPool.h>

using namespace Tarvos;

int main() {
    Ref<Writer> console;
    System::GetSystemFactory().CreateConsoleWriter(console);
    Ref<Service::Logger> log;
    Service::CreateRootLogger("App", console, nullptr, log);
    Service::SetDefaultLogger(log);

    Ref<System::ThreadPool> pool;
    System::GetSystemFactory().CreateThreadPool(nullptr, pool);  // defaults: TaskMax 10
    pool->QueueWork(System::MakeTask([&] {
        Service::Log(log, Service::LogLevel::Info, "hello from %1, %2 + %3", "a task", 40, 2);
        pool->Shutdown();
    }));
    pool->WaitForThreads(-1);
    Service::SetDefaultLogger(nullptr);
}
