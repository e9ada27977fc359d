#pragma once

// Helpers shared by the tests of the configuration formats and backends (test code only).

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/service/Config.h"
#include "tarvos/service/ConfigBase.h"

namespace Tarvos::Service::testing {

// Runs `action` and expects an exception of type E whose message is exactly `message`.
template <class E>
void ExpectThrowWithMessage(const std::function<void()>& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const E& e) {
        EXPECT_EQ(e.GetMessage(), message);
    }
}

// Every node depth first in child order, one per line: the path, then " = " and the value or
// " (no value)". Independent of both file formats, so that it can compare what they produce.
inline std::string TreeText(Config& config) {
    std::string text;
    std::vector<const ConfigBase::Node*> pending{dynamic_cast<ConfigBase&>(config).GetRoot().Get()};
    while (!pending.empty()) {
        const ConfigBase::Node* node = pending.back();
        pending.pop_back();
        text += node->GetPath() + (node->HasValue() ? " = " + *node->GetValue() : " (no value)");
        text += "\n";
        const auto& children = node->GetChildren();
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            pending.push_back(it->Get());
        }
    }
    return text;
}

// A fresh directory under $TMPDIR (or /tmp), removed with its contents at the end of the scope.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        const char* base = std::getenv("TMPDIR");
        _path = std::string(base != nullptr && *base ? base : "/tmp") + "/tarvos-config-XXXXXX";
        if (::mkdtemp(_path.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        // A test may have taken the write permission away.
        std::filesystem::permissions(_path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(_path, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& Path() const { return _path; }
    std::string File(const std::string& name) const { return _path + "/" + name; }
    // The names of the entries, sorted.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(_path)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string _path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace Tarvos::Service::testing
