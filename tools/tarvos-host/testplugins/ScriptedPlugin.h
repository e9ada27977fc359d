// A plug-in for the host's end-to-end tests whose behaviour comes from the configuration under
// "test/<name>/": "initThrows", "startThrows" (bool), "stopDelayMillis" (int: Stop reports
// finished only that long after the first Stop call), "exitCode" (int, set in Start),
// "busyTaskSeconds" (int: a pool task that stays busy that long), "trace" (a file that gets one
// line per call: "<name> init", "<name> start", "<name> stop", "<name> finished").
#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tarvos/core/Exception.h"
#include "tarvos/service/App.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/Plugin.h"
#include "tarvos/system/Task.h"

class ScriptedPlugin : public Tarvos::Service::Plugin, public Tarvos::ObjectImpl {
public:
    explicit ScriptedPlugin(std::string name) : _name(std::move(name)) {}

    std::string GetName() const override { return _name; }

    void Init(Tarvos::Service::App& app) override {
        Tarvos::Ref<Tarvos::Service::Config> config = app.GetConfig();
        config->GetRootView(_view);
        _view->GetString(Key("trace"), _trace);
        Trace("init");
        if (Flag("initThrows")) {
            throw Tarvos::Exception(_name + " refuses to initialise");
        }
        app.RegisterService(_name, Tarvos::Ref<Tarvos::Object>(this));
    }

    void Start(Tarvos::Service::App& app) override {
        Trace("start");
        if (Flag("startThrows")) {
            throw Tarvos::Exception(_name + " refuses to start");
        }
        int32_t code = 0;
        if (_view->GetInt(Key("exitCode"), code)) {
            app.SetExitCode(code);
        }
        int32_t busySeconds = 0;
        if (_view->GetInt(Key("busyTaskSeconds"), busySeconds) && busySeconds > 0) {
            app.GetThreadPool()->QueueWork(Tarvos::System::MakeTask(
                [busySeconds] { std::this_thread::sleep_for(std::chrono::seconds(busySeconds)); }));
        }
        Tarvos::Service::Log(app.GetLogger(), Tarvos::Service::LogLevel::Info, "%1 started", _name);
    }

    bool Stop(int64_t timeoutMicros) override {
        const auto now = std::chrono::steady_clock::now();
        if (!_stopping) {
            _stopping = true;
            Trace("stop");
            int32_t delayMillis = 0;
            _view->GetInt(Key("stopDelayMillis"), delayMillis);
            _finishAt = now + std::chrono::milliseconds(delayMillis);
        }
        const auto deadline = now + std::chrono::microseconds(timeoutMicros);
        std::this_thread::sleep_until(std::min(deadline, _finishAt));
        if (std::chrono::steady_clock::now() < _finishAt) {
            return false;
        }
        Trace("finished");
        return true;
    }

private:
    std::string Key(const char* setting) const { return "test/" + _name + "/" + setting; }

    bool Flag(const char* setting) const {
        bool value = false;
        _view->GetBool(Key(setting), value);
        return value;
    }

    void Trace(const char* step) const {
        if (!_trace.empty()) {
            std::ofstream(_trace, std::ios::app) << _name << " " << step << "\n";
        }
    }

    const std::string _name;
    Tarvos::Ref<Tarvos::Service::Config::View> _view;
    std::string _trace;
    bool _stopping = false;
    std::chrono::steady_clock::time_point _finishAt;
};
