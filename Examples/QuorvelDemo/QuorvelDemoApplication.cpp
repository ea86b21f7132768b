#include "QuorvelDemoApplication.h"

#include <Quorvel.h>

#include <QApplication>
#include <QHelpEvent>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QToolTip>
#include <QWidget>

namespace {

const char* const Title = "Quorvel Demo";

// Shows tool tips with a fixed display time; widgets without a tool tip of
// their own (tab bars, item views) keep Qt's handling.
class THintFilter : public QObject {
public:
    explicit THintFilter(QObject* Parent) : QObject(Parent) {}

    int Pause = 0;

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() != QEvent::ToolTip || !Watched->isWidgetType())
            return false;
        auto* Widget = static_cast<QWidget*>(Watched);
        if (Widget->toolTip().isEmpty())
            return false;
        auto* Help = static_cast<QHelpEvent*>(Event);
        QToolTip::showText(Help->globalPos(), Widget->toolTip(), Widget, QRect(), Pause);
        return true;
    }
};

QPointer<THintFilter>& HintFilter() {
    static QPointer<THintFilter> Filter;
    return Filter;
}

} // namespace

QString ApplicationTitle() {
    return QString::fromLatin1(Title);
}

void InitializeDemoApplication() {
    // The title is the application name, not its display name: Qt would append
    // a display name to every window caption.
    QApplication::setApplicationName(ApplicationTitle());

    Quorvel::SetApplicationExceptionHandler([](Quorvel::TComponent*, std::exception_ptr Error) {
        ShowErrorBox(QString::fromStdString(Quorvel::ExceptionMessage(Error)), QApplication::activeWindow());
    });

    // The queue's descriptor stays readable while anything waits, and
    // ProcessMessages may be re-entered from a nested event loop (an error box
    // shown by a handler), so a level-triggered notifier is all it takes.
    static QPointer<QSocketNotifier> Pump;
    if (Pump.isNull()) {
        Pump = new QSocketNotifier(Quorvel::MessageQueueHandle(), QSocketNotifier::Read, qApp);
        QObject::connect(Pump.data(), &QSocketNotifier::activated, qApp, [] { Quorvel::ProcessMessages(); });
    }
}

QString ErrorBoxText(const QString& Message) {
    if (!Message.isEmpty() && Message.back() > QLatin1Char('.'))
        return Message + QLatin1Char('.');
    return Message;
}

void ShowErrorBox(const QString& Message, QWidget* Parent) {
    QMessageBox Box(QMessageBox::Critical, ApplicationTitle(), ErrorBoxText(Message), QMessageBox::Ok,
                    Parent);
    Box.exec();
}

void HandleException(std::exception_ptr Error, QWidget* Parent) noexcept {
    try {
        try {
            std::rethrow_exception(Error);
        } catch (const Quorvel::EAbort&) {
            return; // the silent error
        } catch (...) {
        }
        ShowErrorBox(QString::fromStdString(Quorvel::ExceptionMessage(Error)), Parent);
    } catch (...) {
        // Showing the box failed (out of memory): nothing is left to report with.
    }
}

void SetHintHidePause(int Milliseconds) {
    auto& Filter = HintFilter();
    if (Filter.isNull()) {
        Filter = new THintFilter(qApp);
        qApp->installEventFilter(Filter.data());
    }
    Filter->Pause = Milliseconds;
}

int HintHidePause() {
    return HintFilter().isNull() ? 0 : HintFilter()->Pause;
}
