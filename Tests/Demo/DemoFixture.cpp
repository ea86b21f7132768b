#include "DemoFixture.h"

#include "QuorvelDemoMain.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>

#include <stdexcept>

namespace QuorvelDemoTest {

TModalWatcher::TModalWatcher() {
    // A test helper may poll: it stands in for a user looking at the screen.
    FTimer.setInterval(20);
    connect(&FTimer, &QTimer::timeout, this, [this] { Poll(); });
    FTimer.start();
}

void TModalWatcher::Poll() {
    QWidget* Modal = QApplication::activeModalWidget();
    if (Modal == nullptr || !Modal->isVisible())
        return;
    if (auto* Box = qobject_cast<QMessageBox*>(Modal)) {
        FRecords.append({QStringLiteral("QMessageBox"), Box->windowTitle(), Box->text(), QString(),
                         static_cast<int>(Box->icon()), static_cast<int>(Box->standardButtons())});
        Box->done(QMessageBox::Ok);
    } else if (auto* Input = qobject_cast<QInputDialog*>(Modal)) {
        FRecords.append({QStringLiteral("QInputDialog"), Input->windowTitle(), Input->labelText(),
                         Input->textValue(), 0, 0});
        std::optional<QString> Answer;
        if (!FAnswers.empty()) {
            Answer = FAnswers.front();
            FAnswers.pop_front();
        }
        if (Answer) {
            Input->setTextValue(*Answer);
            Input->accept();
        } else {
            Input->reject();
        }
    }
}

QStringList TModalWatcher::MessageTexts() const {
    QStringList Texts;
    for (const TModalRecord& R : FRecords)
        if (R.Kind == QLatin1String("QMessageBox"))
            Texts << R.Text;
    return Texts;
}

TDataDir::TDataDir() {
    if (!FDir.isValid())
        throw std::runtime_error("no temporary directory");
}

void TDataDir::Write(const QString& Name, const QByteArray& Bytes) const {
    QFile F(File(Name));
    if (!F.open(QIODevice::WriteOnly | QIODevice::Truncate) || F.write(Bytes) != Bytes.size())
        throw std::runtime_error("cannot write test file");
}

QByteArray TDataDir::Read(const QString& Name) const {
    QFile F(File(Name));
    if (!F.open(QIODevice::ReadOnly))
        return QByteArray();
    return F.readAll();
}

bool TDataDir::Exists(const QString& Name) const {
    return QFile::exists(File(Name));
}

void TDataDir::WriteSettings(const QStringList& Lines) const {
    Write(QStringLiteral("QuorvelDemo.dat"), (Lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
}

void TDataDir::CopyIntroduction() const {
    QFile::remove(File(QStringLiteral("Introduction.rtf")));
    if (!QFile::copy(QStringLiteral(QUORVEL_DEMO_INTRODUCTION), File(QStringLiteral("Introduction.rtf"))))
        throw std::runtime_error("cannot copy the introduction");
}

namespace {

const QRegularExpression& TimestampPattern() {
    static const QRegularExpression Pattern(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] "));
    return Pattern;
}

} // namespace

QStringList LogLines(const TQuorvelDemoMainForm& Form) {
    auto* Memo = Form.findChild<QPlainTextEdit*>(QStringLiteral("LogMemo"));
    return Memo->toPlainText().split(QLatin1Char('\n'));
}

QString StripTimestamp(const QString& Line, bool* Stamped) {
    const auto Match = TimestampPattern().match(Line);
    if (Stamped != nullptr)
        *Stamped = Match.hasMatch();
    return Match.hasMatch() ? Line.mid(Match.capturedLength()) : Line;
}

QStringList LogTexts(const TQuorvelDemoMainForm& Form) {
    QStringList Texts;
    for (const QString& Line : LogLines(Form))
        Texts << StripTimestamp(Line);
    return Texts;
}

QByteArray MaskTimestamps(const QByteArray& Bytes) {
    QString Text = QString::fromUtf8(Bytes);
    Text.replace(QRegularExpression(QStringLiteral("\\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] ")),
                 QStringLiteral("[T] "));
    return Text.toUtf8();
}

QString StatusPanel(const TQuorvelDemoMainForm& Form, int Index) {
    auto* Panel = Form.findChild<QLabel*>(QStringLiteral("StatusBar1Panel%1").arg(Index));
    return Panel == nullptr ? QStringLiteral("<no panel>") : Panel->text();
}

QAction* MenuItem(const TQuorvelDemoMainForm& Form, const char* Name) {
    return Form.findChild<QAction*>(QLatin1String(Name));
}

QWidget* Control(const TQuorvelDemoMainForm& Form, const char* Name) {
    return Form.findChild<QWidget*>(QLatin1String(Name));
}

bool TabVisible(const TQuorvelDemoMainForm& Form, const char* PageName) {
    auto* Pages = Form.findChild<QTabWidget*>(QStringLiteral("PageControl1"));
    return Pages->isTabVisible(Pages->indexOf(Control(Form, PageName)));
}

void SaveScreenshot(QWidget& Window, const QString& Name) {
    QDir().mkpath(QStringLiteral(QUORVEL_DEMO_SCREENSHOT_DIR));
    Window.show();
    (void)QTest::qWaitForWindowExposed(&Window); // offscreen windows are exposed at once
    QTest::qWait(50);
    Window.grab().save(QStringLiteral(QUORVEL_DEMO_SCREENSHOT_DIR "/") + Name);
}

} // namespace QuorvelDemoTest
