#pragma once

// The tree comparison shared by the configuration fuzz targets.

#include <string>
#include <vector>

#include "tarvos/service/ConfigBase.h"

namespace Tarvos::Service::fuzzing {

// Every node depth first in child order: path, then "=" and the value or "-" for none; sizes are
// spelled out, so that no two different trees give the same text.
inline std::string Canonical(const ConfigBase::Node& top) {
    std::string text;
    std::vector<const ConfigBase::Node*> pending{&top};
    while (!pending.empty()) {
        const ConfigBase::Node* node = pending.back();
        pending.pop_back();
        const std::string path = node->GetPath();
        text += std::to_string(path.size()) + ":" + path;
        if (node->HasValue()) {
            text += "=" + std::to_string(node->GetValue()->size()) + ":" + *node->GetValue();
        } else {
            text += "-";
        }
        text += "\n";
        const auto& children = node->GetChildren();
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            pending.push_back(it->Get());
        }
    }
    return text;
}

}  // namespace Tarvos::Service::fuzzing
