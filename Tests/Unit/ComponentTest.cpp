// The component base: owner lifetime, free notification, loading, the exception display.

#include <Quorvel.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Quorvel;

namespace {

// Records what it hears, into a log that outlives it.
class TProbe : public TComponent {
public:
    TProbe(TComponent* AOwner, std::string AName, std::vector<std::string>& ALog)
        : TComponent(AOwner), FLog(ALog) {
        SetName(std::move(AName));
    }
    ~TProbe() override { FLog.push_back("delete " + Name()); }

    TComponent* Watched = nullptr;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override {
        TComponent::Notification(AComponent, Operation);
        if (Operation == opRemove) {
            FLog.push_back(Name() + " hears " + AComponent->Name() + " go");
            if (AComponent == Watched)
                Watched = nullptr;
        }
    }
    void Loaded() override {
        TComponent::Loaded();
        FLog.push_back("loaded " + Name());
    }

private:
    std::vector<std::string>& FLog;
};

} // namespace

TEST(ComponentTest, OwnerDeletesOwnedInReverseOrderAndTellsTheRest) {
    std::vector<std::string> Log;
    auto* Form = new TProbe(nullptr, "form", Log);
    new TProbe(Form, "a", Log);
    new TProbe(Form, "b", Log);
    EXPECT_EQ(Form->ComponentCount(), 2);
    delete Form;
    const std::vector<std::string> Expected = {"delete form", "delete b", "a hears b go", "delete a"};
    EXPECT_EQ(Log, Expected);
}

TEST(ComponentTest, FreeNotificationReachesAComponentOfAnotherOwner) {
    std::vector<std::string> Log;
    TProbe Watcher(nullptr, "watcher", Log);
    auto* Target = new TProbe(nullptr, "target", Log);
    Watcher.Watched = Target;
    Target->FreeNotification(&Watcher);
    delete Target;
    EXPECT_EQ(Watcher.Watched, nullptr);

    // Once removed, the link is gone in both directions.
    auto* Other = new TProbe(nullptr, "other", Log);
    Other->FreeNotification(&Watcher);
    Other->RemoveFreeNotification(&Watcher);
    Log.clear();
    delete Other;
    EXPECT_EQ(Log, std::vector<std::string>{"delete other"});
}

TEST(ComponentTest, LoadingCoversOwnedComponentsAndEndsWithLoaded) {
    std::vector<std::string> Log;
    TProbe Form(nullptr, "form", Log);
    auto* Child = new TProbe(&Form, "child", Log);
    Form.BeginLoading();
    EXPECT_TRUE(Form.IsLoading());
    EXPECT_TRUE(Child->IsLoading());
    Form.EndLoading();
    EXPECT_FALSE(Child->IsLoading());
    EXPECT_EQ(Log, (std::vector<std::string>{"loaded form", "loaded child"}));
}

TEST(ComponentTest, ExceptionDisplayIsReplaceable) {
    std::vector<std::string> Shown;
    TComponent* SenderSeen = nullptr;
    auto Previous = SetApplicationExceptionHandler([&](TComponent* Sender, std::exception_ptr E) {
        SenderSeen = Sender;
        Shown.push_back(ExceptionMessage(E));
    });
    TComponent Sender;
    ShowApplicationException(&Sender, std::make_exception_ptr(EQuorvelError(qmInternalError)));
    SetApplicationExceptionHandler(Previous);
    EXPECT_EQ(Shown, std::vector<std::string>{"Internal error"});
    EXPECT_EQ(SenderSeen, &Sender);
}
