#include "tarvos/service/Tester.h"

#include <mutex>
#include <string_view>

#include "tarvos/core/Exception.h"
#include "tarvos/service/Log.h"

namespace Tarvos::Service {

std::atomic<bool> g_testerInitialized{false};

namespace {

constexpr std::string_view kTriggerPrefix = "TARVOS_TF";
constexpr std::string_view kNameStart = "(\"";
constexpr std::string_view kNameEnd = "\")";

// The name in a trigger's source text TARVOS_TF("<name>"); InvalidArgumentException for any
// other text.
std::string TriggerName(std::string_view trigger) {
    if (!trigger.starts_with(kTriggerPrefix)) {
        throw InvalidArgumentException();
    }
    trigger.remove_prefix(kTriggerPrefix.size());
    // The start and end marks must not overlap, and the name between them must not be empty:
    // an empty path would read the view's own node.
    if (trigger.size() <= kNameStart.size() + kNameEnd.size() || !trigger.starts_with(kNameStart) ||
        !trigger.ends_with(kNameEnd)) {
        throw InvalidArgumentException();
    }
    return std::string(
        trigger.substr(kNameStart.size(), trigger.size() - kNameStart.size() - kNameEnd.size()));
}

class TesterImpl final : public Tester, public ObjectImpl {
public:
    TesterImpl(const Ref<Config::View>& view, const Ref<Logger>& logger)
        : _view(view), _logger(logger) {}

    bool IsTriggered(const std::string& trigger) override {
        const std::string name = TriggerName(trigger);
        bool value = false;
        _view->GetBool(name, value);
        if (value && _logger) {
            Log(_logger, LogLevel::Warning, "Negative test trigger '%1' firing", name);
        }
        return value;
    }

private:
    const Ref<Config::View> _view;
    const Ref<Logger> _logger;
};

// The tester; g_testerInitialized follows it, both changed under the mutex.
std::mutex g_testerMutex;
Ref<Tester> g_tester;

}  // namespace

void InitTester(const Ref<Config::View>& view, const Ref<Logger>& logger) {
    if (!view) {
        throw InvalidArgumentException();
    }
    Ref<Tester> tester(new TesterImpl(view, logger));
    std::lock_guard<std::mutex> guard(g_testerMutex);
    if (g_tester) {
        throw AlreadyInitializedException();
    }
    g_tester = std::move(tester);
    g_testerInitialized.store(true, std::memory_order_relaxed);
}

Ref<Tester> GetTester() {
    std::lock_guard<std::mutex> guard(g_testerMutex);
    if (!g_tester) {
        throw NotInitializedException();
    }
    return g_tester;
}

void ShutdownTester() {
    Ref<Tester> previous;
    {
        std::lock_guard<std::mutex> guard(g_testerMutex);
        previous = std::move(g_tester);
        g_testerInitialized.store(false, std::memory_order_relaxed);
    }
    // Released outside the lock: the view and logger it holds may go with it.
}

bool IsTestTriggered(const char* trigger) {
    Ref<Tester> tester;
    {
        std::lock_guard<std::mutex> guard(g_testerMutex);
        tester = g_tester;
    }
    return tester && tester->IsTriggered(trigger);
}

}  // namespace Tarvos::Service
