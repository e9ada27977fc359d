#pragma once

#include "tarvos/core/Exception.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/Stream.h"

namespace Tarvos::System {

class StreamServer;

// Told when an asynchronous accept ended: with the new stream and a null error, or with the
// error (CanceledException when the server was closed) and a null stream. Runs on a pool worker
// with no lock of the server held.
class TARVOS_API AcceptCallback : public virtual Object {
public:
    virtual void OnAcceptComplete(const Ref<StreamServer>& server, const Exception* error,
                                  const Ref<Stream>& stream) = 0;
};

// The listening end of a kind of stream (TCP server sockets, named-pipe servers). At most one
// asynchronous accept is outstanding at a time. Safe for concurrent use.
class TARVOS_API StreamServer : public virtual Object {
public:
    // Waits for the next connection and delivers its stream. InProgressException while an
    // asynchronous accept is pending; PosixSystemException(ENOTCONN) when not listening;
    // CanceledException when the server is closed meanwhile.
    virtual void Accept(Ref<Stream>& stream) = 0;
    // Starts one asynchronous accept whose end goes to `callback` (not null). A failure to take
    // a descriptor (EMFILE, ENFILE) is logged and retried a little later rather than reported.
    // InProgressException while one is pending.
    virtual void Accept(const Ref<AcceptCallback>& callback) = 0;
    // Stops listening; a pending accept completes with CanceledException. Idempotent.
    virtual void Close() = 0;
};

// F: void(const Ref<StreamServer>&, const Exception*, const Ref<Stream>&).
template <class F>
Ref<AcceptCallback> MakeAcceptCallback(F&& function) {
    class FunctionAcceptCallback final : public AcceptCallback, public ObjectImpl {
    public:
        explicit FunctionAcceptCallback(std::decay_t<F> f) : _function(std::move(f)) {}
        void OnAcceptComplete(const Ref<StreamServer>& server, const Exception* error,
                              const Ref<Stream>& stream) override {
            _function(server, error, stream);
        }

    private:
        std::decay_t<F> _function;
    };
    return Ref<AcceptCallback>(new FunctionAcceptCallback(std::forward<F>(function)));
}

}  // namespace Tarvos::System
