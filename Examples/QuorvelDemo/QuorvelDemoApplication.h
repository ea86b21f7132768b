// The demo's application-wide services: its title, the standard error box, the
// hint pause, and the pump that lets the library's worker threads reach the
// main thread through Qt's event loop.
#pragma once

#include <QString>

#include <exception>
#include <utility>

class QWidget;

// The application's title: "Quorvel Demo". Captions and message boxes use it.
QString ApplicationTitle();

// Prepares the running QApplication for the demo: sets the title, shows the
// library's errors (worker thread, completions) in the standard error box, and
// watches the library's main-thread queue with a socket notifier, so posted
// completions, frame copies and a server's synchronous calls are handled as
// soon as they arrive (no polling). Safe to call more than once.
void InitializeDemoApplication();

// The text the standard error box shows for Message: a full stop is added
// unless the message is empty or its last character sorts at or below ".".
QString ErrorBoxText(const QString& Message);

// The standard error box: modal, titled with the application title, stop icon,
// OK button, text by ErrorBoxText.
void ShowErrorBox(const QString& Message, QWidget* Parent = nullptr);

// Shows the error being handled (call inside a catch block) in the standard
// error box; the library's silent EAbort shows nothing.
void HandleException(std::exception_ptr Error, QWidget* Parent = nullptr) noexcept;

// Runs a user-interface handler and shows an error that leaves it in the
// standard error box. Qt's event loop must never see an exception.
template <typename F>
void RunHandler(QWidget* Parent, F&& Handler) noexcept {
    try {
        std::forward<F>(Handler)();
    } catch (...) {
        HandleException(std::current_exception(), Parent);
    }
}

// Keeps every hint (a widget's tool tip) visible for Milliseconds before it
// hides, instead of Qt's length-dependent default.
void SetHintHidePause(int Milliseconds);
int HintHidePause();
