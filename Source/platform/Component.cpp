// The component base and the application's exception display.

#include "QuorvelPlatform.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace Quorvel {

TComponent::TComponent(TComponent* AOwner) : FOwner(nullptr) {
    if (AOwner != nullptr)
        AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    FDestroying = true;
    // Everyone who asked hears about the deletion before anything goes.
    while (!FFreeNotifies.empty()) {
        TComponent* Other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        auto& Back = Other->FFreeNotifies;
        Back.erase(std::remove(Back.begin(), Back.end(), this), Back.end());
        Other->Notification(this, opRemove);
    }
    // Owned components go in reverse order of creation.
    while (!FComponents.empty()) {
        TComponent* Child = FComponents.back();
        delete Child; // removes itself from FComponents
    }
    if (FOwner != nullptr)
        FOwner->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* AComponent) {
    AComponent->FOwner = this;
    FComponents.push_back(AComponent);
    Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
    // Told first, while AComponent is still in the list of neighbours.
    Notification(AComponent, opRemove);
    FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent), FComponents.end());
    AComponent->FOwner = nullptr;
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr || AComponent == this)
        return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
        FFreeNotifies.push_back(AComponent);
    auto& Back = AComponent->FFreeNotifies;
    if (std::find(Back.begin(), Back.end(), this) == Back.end())
        Back.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr)
        return;
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                        FFreeNotifies.end());
    auto& Back = AComponent->FFreeNotifies;
    Back.erase(std::remove(Back.begin(), Back.end(), this), Back.end());
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent != nullptr)
        RemoveFreeNotification(AComponent);
    // A copy: a handler may delete components of this owner.
    const auto Owned = FComponents;
    for (TComponent* Child : Owned) {
        if (Child != AComponent &&
            std::find(FComponents.begin(), FComponents.end(), Child) != FComponents.end())
            Child->Notification(AComponent, Operation);
    }
}

void TComponent::CollectLoading(std::vector<TComponent*>& List) {
    if (FLoading)
        return;
    FLoading = true;
    List.push_back(this);
    for (TComponent* Child : FComponents)
        Child->CollectLoading(List);
}

void TComponent::BeginLoading() {
    std::vector<TComponent*> List;
    CollectLoading(List);
}

void TComponent::EndLoading() {
    // Every component of the tree is loaded before any of them applies its
    // deferred state, so a loaded connection opens with its clients attached.
    std::vector<TComponent*> List;
    std::vector<TComponent*> Pending{this};
    while (!Pending.empty()) {
        TComponent* C = Pending.back();
        Pending.pop_back();
        if (!C->FLoading)
            continue;
        List.push_back(C);
        Pending.insert(Pending.end(), C->FComponents.rbegin(), C->FComponents.rend());
    }
    for (TComponent* C : List)
        C->Loaded();
}

void TComponent::Loaded() {
    FLoading = false;
}

void TComponent::SetDesigning(bool Value) {
    FDesigning = Value;
    for (TComponent* Child : FComponents)
        Child->SetDesigning(Value);
}

namespace {

std::mutex HandlerLock;
TApplicationExceptionHandler& InstalledHandler() {
    static TApplicationExceptionHandler Handler;
    return Handler;
}

} // namespace

TApplicationExceptionHandler SetApplicationExceptionHandler(TApplicationExceptionHandler Handler) {
    std::lock_guard Lock(HandlerLock);
    auto Previous = std::move(InstalledHandler());
    InstalledHandler() = std::move(Handler);
    return Previous;
}

std::string ExceptionMessage(std::exception_ptr Error) {
    if (!Error)
        return "Exception";
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception& E) {
        return E.what();
    } catch (...) {
        return "Unknown exception";
    }
}

void ShowApplicationException(TComponent* Sender, std::exception_ptr Error) noexcept {
    try {
        if (Error)
            std::rethrow_exception(Error);
    } catch (const EAbort&) {
        return; // the silent error is never shown
    } catch (...) {
    }
    TApplicationExceptionHandler Handler;
    {
        std::lock_guard Lock(HandlerLock);
        Handler = InstalledHandler();
    }
    try {
        if (Handler) {
            Handler(Sender, Error);
            return;
        }
    } catch (...) {
        // The display itself failed; fall back to stderr below.
    }
    try {
        std::fprintf(stderr, "Quorvel: %s\n", ExceptionMessage(Error).c_str());
    } catch (...) {
        // Out of memory while formatting: nothing left to show it with.
    }
}

} // namespace Quorvel
