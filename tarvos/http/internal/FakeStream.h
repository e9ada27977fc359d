#pragma once

// An in-memory Stream for the HTTP tests and fuzz targets (header-only; not used by the
// library itself).

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tarvos/core/Exception.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/Stream.h"

namespace Tarvos::Http::Testing {

// Reads hand out scripted chunks: one Read delivers at most the front chunk (the rest of it
// stays for the next Read), and an empty script reads as the end of the stream. A "stall" in
// the script stands for a peer that sends nothing: a timed wait there times out, a plain Read
// there is a test error. Writes are recorded; they can be made to fail. Confined to one thread.
class FakeStream final : public System::Stream, public System::LockableObjectImpl {
public:
    void AddChunk(std::string bytes) { _script.push_back(Step{std::move(bytes), false}); }
    // Adds `text` in pieces of `piece` bytes.
    void AddSplit(const std::string& text, size_t piece) {
        for (size_t i = 0; i < text.size(); i += piece) {
            AddChunk(text.substr(i, piece));
        }
    }
    void AddStall() { _script.push_back(Step{std::string(), true}); }
    // From now on every Write throws PosixSystemException(EPIPE).
    void FailWrites() { _failWrites = true; }
    void SetBinding(Ref<System::BindingInfo> local, Ref<System::BindingInfo> remote) {
        _local = std::move(local);
        _remote = std::move(remote);
    }

    const std::string& Written() const { return _written; }
    void ClearWritten() {
        _written.clear();
        _writeCalls = 0;
    }
    int WriteCalls() const { return _writeCalls; }
    bool IsClosed() const { return _closed; }
    // The lengths asked for by every read (plain or initiated), in order.
    const std::vector<int32_t>& ReadRequests() const { return _readRequests; }
    const std::vector<int64_t>& TimedWaits() const { return _timedWaits; }
    size_t ScriptSteps() const { return _script.size(); }

    void Write(const void* buffer, int32_t length) override {
        if (_closed) {
            throw System::PosixSystemException(ENOTCONN);
        }
        if (length <= 0) {
            throw InvalidArgumentException("FakeStream::Write");
        }
        if (_failWrites) {
            throw System::PosixSystemException(EPIPE);
        }
        ++_writeCalls;
        _written.append(static_cast<const char*>(buffer), static_cast<size_t>(length));
    }
    int32_t Read(void* buffer, int32_t length) override {
        if (_closed) {
            throw System::PosixSystemException(ENOTCONN);
        }
        if (_pending != nullptr) {
            throw InProgressException();
        }
        _readRequests.push_back(length);
        return Deliver(buffer, length, true);
    }
    void ReadInitiate(void* buffer, int32_t length,
                      const Ref<System::StreamReadCallback>& callback) override {
        if (_closed) {
            throw System::PosixSystemException(ENOTCONN);
        }
        if (callback) {
            throw NotSupportedException();
        }
        if (_pending != nullptr) {
            throw InProgressException();
        }
        _readRequests.push_back(length);
        _pending = buffer;
        _pendingLength = length;
    }
    int32_t TimedWaitRead(int64_t timeoutMicros) override {
        _timedWaits.push_back(timeoutMicros);
        if (_pending == nullptr) {
            throw NotInProgressException();
        }
        if (!_script.empty() && _script.front().stall) {
            _script.pop_front();
            throw TimeoutException();
        }
        return Collect();
    }
    int32_t WaitRead() override {
        if (_pending == nullptr) {
            throw NotInProgressException();
        }
        if (_closed) {
            _pending = nullptr;
            throw CanceledException();
        }
        return Collect();
    }
    void Close() override { _closed = true; }
    void GetBindingInfo(System::BindingKind, Ref<System::BindingInfo>& local,
                        Ref<System::BindingInfo>& remote) override {
        local = _local;
        remote = _remote;
    }

    void WriteInitiate(const void*, int32_t, const Ref<System::StreamWriteCallback>&) override {
        throw NotSupportedException();
    }
    int32_t WaitWrite() override { throw NotSupportedException(); }
    int32_t TimedWaitWrite(int64_t) override { throw NotSupportedException(); }
    bool IsWriteResultTaken() override { throw WrongThreadException(); }
    bool IsReadResultTaken() override { throw WrongThreadException(); }

private:
    struct Step {
        std::string bytes;
        bool stall;
    };

    int32_t Collect() {
        void* buffer = _pending;
        _pending = nullptr;
        return Deliver(buffer, _pendingLength, false);
    }

    int32_t Deliver(void* buffer, int32_t length, bool blocking) {
        if (_script.empty()) {
            return 0;
        }
        if (_script.front().stall) {
            if (blocking) {
                throw std::logic_error("FakeStream: a blocking read would wait for ever");
            }
            _script.pop_front();
        }
        if (_script.empty()) {
            return 0;
        }
        std::string& front = _script.front().bytes;
        const size_t count = std::min(front.size(), static_cast<size_t>(length));
        std::memcpy(buffer, front.data(), count);
        front.erase(0, count);
        if (front.empty()) {
            _script.pop_front();
        }
        return static_cast<int32_t>(count);
    }

    std::deque<Step> _script;
    std::string _written;
    int _writeCalls = 0;
    bool _failWrites = false;
    bool _closed = false;
    void* _pending = nullptr;
    int32_t _pendingLength = 0;
    std::vector<int32_t> _readRequests;
    std::vector<int64_t> _timedWaits;
    Ref<System::BindingInfo> _local;
    Ref<System::BindingInfo> _remote;
};

}  // namespace Tarvos::Http::Testing
