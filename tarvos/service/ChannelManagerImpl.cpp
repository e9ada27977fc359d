#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "tarvos/core/Exception.h"
#include "tarvos/service/Channel.h"

namespace Tarvos::Service {

namespace {

// A bounded FIFO of messages under one mutex.
class ChannelImpl final : public Channel, public ObjectImpl {
public:
    ChannelImpl(std::string name, size_t capacity) : _name(std::move(name)), _capacity(capacity) {}

    std::string GetName() const override { return _name; }

    bool Write(const std::string& message) override {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_closed || _messages.size() >= _capacity) {
            return false;
        }
        _messages.push_back(message);
        return true;
    }

    bool Read(std::string& message) override {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_messages.empty()) {
            return false;
        }
        message = std::move(_messages.front());
        _messages.pop_front();
        return true;
    }

    size_t GetCount() const override {
        std::lock_guard<std::mutex> guard(_mutex);
        return _messages.size();
    }

    size_t GetCapacity() const override { return _capacity; }

    bool IsClosed() const override {
        std::lock_guard<std::mutex> guard(_mutex);
        return _closed;
    }

    void Close() {
        std::lock_guard<std::mutex> guard(_mutex);
        _closed = true;
    }

private:
    const std::string _name;
    const size_t _capacity;
    mutable std::mutex _mutex;
    // Guarded by _mutex.
    std::deque<std::string> _messages;
    bool _closed = false;
};

class ChannelManagerImpl final : public ChannelManager, public ObjectImpl {
public:
    void OpenChannel(const std::string& name, size_t capacity, Ref<Channel>& channel) override {
        if (name.empty()) {
            throw InvalidArgumentException("OpenChannel: empty channel name");
        }
        std::lock_guard<std::mutex> guard(_mutex);
        Ref<ChannelImpl>& slot = _channels[name];
        if (!slot) {
            slot = Ref<ChannelImpl>(
                new ChannelImpl(name, capacity == 0 ? kDefaultCapacity : capacity));
        }
        channel = Ref<Channel>(slot.Get());
    }

    bool CloseChannel(const std::string& name) override {
        Ref<ChannelImpl> closed;
        {
            std::lock_guard<std::mutex> guard(_mutex);
            auto it = _channels.find(name);
            if (it == _channels.end()) {
                return false;
            }
            closed = std::move(it->second);
            _channels.erase(it);
        }
        closed->Close();
        return true;
    }

private:
    std::mutex _mutex;
    std::map<std::string, Ref<ChannelImpl>> _channels;  // guarded by _mutex
};

}  // namespace

void CreateChannelManager(Ref<ChannelManager>& manager) {
    manager = Ref<ChannelManager>(new ChannelManagerImpl());
}

}  // namespace Tarvos::Service
