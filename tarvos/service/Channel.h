#pragma once

#include <cstddef>
#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"

namespace Tarvos::Service {

// A named in-process message channel: writers append text messages, readers take them in the
// order they were written. Each message goes to exactly one reader. A channel holds at most
// its capacity of messages; writing to a full channel fails instead of growing without bound.
//
// Safe for concurrent use.
class TARVOS_API Channel : public virtual Object {
public:
    virtual std::string GetName() const = 0;
    // Appends a message; false (and nothing stored) when the channel is full or closed.
    virtual bool Write(const std::string& message) = 0;
    // Takes the oldest message; false when there is none.
    virtual bool Read(std::string& message) = 0;
    // Messages waiting.
    virtual size_t GetCount() const = 0;
    virtual size_t GetCapacity() const = 0;
    // True once the channel was closed through its manager: writes fail, waiting messages can
    // still be read.
    virtual bool IsClosed() const = 0;
};

// The process's registry of named channels (one per application).
//
// Safe for concurrent use.
class TARVOS_API ChannelManager : public virtual Object {
public:
    static constexpr size_t kDefaultCapacity = 1024;

    // The channel named `name`, created (with `capacity` messages of room, 0: the default) when
    // there is none yet. An empty name throws InvalidArgumentException.
    virtual void OpenChannel(const std::string& name, size_t capacity, Ref<Channel>& channel) = 0;
    // Closes the channel and removes it from the registry; false when there is none. Holders of
    // the channel keep it, closed.
    virtual bool CloseChannel(const std::string& name) = 0;
};

// A new, empty registry.
TARVOS_API void CreateChannelManager(Ref<ChannelManager>& manager);

}  // namespace Tarvos::Service
