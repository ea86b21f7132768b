// Helpers of the demo suites: a temporary data directory, a watcher that
// answers the demo's modal dialogs, and readers of the main window's state by
// the controls' object names.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <deque>
#include <memory>
#include <optional>

class QAction;
class QWidget;
class TQuorvelDemoMainForm;

namespace QuorvelDemoTest {

// A modal dialog as the watcher found it.
struct TModalRecord {
    QString Kind; // "QMessageBox" or "QInputDialog"
    QString Title;
    QString Text;  // the message, or the input dialog's label
    QString Value; // the input dialog's text when it appeared
    int Icon = 0;  // QMessageBox::Icon
    int Buttons = 0;
};

// Answers every modal dialog while it lives: a message box is recorded and
// closed with its default button; an input dialog is recorded and given the
// next scripted answer (a text, or none for Cancel; Cancel when nothing is
// scripted).
class TModalWatcher : public QObject {
public:
    TModalWatcher();

    void Answer(std::optional<QString> Text) { FAnswers.push_back(std::move(Text)); }
    const QList<TModalRecord>& Records() const noexcept { return FRecords; }
    QStringList MessageTexts() const;
    void Clear() { FRecords.clear(); }

private:
    void Poll();

    QTimer FTimer;
    std::deque<std::optional<QString>> FAnswers;
    QList<TModalRecord> FRecords;
};

// A temporary folder standing in for the executable's directory.
class TDataDir {
public:
    TDataDir();

    QString Path() const { return FDir.path() + QLatin1Char('/'); }
    QString File(const QString& Name) const { return Path() + Name; }
    // A port path in the folder that does not exist, so opening fails.
    QString MissingPort() const { return File(QStringLiteral("NoSuchPort")); }

    void Write(const QString& Name, const QByteArray& Bytes) const;
    QByteArray Read(const QString& Name) const;
    bool Exists(const QString& Name) const;
    // Writes "QuorvelDemo.dat" with these lines (LF endings).
    void WriteSettings(const QStringList& Lines) const;
    // Puts the shipped introduction into the folder.
    void CopyIntroduction() const;

private:
    QTemporaryDir FDir;
};

// The main window's log view, one entry line per element.
QStringList LogLines(const TQuorvelDemoMainForm& Form);
// The same without the "[hh:mm:ss.zzz] " timestamps.
QStringList LogTexts(const TQuorvelDemoMainForm& Form);
// Text without a leading timestamp; true in Stamped when one was there.
QString StripTimestamp(const QString& Line, bool* Stamped = nullptr);
// Log file bytes with every "[hh:mm:ss.zzz] " timestamp replaced by "[T] ".
QByteArray MaskTimestamps(const QByteArray& Bytes);

QString StatusPanel(const TQuorvelDemoMainForm& Form, int Index);
QAction* MenuItem(const TQuorvelDemoMainForm& Form, const char* Name);
QWidget* Control(const TQuorvelDemoMainForm& Form, const char* Name);
// Whether the tab holding the named page is shown.
bool TabVisible(const TQuorvelDemoMainForm& Form, const char* PageName);

// Saves a picture of the window into the build tree (not compared).
void SaveScreenshot(QWidget& Window, const QString& Name);

} // namespace QuorvelDemoTest
