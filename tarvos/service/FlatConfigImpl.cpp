#include "tarvos/service/FlatConfigImpl.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvos/core/BufferedReader.h"
#include "tarvos/core/Exception.h"
#include "tarvos/core/Format.h"

#include "tarvos/service/internal/ConfigText.h"

namespace Tarvos::Service {

namespace {

using Node = ConfigBase::Node;

// The reading side of the format uses a 1024-byte buffered reader.
constexpr int32_t kReadBufferSize = 1024;
// Lines are collected and handed to the writer in blocks of about this size.
constexpr size_t kWriteBlockSize = 64 * 1024;

constexpr char kSeparator[] = " = \"";
constexpr char kValueError[] = "Value with a line break cannot be written in flat form: %1";
constexpr char kElementError[] = "Element cannot be written in flat form: %1";

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

// Splits a line into path and value; false for a malformed line.
bool ParseLine(std::string_view line, std::string_view& path, std::string_view& value) {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        return false;
    }
    const size_t open = line.find('"', equals + 1);
    if (open == std::string_view::npos) {
        return false;
    }
    const size_t close = line.rfind('"');
    if (close == open) {
        return false;
    }
    path = TrimConfigSpace(line.substr(0, equals));
    value = line.substr(open + 1, close - open - 1);
    return true;
}

// Whether the element text of `node` reads back as the same name and key inside a path.
bool IsWritableElement(const Node& node) {
    const std::string& name = node.GetName();
    if (name.empty() || name.find_first_of("\r\n=/[") != std::string::npos) {
        return false;
    }
    const auto& key = node.GetKey();
    return !key || key->find_first_of("\r\n=/") == std::string::npos;
}

// Whether the element text ends with a blank, which trimming the path of a line would remove.
bool EndsWithBlank(const Node& node) {
    const std::string& name = node.GetName();
    return !node.GetKey() && !name.empty() && (name.back() == ' ' || name.back() == '\t');
}

class LineWriter {
public:
    explicit LineWriter(Writer& writer) : _writer(writer) { _block.reserve(kWriteBlockSize); }

    void Line(std::string_view path, const std::string& value) {
        _block.append(path).append(kSeparator).append(value).append("\"\n");
        if (_block.size() >= kWriteBlockSize) {
            Drain();
        }
    }

    void Drain() {
        // One value may exceed what a single Write can take.
        size_t offset = 0;
        while (offset < _block.size()) {
            const size_t chunk = std::min<size_t>(_block.size() - offset, 1u << 30);
            _writer.Write(_block.data() + offset, static_cast<int32_t>(chunk));
            offset += chunk;
        }
        _block.clear();
    }

private:
    Writer& _writer;
    std::string _block;
};

}  // namespace

FlatConfigImpl::FlatConfigImpl(const Ref<ConfigBackend>& backend) : ConfigBase(backend) {}

FlatConfigImpl::~FlatConfigImpl() = default;

void FlatConfigImpl::Load() {
    // Reset here, not in ReadTree, so that a load that fails before reading leaves no stale counts.
    _malformedLines = 0;
    _failedLine = 0;
    ConfigBase::Load();
}

void FlatConfigImpl::ReadTree(Reader& reader) {
    Ref<BufferedReader> lines;
    CreateBufferedReader(Ref<Reader>(&reader), kReadBufferSize, lines);
    Ref<View> root;
    GetRootView(root);
    std::string line;
    int32_t number = 0;
    while (lines->ReadLine(line)) {
        ++number;
        if (IsBlank(line)) {
            continue;
        }
        std::string_view path;
        std::string_view value;
        if (!ParseLine(line, path, value)) {
            ++_malformedLines;
            continue;
        }
        try {
            root->Set(std::string(path), std::string(value));
        } catch (...) {
            _failedLine = number;
            throw;
        }
    }
}

void FlatConfigImpl::WriteTree(Writer& writer) {
    WriteLines(*GetRoot(), writer);
    writer.Flush();
}

bool FlatConfigImpl::WriteSubtree(const std::string& path, Writer& writer) {
    Ref<View> root;
    GetRootView(root);
    Ref<View> view;
    if (!root->GetView(path, view)) {
        return false;
    }
    auto* const base = dynamic_cast<ViewBase*>(view.Get());
    const Ref<Node> node = base->GetNode(false);
    if (!node) {
        return false;
    }
    WriteLines(*node, writer);
    return true;
}

void FlatConfigImpl::WriteLines(const Node& top, Writer& writer) {
    std::string path = top.GetPath();
    for (const Node* above = &top; above->GetParent(); above = above->GetParent().Get()) {
        if (!IsWritableElement(*above)) {
            throw FileFormatException(FormatString(kElementError, path));
        }
    }
    LineWriter out(writer);
    // Depth first, children in child order: a node's children are pushed in reverse. Each entry
    // remembers the length of its parent's path, which `path` is cut back to.
    std::vector<std::pair<const Node*, size_t>> pending{{&top, path.size()}};
    while (!pending.empty()) {
        const auto [node, parentLength] = pending.back();
        pending.pop_back();
        if (node != &top) {
            path.resize(parentLength);
            path.append("/").append(node->GetName());
            if (const auto& key = node->GetKey()) {
                path.append("[").append(*key).append("]");
            }
            if (!IsWritableElement(*node)) {
                throw FileFormatException(FormatString(kElementError, path));
            }
        }
        if (const auto& value = node->GetValue()) {
            if (value->find_first_of("\r\n") != std::string::npos) {
                throw FileFormatException(FormatString(kValueError, path));
            }
            // Reading trims the path: a last element ending with a blank is protected by a
            // trailing "/", which the path syntax skips. (The root's path is empty.)
            if (node->GetParent() && EndsWithBlank(*node)) {
                out.Line(path + "/", *value);
            } else {
                out.Line(path, *value);
            }
        }
        const auto& children = node->GetChildren();
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            pending.emplace_back(it->Get(), path.size());
        }
    }
    out.Drain();
}

}  // namespace Tarvos::Service
