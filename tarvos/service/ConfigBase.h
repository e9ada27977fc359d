#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvos/core/Export.h"
#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/service/Config.h"
#include "tarvos/service/ConfigBackend.h"

namespace Tarvos::Service {

// The tree part of every configuration: the nodes, the views and the path rules. A concrete
// configuration adds its file format by overriding ReadTree and WriteTree (or replaces Load and
// Save altogether, as the in-memory scratch configuration does).
//
// Ownership: the configuration owns the root node; parents and children hold each other by
// counted references, so a subtree is taken apart explicitly (Node::Clear) when it is removed and
// when the configuration is destroyed. Taking apart is iterative: trees of any depth are fine.
// Views hold the configuration alive; the configuration holds no view.
//
// Thread-safety: externally synchronised. The tree has no lock: it is filled at start-up and then
// read; concurrent reads (getters, Exists, GetChildNames, GetView) are safe, also through one
// view. Whoever changes the tree while others read must serialise all of them.
class TARVOS_API ConfigBase : public virtual Config, public virtual ObjectImpl {
public:
    class Node;
    class ViewBase;

    // One element of a path: "name" or "name[key]".
    struct PathElement {
        std::string name;
        std::optional<std::string> key;
    };

    // Splits `path` into its elements. Runs of "/" and a leading or trailing "/" are skipped, so
    // "" and "/" have no elements. An element with "[" must end with "]" and have a non-empty
    // name before the "["; otherwise InvalidArgumentException ("Invalid argument") is thrown.
    static void ParsePath(std::string_view path, std::vector<PathElement>& elements);
    // "name", or "name[key]" when a key is present.
    static std::string ElementText(const std::string& name, const std::optional<std::string>& key);

    ~ConfigBase() override;

    ConfigBase(const ConfigBase&) = delete;
    ConfigBase& operator=(const ConfigBase&) = delete;

    // Replaces the tree with the backend's content: without a backend throws
    // NotSupportedException; otherwise empties the tree, opens a reader (BeginRead), hands it to
    // ReadTree and ends the access, also when ReadTree throws. A failed load keeps what was read
    // up to the failure.
    void Load() override;
    // Writes the tree to the backend: without a backend throws NotSupportedException; otherwise
    // opens a writer (BeginWrite), hands it to WriteTree, commits (EndWrite) and ends the access.
    // When WriteTree or EndWrite throws, the access is ended without a commit.
    void Save() override;
    // Delivers a new view of "/".
    void GetRootView(Ref<View>& view) override;

    // The root node: empty name, no key; never detached.
    const Ref<Node>& GetRoot() const noexcept { return _root; }
    // Empties the whole tree (the root stays, without value or children).
    void Clear();

protected:
    // A configuration over `backend`, which may be null (then Load and Save throw
    // NotSupportedException).
    explicit ConfigBase(const Ref<ConfigBackend>& backend = nullptr);

    const Ref<ConfigBackend>& GetBackend() const noexcept { return _backend; }

    // Format hooks of Load and Save. ReadTree fills the empty tree from `reader`; WriteTree writes
    // the whole tree to `writer`. Both throw NotSupportedException unless overridden.
    virtual void ReadTree(Reader& reader);
    virtual void WriteTree(Writer& writer);

private:
    const Ref<Node> _root;
    const Ref<ConfigBackend> _backend;
};

// A node of the tree: a name, an optional key that tells siblings of one name apart, and either
// an optional text value or children, never both. Children are kept sorted by name (byte-wise),
// then by key, a child without key before every keyed child of the same name; no two children
// have equal name and key.
//
// Ownership: a node holds its children and its parent by counted references. A subtree that is
// dropped must be taken apart with Clear first, or the parent links keep it alive.
//
// Thread-safety: externally synchronised, like the tree.
class TARVOS_API ConfigBase::Node final : public ObjectImpl {
public:
    // A detached node without value or children.
    Node(std::string name, std::optional<std::string> key);
    ~Node() override;

    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const std::string& GetName() const noexcept { return _name; }
    const std::optional<std::string>& GetKey() const noexcept { return _key; }
    // "name" or "name[key]".
    std::string GetElementText() const { return ElementText(_name, _key); }
    // The element texts from the topmost ancestor down to this node, each preceded by "/":
    // "/a/b[k]"; empty for the root.
    std::string GetPath() const;

    const std::optional<std::string>& GetValue() const noexcept { return _value; }
    bool HasValue() const noexcept { return _value.has_value(); }
    // Replaces the value. The node must have no children (asserted).
    void SetValue(std::string value);

    // Null for the root and for detached nodes.
    const Ref<Node>& GetParent() const noexcept { return _parent; }
    const std::vector<Ref<Node>>& GetChildren() const noexcept { return _children; }
    bool HasChildren() const noexcept { return !_children.empty(); }

    // The child with exactly this name and key (no key finds only the child without key), or
    // null; a binary search.
    Ref<Node> FindChild(std::string_view name, const std::optional<std::string>& key) const;
    // Inserts the detached `child` in order and makes this node its parent. Returns false, and
    // changes nothing, when a child of that name and key exists. This node must have no value
    // and `child` no parent (asserted).
    bool AddChild(const Ref<Node>& child);
    // Removes this node from its parent's children; does nothing for a node without parent.
    void Detach();
    // Takes the subtree below this node apart: every descendant loses its parent link, its
    // children and its value; this node loses its children and its value and keeps its parent.
    // Iterative, so any depth is fine.
    void Clear();

private:
    const std::string _name;
    const std::optional<std::string> _key;
    std::optional<std::string> _value;
    Ref<Node> _parent;
    std::vector<Ref<Node>> _children;
};

// The view of one path of a configuration (see Config::View for the operations). The node of the
// base path is looked up on first use and cached; a cached node that has since been removed from
// the tree is looked up again.
//
// Thread-safety: as the tree; concurrent reads through one view are safe.
class TARVOS_API ConfigBase::ViewBase : public virtual Config::View, public virtual ObjectImpl {
public:
    // A view of `basePath` in `config`; the path need not exist. A malformed path throws
    // InvalidArgumentException.
    ViewBase(const Ref<ConfigBase>& config, const std::string& basePath);
    ~ViewBase() override;

    bool GetString(const std::string& path, std::string& value) override;
    bool GetDouble(const std::string& path, double& value) override;
    bool GetBool(const std::string& path, bool& value) override;
    // Out of the 64-bit range: NumberRangeException (a NumberFormatException).
    bool GetInt64(const std::string& path, int64_t& value) override;
    // Out of the 32-bit range: NumberRangeException (a NumberFormatException).
    bool GetInt(const std::string& path, int32_t& value) override;

    // "%g" form, independent of the process locale.
    void SetDouble(const std::string& path, double value) override;
    void SetBool(const std::string& path, bool value) override;
    void SetInt64(const std::string& path, int64_t value) override;
    void SetInt(const std::string& path, int32_t value) override;
    void SetString(const std::string& path, const std::string& value) override;
    void Set(const std::string& path, const std::string& value) override;
    bool Remove(const std::string& path) override;
    bool Exists(const std::string& path) override;
    bool GetView(const std::string& path, Ref<View>& view) override;
    // Merges the source node into the node at `path`: a value replaces the target's value, and
    // children are copied recursively into the target's children of equal name and key, which are
    // created as needed. The rules of Set apply to every node written. A source view whose node
    // does not exist copies nothing (the target path is still created). A source that is not a
    // ViewBase throws InvalidArgumentException.
    void CopyFrom(const std::string& path, const Ref<View>& source) override;
    bool GetChildNames(const std::string& path, const std::string& name,
                       std::vector<std::string>& names) override;
    bool GetChildNames(const std::string& path, std::vector<std::string>& names) override;
    void Insert(const std::string& path, const Ref<Config>& source) override;
    void GetNextKey(const std::string& path, std::string& key) override;
    // The node of the base path, created when missing.
    Ref<Object> GetBaseNode() override;

    // The node of the base path, typed: created when missing if `create`, else null when missing.
    Ref<Node> GetNode(bool create);
    const Ref<ConfigBase>& GetConfig() const noexcept { return _config; }
    const std::string& GetBasePath() const noexcept { return _basePath; }

private:
    Ref<Node> Find(const std::vector<PathElement>& elements);
    Ref<Node> Find(const std::string& path);
    // Creates the base path and then `elements` below it; `path` names the path in messages.
    Ref<Node> CreatePath(const std::vector<PathElement>& elements, const std::string& path);
    // Creates `elements` and merges `source` (may be null) into the node; `sameTree` tells that
    // `source` is a node of this view's configuration.
    void CopyInto(Ref<Node> source, bool sameTree, const std::vector<PathElement>& elements,
                  const std::string& path);

    const Ref<ConfigBase> _config;
    const std::string _basePath;
    const std::vector<PathElement> _baseElements;

    // Guards _node only, so that readers sharing the view may fill the cache at once.
    std::mutex _nodeMutex;
    Ref<Node> _node;
};

}  // namespace Tarvos::Service
