// Quorvel: the small framework the components stand on — the component base
// with owner lifetime, free notification and loading; thread priorities; and
// the application's exception display.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace Quorvel {

class TComponent;

// A callback with the firing component as Sender.
using TNotifyEvent = std::function<void(TComponent* Sender)>;

enum TOperation { opInsert, opRemove };

// The component base.
//
// - Owner lifetime: a component created with an owner is deleted by it, in
//   reverse order of creation, when the owner is deleted. A null owner owns
//   nothing and the component is deleted by whoever created it.
// - Free notification: when a component is deleted, its owner (and through it
//   every component the owner owns) and every component that asked with
//   FreeNotification get Notification(it, opRemove) first.
// - Loading: between BeginLoading and EndLoading the component (and what it
//   owns) behaves as if its properties came from a stored form: setters store
//   without acting. EndLoading then calls Loaded on each, which applies what was
//   deferred.
// - Design mode: a flag under which components only store their properties.
//
// Main thread only.
class TComponent {
public:
    explicit TComponent(TComponent* AOwner = nullptr);
    virtual ~TComponent();

    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const noexcept { return FOwner; }
    const std::string& Name() const noexcept { return FName; }
    void SetName(const std::string& Value) { FName = Value; }
    int ComponentCount() const noexcept { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int Index) const { return FComponents.at(static_cast<std::size_t>(Index)); }

    // AComponent gets Notification(this, opRemove) when this component is deleted,
    // and this one hears when AComponent is deleted.
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    // Loading, as from a stored form: this component and those it owns.
    void BeginLoading();
    void EndLoading();
    bool IsLoading() const noexcept { return FLoading; }

    bool IsDesigning() const noexcept { return FDesigning; }
    void SetDesigning(bool Value);

    // True once deletion has begun.
    bool IsDestroying() const noexcept { return FDestroying; }

protected:
    // A component was inserted into or is being removed from this one's
    // neighbourhood; the base forwards it to the owned components and forgets
    // a free-notification link to a removed one.
    virtual void Notification(TComponent* AComponent, TOperation Operation);
    // Loading has ended; the base clears the loading state.
    virtual void Loaded();
    // Called first by a derived destructor that must act before the base part
    // goes (for example closing a port): marks the component as being destroyed.
    void Destroying() noexcept { FDestroying = true; }

private:
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);
    void CollectLoading(std::vector<TComponent*>& List);

    TComponent* FOwner;
    std::string FName;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    bool FLoading = false;
    bool FDesigning = false;
    bool FDestroying = false;
};

// The silent error: raised to abandon an operation without showing anything.
// The exception display is never called for it.
class EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

// Thread priorities for a connection's worker thread, mapped to the nearest
// Linux scheduling setting on a best-effort basis.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The application's exception display: where the library shows an error that
// it cannot hand to a caller — one raised on a worker thread, in a completion
// handled on the main thread, or while a loaded connection opens. Sender is the
// component concerned (may be null). The default writes the message to stderr;
// a GUI installs its error box. Always called on the main thread (or the thread
// that loads components).
using TApplicationExceptionHandler = std::function<void(TComponent* Sender, std::exception_ptr Error)>;

// The main-thread queue: where the worker threads of open connections hand work
// to the application's main thread (the thread that started the library).
// Finished transactions and frame copies are posted and handled in posting
// order; the worker's synchronous calls (a server's processing of a request)
// wait in the same queue. Nothing is handled until the main thread pumps the
// queue: a console program or a test calls ProcessMessages, or waits with
// WaitForMessages first; a GUI watches MessageQueueHandle with its event loop
// (for example a socket notifier) and calls ProcessMessages when it is readable.

// Main thread: handles every message queued at the time of the call, in order;
// returns how many were handled. Errors raised by handlers go to the exception
// display. Called from another thread it handles nothing and returns 0.
int ProcessMessages();
// Main thread: waits up to TimeoutMs (0xFFFFFFFF: no limit) until a message is
// queued; true when one is. Handles nothing itself.
bool WaitForMessages(std::uint32_t TimeoutMs);
// A descriptor that is readable while messages wait to be handled.
int MessageQueueHandle() noexcept;

// Installs Handler (an empty one restores the default); returns the previous one.
TApplicationExceptionHandler SetApplicationExceptionHandler(TApplicationExceptionHandler Handler);
// Shows Error through the installed handler. Never raises.
void ShowApplicationException(TComponent* Sender, std::exception_ptr Error) noexcept;
// The text of an error as the display shows it.
std::string ExceptionMessage(std::exception_ptr Error);

} // namespace Quorvel
