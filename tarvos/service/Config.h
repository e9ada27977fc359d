#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarvos/core/Ref.h"

namespace Tarvos::Service {

// A process's configuration: a tree of named nodes, each holding a text value or child nodes,
// read and changed through views by slash-separated paths.
//
// Paths: elements separated by "/" (runs of "/" and a leading "/" are skipped; the empty path is
// the view's own node). An element is a name, or a name followed by "[" key "]" that tells
// siblings of one name apart; a malformed element throws InvalidArgumentException.
//
// Thread-safety: the tree has no lock of its own. It is filled at start-up and read afterwards;
// callers that change it while other threads read it must serialise themselves.
class TARVOS_API Config : public virtual Object {
public:
    class View;

    // Replaces the tree with the contents of the backing store.
    virtual void Load() = 0;
    // Writes the tree to the backing store.
    virtual void Save() = 0;
    // The view of "/".
    virtual void GetRootView(Ref<View>& view) = 0;

    // A handle on one path of the tree. Getters return false, leaving the output unchanged, when
    // the node does not exist or has no value. Whoever holds a view holds the tree alive.
    class TARVOS_API View : public virtual Object {
    public:
        virtual bool GetString(const std::string& path, std::string& value) = 0;
        // Throws NumberFormatException "Config value not a double" unless the whole text
        // converts.
        virtual bool GetDouble(const std::string& path, double& value) = 0;
        // "true"/"false" in any case; else NumberFormatException "Config Value not a boolean".
        virtual bool GetBool(const std::string& path, bool& value) = 0;
        // Base 10; unless the whole text converts, NumberFormatException
        // "Config Value not an integer".
        virtual bool GetInt64(const std::string& path, int64_t& value) = 0;
        virtual bool GetInt(const std::string& path, int32_t& value) = 0;

        virtual void SetDouble(const std::string& path, double value) = 0;
        virtual void SetBool(const std::string& path, bool value) = 0;
        virtual void SetInt64(const std::string& path, int64_t value) = 0;
        virtual void SetInt(const std::string& path, int32_t value) = 0;
        virtual void SetString(const std::string& path, const std::string& value) = 0;
        // Creates the path as needed and sets the value. Creating below a node that holds a
        // value, or setting a node that has children, throws InvalidArgumentException.
        virtual void Set(const std::string& path, const std::string& value) = 0;
        // Removes the node and every ancestor that would be left empty (the root is emptied,
        // never removed); false when the path does not exist.
        virtual bool Remove(const std::string& path) = 0;
        virtual bool Exists(const std::string& path) = 0;
        // Delivers a new view of this view's path joined with `path`; returns whether the node
        // exists now.
        virtual bool GetView(const std::string& path, Ref<View>& view) = 0;
        // Copies the source view's node (value or subtree) to `path`, creating it as needed.
        virtual void CopyFrom(const std::string& path, const Ref<View>& source) = 0;
        // The element texts ("name" or "name[key]") of the children named `name`, in order;
        // false when the node does not exist.
        virtual bool GetChildNames(const std::string& path, const std::string& name,
                                   std::vector<std::string>& names) = 0;
        // The element texts of all children, in order.
        virtual bool GetChildNames(const std::string& path, std::vector<std::string>& names) = 0;
        // Creates `path` (which must not exist: AlreadyExistsException) and copies the source
        // configuration's whole tree into it.
        virtual void Insert(const std::string& path, const Ref<Config>& source) = 0;
        // A key for a new child of `path`'s last element name under its parent, one past the
        // key of the last such child ("0000" when there is none): name[0000], name[0001], ...
        virtual void GetNextKey(const std::string& path, std::string& key) = 0;
        // The node of this view's path, created when missing; for the configuration classes.
        virtual Ref<Object> GetBaseNode() = 0;
    };
};

}  // namespace Tarvos::Service
