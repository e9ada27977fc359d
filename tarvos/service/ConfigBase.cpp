// The configuration tree.
//
// Structure: a ConfigBase owns the root node; each node owns its children through counted
// references and refers to its parent through a counted reference too, so that any node handed
// out keeps its ancestors reachable. Views own a reference to the configuration and cache the
// node of their base path.
//
// Invariants:
//  1. A node has a value or children, never both. A node created on the way to a deeper path has
//     neither until something is set below it. (Text loaded from a file may give the root a
//     value; no rule forbids it.)
//  2. A node's children are sorted by (name, key) with "no key" first among equal names, and no
//     two children compare equal; lookups are binary searches in that order.
//  3. A node is in the tree exactly when its chain of parents reaches the root. A node leaves the
//     tree only through Node::Clear (which cuts every descendant's parent link) and
//     Node::Detach (which cuts its own), so removed nodes have no path back to the root.
//  4. Every cycle of counted references is a parent/child pair; Clear breaks all of a subtree's
//     pairs. Removal and destruction of the configuration therefore free every node, iteratively.
//  5. A view's cached node is used only while it is in the tree (3); otherwise the base path is
//     looked up again, so a view taken before a removal or a reload sees the current tree.

#include "tarvos/service/ConfigBase.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include <locale.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Format.h"
#include "tarvos/core/Panic.h"

namespace Tarvos::Service {

namespace {

using Node = ConfigBase::Node;

constexpr char kCannotCreatePath[] = "Cannot create path %1. Element %2 already has value %3";
constexpr char kSetFailed[] = "Config::View::Set failed. Node %1 already has a child.";

// Orders (name, key) pairs: by name byte-wise, then no key before any key, then key byte-wise.
int Compare(std::string_view nameA, const std::optional<std::string>& keyA, std::string_view nameB,
            const std::optional<std::string>& keyB) {
    if (const int c = nameA.compare(nameB); c != 0) {
        return c;
    }
    if (!keyA || !keyB) {
        return static_cast<int>(keyA.has_value()) - static_cast<int>(keyB.has_value());
    }
    return keyA->compare(*keyB);
}

// First child not ordered before (name, key).
std::vector<Ref<Node>>::const_iterator LowerBound(const std::vector<Ref<Node>>& children,
                                                  std::string_view name,
                                                  const std::optional<std::string>& key) {
    return std::lower_bound(children.begin(), children.end(), 0, [&](const Ref<Node>& child, int) {
        return Compare(child->GetName(), child->GetKey(), name, key) < 0;
    });
}

bool IsInTree(const Node* node, const Node* root) {
    for (; node != nullptr; node = node->GetParent().Get()) {
        if (node == root) {
            return true;
        }
    }
    return false;
}

InvalidArgumentException CannotCreatePath(const std::string& path, const Node& holder) {
    return InvalidArgumentException(
        FormatString(kCannotCreatePath, path, holder.GetElementText(), *holder.GetValue()));
}

// Walks from `node` along `elements`, creating what is missing. `path` names the whole path in
// the message of a creation blocked by a value.
Ref<Node> CreateBelow(Ref<Node> node, const std::vector<ConfigBase::PathElement>& elements,
                      const std::string& path) {
    size_t i = 0;
    for (; i < elements.size(); ++i) {
        Ref<Node> child = node->FindChild(elements[i].name, elements[i].key);
        if (!child) {
            break;
        }
        node = std::move(child);
    }
    for (; i < elements.size(); ++i) {
        if (node->HasValue()) {
            throw CannotCreatePath(path, *node);
        }
        Ref<Node> child(new Node(elements[i].name, elements[i].key));
        node->AddChild(child);
        node = std::move(child);
    }
    return node;
}

Ref<Node> FindBelow(Ref<Node> node, const std::vector<ConfigBase::PathElement>& elements) {
    for (const auto& element : elements) {
        node = node->FindChild(element.name, element.key);
        if (!node) {
            break;
        }
    }
    return node;
}

// Takes a detached subtree apart when the scope ends, also on exceptions.
class SubtreeGuard {
public:
    explicit SubtreeGuard(Ref<Node> node) : _node(std::move(node)) {}
    ~SubtreeGuard() {
        if (_node) {
            _node->Clear();
        }
    }
    SubtreeGuard(const SubtreeGuard&) = delete;
    SubtreeGuard& operator=(const SubtreeGuard&) = delete;

    const Ref<Node>& Get() const noexcept { return _node; }
    // Keeps the subtree: the caller took it over.
    void Dismiss() { _node = nullptr; }

private:
    Ref<Node> _node;
};

// A detached deep copy of `source` (name, key, value and subtree).
Ref<Node> CloneSubtree(const Ref<Node>& source) {
    Ref<Node> top(new Node(source->GetName(), source->GetKey()));
    SubtreeGuard guard(top);
    std::vector<std::pair<Ref<Node>, Ref<Node>>> pending{{source, top}};
    while (!pending.empty()) {
        auto [from, to] = std::move(pending.back());
        pending.pop_back();
        if (from->HasValue()) {
            to->SetValue(*from->GetValue());
        }
        for (const Ref<Node>& child : from->GetChildren()) {
            Ref<Node> copy(new Node(child->GetName(), child->GetKey()));
            to->AddChild(copy);
            pending.emplace_back(child, std::move(copy));
        }
    }
    guard.Dismiss();
    return top;
}

// Merges the subtree of `source` into `target` (see ViewBase::CopyFrom). `source` must not be an
// ancestor of `target`, or the walk would copy its own output: within one tree, merge a clone.
void MergeInto(const Ref<Node>& source, const Ref<Node>& target) {
    std::vector<std::pair<Ref<Node>, Ref<Node>>> pending{{source, target}};
    while (!pending.empty()) {
        auto [from, to] = std::move(pending.back());
        pending.pop_back();
        if (from->HasValue()) {
            if (to->HasChildren()) {
                throw InvalidArgumentException(FormatString(kSetFailed, to->GetPath()));
            }
            to->SetValue(*from->GetValue());
            continue;
        }
        if (from->HasChildren() && to->HasValue()) {
            throw CannotCreatePath(
                to->GetPath() + "/" + from->GetChildren().front()->GetElementText(), *to);
        }
        for (const Ref<Node>& child : from->GetChildren()) {
            Ref<Node> into = to->FindChild(child->GetName(), child->GetKey());
            if (!into) {
                into = new Node(child->GetName(), child->GetKey());
                to->AddChild(into);
            }
            pending.emplace_back(child, std::move(into));
        }
    }
}

// Conversions in the "C" locale, so that numbers read the same whatever locale the host process
// set (the process locale is the fallback should the "C" locale object not be available).
locale_t CLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

double ToDouble(const char* text, char** end) {
    const locale_t locale = CLocale();
    return locale != static_cast<locale_t>(0) ? strtod_l(text, end, locale) : strtod(text, end);
}

long long ToInt64(const char* text, char** end) {
    const locale_t locale = CLocale();
    return locale != static_cast<locale_t>(0) ? strtoll_l(text, end, 10, locale)
                                              : strtoll(text, end, 10);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ConfigBase

void ConfigBase::ParsePath(std::string_view path, std::vector<PathElement>& elements) {
    elements.clear();
    size_t i = 0;
    while (i < path.size()) {
        if (path[i] == '/') {
            ++i;
            continue;
        }
        size_t end = path.find('/', i);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view element = path.substr(i, end - i);
        const size_t open = element.find('[');
        if (open == std::string_view::npos) {
            elements.push_back({std::string(element), std::nullopt});
        } else {
            // An empty name would make a node that no file format can write.
            if (open == 0 || element.back() != ']') {
                throw InvalidArgumentException();
            }
            elements.push_back({std::string(element.substr(0, open)),
                                std::string(element.substr(open + 1, element.size() - open - 2))});
        }
        i = end;
    }
}

std::string ConfigBase::ElementText(const std::string& name,
                                    const std::optional<std::string>& key) {
    if (!key) {
        return name;
    }
    std::string text;
    text.reserve(name.size() + key->size() + 2);
    text.append(name).append("[").append(*key).append("]");
    return text;
}

ConfigBase::ConfigBase(const Ref<ConfigBackend>& backend)
    : _root(new Node(std::string(), std::nullopt)), _backend(backend) {}

ConfigBase::~ConfigBase() {
    _root->Clear();
}

void ConfigBase::Clear() {
    _root->Clear();
}

void ConfigBase::GetRootView(Ref<View>& view) {
    view = new ViewBase(Ref<ConfigBase>(this), "/");
}

void ConfigBase::Load() {
    if (!_backend) {
        throw NotSupportedException();
    }
    Clear();
    Ref<Reader> reader;
    _backend->BeginRead(reader);
    TARVOS_VERIFY(reader);
    try {
        ReadTree(*reader);
    } catch (...) {
        // Without this the backend would stay "in progress" and refuse every later load.
        _backend->EndAccess();
        throw;
    }
    _backend->EndAccess();
}

void ConfigBase::Save() {
    if (!_backend) {
        throw NotSupportedException();
    }
    Ref<Writer> writer;
    _backend->BeginWrite(writer);
    TARVOS_VERIFY(writer);
    try {
        WriteTree(*writer);
        _backend->EndWrite();
    } catch (...) {
        _backend->EndAccess();
        throw;
    }
    _backend->EndAccess();
}

void ConfigBase::ReadTree(Reader&) {
    throw NotSupportedException();
}

void ConfigBase::WriteTree(Writer&) {
    throw NotSupportedException();
}

// ---------------------------------------------------------------------------------------------
// ConfigBase::Node

ConfigBase::Node::Node(std::string name, std::optional<std::string> key)
    : _name(std::move(name)), _key(std::move(key)) {}

ConfigBase::Node::~Node() {
    // Reached with children only if their parent links were cut elsewhere; taking them apart
    // here keeps the destruction of a deep subtree off the stack.
    if (!_children.empty()) {
        Clear();
    }
}

std::string ConfigBase::Node::GetPath() const {
    std::vector<const Node*> chain;
    for (const Node* node = this; node->_parent; node = node->_parent.Get()) {
        chain.push_back(node);
    }
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path.append("/").append((*it)->GetElementText());
    }
    return path;
}

void ConfigBase::Node::SetValue(std::string value) {
    TARVOS_VERIFY(_children.empty());
    _value = std::move(value);
}

Ref<Node> ConfigBase::Node::FindChild(std::string_view name,
                                      const std::optional<std::string>& key) const {
    const auto it = LowerBound(_children, name, key);
    if (it != _children.end() && Compare((*it)->_name, (*it)->_key, name, key) == 0) {
        return *it;
    }
    return nullptr;
}

bool ConfigBase::Node::AddChild(const Ref<Node>& child) {
    TARVOS_VERIFY(child && !child->_parent && child.Get() != this && !_value);
    const auto it = LowerBound(_children, child->_name, child->_key);
    if (it != _children.end() &&
        Compare((*it)->_name, (*it)->_key, child->_name, child->_key) == 0) {
        return false;
    }
    _children.insert(it, child);
    child->_parent = this;
    return true;
}

void ConfigBase::Node::Detach() {
    if (!_parent) {
        return;
    }
    // The parent's vector may hold the last reference to this node.
    const Ref<Node> self(this);
    std::vector<Ref<Node>>& siblings = _parent->_children;
    auto it = LowerBound(siblings, _name, _key);
    TARVOS_VERIFY(it != siblings.end() && it->Get() == this);
    siblings.erase(it);
    _parent = nullptr;
}

void ConfigBase::Node::Clear() {
    _value.reset();
    std::vector<Ref<Node>> pending = std::move(_children);
    _children.clear();
    while (!pending.empty()) {
        Ref<Node> node = std::move(pending.back());
        pending.pop_back();
        node->_value.reset();
        // The parent is already childless, so dropping this link frees it without recursion.
        node->_parent = nullptr;
        for (Ref<Node>& child : node->_children) {
            pending.push_back(std::move(child));
        }
        node->_children.clear();
    }
}

// ---------------------------------------------------------------------------------------------
// ConfigBase::ViewBase

namespace {

std::vector<ConfigBase::PathElement> ParsedPath(std::string_view path) {
    std::vector<ConfigBase::PathElement> elements;
    ConfigBase::ParsePath(path, elements);
    return elements;
}

}  // namespace

ConfigBase::ViewBase::ViewBase(const Ref<ConfigBase>& config, const std::string& basePath)
    : _config(config), _basePath(basePath), _baseElements(ParsedPath(basePath)) {
    TARVOS_VERIFY(_config);
}

ConfigBase::ViewBase::~ViewBase() = default;

Ref<Node> ConfigBase::ViewBase::GetNode(bool create) {
    const Ref<Node>& root = _config->GetRoot();
    {
        std::lock_guard<std::mutex> lock(_nodeMutex);
        if (_node && IsInTree(_node.Get(), root.Get())) {
            return _node;
        }
    }
    Ref<Node> node =
        create ? CreateBelow(root, _baseElements, _basePath) : FindBelow(root, _baseElements);
    if (node) {
        std::lock_guard<std::mutex> lock(_nodeMutex);
        _node = node;
    }
    return node;
}

Ref<Object> ConfigBase::ViewBase::GetBaseNode() {
    return GetNode(true);
}

Ref<Node> ConfigBase::ViewBase::Find(const std::vector<PathElement>& elements) {
    Ref<Node> base = GetNode(false);
    return base ? FindBelow(std::move(base), elements) : nullptr;
}

Ref<Node> ConfigBase::ViewBase::Find(const std::string& path) {
    return Find(ParsedPath(path));
}

Ref<Node> ConfigBase::ViewBase::CreatePath(const std::vector<PathElement>& elements,
                                           const std::string& path) {
    return CreateBelow(GetNode(true), elements, path);
}

bool ConfigBase::ViewBase::GetString(const std::string& path, std::string& value) {
    const Ref<Node> node = Find(path);
    if (!node || !node->HasValue()) {
        return false;
    }
    value = *node->GetValue();
    return true;
}

bool ConfigBase::ViewBase::GetDouble(const std::string& path, double& value) {
    std::string text;
    if (!GetString(path, text)) {
        return false;
    }
    const char* begin = text.c_str();
    char* end = nullptr;
    const double result = ToDouble(begin, &end);
    // Also catches an embedded zero byte, where the conversion stops early.
    if (end != begin + text.size()) {
        throw NumberFormatException("Config value not a double");
    }
    value = result;
    return true;
}

bool ConfigBase::ViewBase::GetBool(const std::string& path, bool& value) {
    std::string text;
    if (!GetString(path, text)) {
        return false;
    }
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (text == "true") {
        value = true;
    } else if (text == "false") {
        value = false;
    } else {
        throw NumberFormatException("Config Value not a boolean");
    }
    return true;
}

bool ConfigBase::ViewBase::GetInt64(const std::string& path, int64_t& value) {
    std::string text;
    if (!GetString(path, text)) {
        return false;
    }
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long result = ToInt64(begin, &end);
    if (end != begin + text.size()) {
        throw NumberFormatException("Config Value not an integer");
    }
    // The conversion clamps to the 64-bit limits; a clamped number is not the configured one.
    if (errno == ERANGE) {
        throw NumberRangeException();
    }
    value = result;
    return true;
}

bool ConfigBase::ViewBase::GetInt(const std::string& path, int32_t& value) {
    int64_t wide = 0;
    if (!GetInt64(path, wide)) {
        return false;
    }
    if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) {
        throw NumberRangeException();
    }
    value = static_cast<int32_t>(wide);
    return true;
}

void ConfigBase::ViewBase::SetDouble(const std::string& path, double value) {
    // Precision 6 in general form is exactly "%g", without the locale's decimal separator.
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof(text), value, std::chars_format::general, 6);
    TARVOS_VERIFY(result.ec == std::errc());
    Set(path, std::string(text, result.ptr));
}

void ConfigBase::ViewBase::SetBool(const std::string& path, bool value) {
    Set(path, value ? "true" : "false");
}

void ConfigBase::ViewBase::SetInt64(const std::string& path, int64_t value) {
    Set(path, std::to_string(value));
}

void ConfigBase::ViewBase::SetInt(const std::string& path, int32_t value) {
    Set(path, std::to_string(value));
}

void ConfigBase::ViewBase::SetString(const std::string& path, const std::string& value) {
    Set(path, value);
}

void ConfigBase::ViewBase::Set(const std::string& path, const std::string& value) {
    const Ref<Node> node = CreatePath(ParsedPath(path), path);
    if (node->HasChildren()) {
        throw InvalidArgumentException(FormatString(kSetFailed, path));
    }
    node->SetValue(value);
}

bool ConfigBase::ViewBase::Remove(const std::string& path) {
    Ref<Node> node = Find(path);
    if (!node) {
        return false;
    }
    // Ancestors left without children would be empty path steps: they go too, up to the root.
    while (node->GetParent() && node->GetParent()->GetChildren().size() == 1) {
        node = node->GetParent();
    }
    node->Clear();
    node->Detach();
    return true;
}

bool ConfigBase::ViewBase::Exists(const std::string& path) {
    return Find(path) != nullptr;
}

bool ConfigBase::ViewBase::GetView(const std::string& path, Ref<View>& view) {
    const Ref<ViewBase> created(new ViewBase(_config, _basePath + "/" + path));
    view = created;
    return created->GetNode(false) != nullptr;
}

void ConfigBase::ViewBase::CopyFrom(const std::string& path, const Ref<View>& source) {
    auto* const from = dynamic_cast<ViewBase*>(source.Get());
    if (from == nullptr) {
        throw InvalidArgumentException();
    }
    const std::vector<PathElement> elements = ParsedPath(path);
    CopyInto(from->GetNode(false), from->_config == _config, elements, path);
}

void ConfigBase::ViewBase::CopyInto(Ref<Node> source, bool sameTree,
                                    const std::vector<PathElement>& elements,
                                    const std::string& path) {
    // Within one tree the target may lie inside the source: copy the source as it was before
    // this call, not including the target path created now.
    SubtreeGuard snapshot(sameTree && source ? CloneSubtree(source) : nullptr);
    if (sameTree && source) {
        source = snapshot.Get();
    }
    const Ref<Node> target = CreatePath(elements, path);
    if (source) {
        MergeInto(source, target);
    }
}

bool ConfigBase::ViewBase::GetChildNames(const std::string& path, const std::string& name,
                                         std::vector<std::string>& names) {
    names.clear();
    const Ref<Node> node = Find(path);
    if (!node) {
        return false;
    }
    const auto& children = node->GetChildren();
    for (auto it = LowerBound(children, name, std::nullopt);
         it != children.end() && (*it)->GetName() == name; ++it) {
        names.push_back((*it)->GetElementText());
    }
    return true;
}

bool ConfigBase::ViewBase::GetChildNames(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    const Ref<Node> node = Find(path);
    if (!node) {
        return false;
    }
    for (const Ref<Node>& child : node->GetChildren()) {
        names.push_back(child->GetElementText());
    }
    return true;
}

void ConfigBase::ViewBase::Insert(const std::string& path, const Ref<Config>& source) {
    const std::vector<PathElement> elements = ParsedPath(path);
    if (elements.empty()) {
        throw InvalidArgumentException();
    }
    auto* const from = dynamic_cast<ConfigBase*>(source.Get());
    if (from == nullptr) {
        throw InvalidArgumentException();
    }
    if (Find(elements)) {
        throw AlreadyExistsException();
    }
    CopyInto(from->GetRoot(), from == _config.Get(), elements, path);
}

void ConfigBase::ViewBase::GetNextKey(const std::string& path, std::string& key) {
    std::vector<PathElement> elements = ParsedPath(path);
    if (elements.empty()) {
        throw InvalidArgumentException();
    }
    const std::string name = std::move(elements.back().name);
    elements.pop_back();
    key = "0000";
    const Ref<Node> parent = Find(elements);
    if (!parent) {
        return;
    }
    const auto& children = parent->GetChildren();
    const Node* last = nullptr;
    for (auto it = LowerBound(children, name, std::nullopt);
         it != children.end() && (*it)->GetName() == name; ++it) {
        last = it->Get();
    }
    if (last == nullptr || !last->GetKey()) {
        return;
    }
    const std::string& lastKey = *last->GetKey();
    const size_t size = lastKey.size();
    const bool numbered = size >= 4 && std::all_of(lastKey.end() - 4, lastKey.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; });
    if (!numbered) {
        key = lastKey + "0000";
        return;
    }
    const int number = std::atoi(lastKey.c_str() + size - 4);
    if (number == 9999) {
        key = lastKey + "0000";
        return;
    }
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%04d", number + 1);
    key = lastKey.substr(0, size - 4) + digits;
}

}  // namespace Tarvos::Service
