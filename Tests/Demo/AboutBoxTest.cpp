// The about box: shown from the Help menu with the library's version, and its
// links handed to the desktop (recorded here through the ShellOpen seam).

#include "DemoFixture.h"
#include "DemoSuites.h"

#include "QuorvelAboutBox.h"
#include "QuorvelDemoMain.h"

#include <QAction>
#include <QApplication>
#include <QTest>

#include <stdexcept>

using namespace QuorvelDemoTest;

namespace {

// Records ShellOpen's targets while it lives.
class TShellRecorder {
public:
    TShellRecorder() {
        SetShellOpenHandler([this](const QString& Target) {
            if (Fail)
                throw std::runtime_error("No program handles it");
            Targets << Target;
        });
    }
    ~TShellRecorder() { SetShellOpenHandler(nullptr); }

    QStringList Targets;
    bool Fail = false;
};

} // namespace

class AboutBoxTest : public QObject {
    Q_OBJECT

private slots:
    void ShownFromTheMenuWithTheVersion() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings(
            {QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Dir.MissingPort()});
        TModalWatcher Watcher;
        TQuorvelDemoMainForm Form(nullptr, Dir.Path());
        Watcher.Clear();

        QString Title;
        QString Version;
        bool Seen = false;
        QTimer Poll;
        Poll.setInterval(10);
        connect(&Poll, &QTimer::timeout, this, [&] {
            auto* Box = qobject_cast<TQuorvelAboutForm*>(QApplication::activeModalWidget());
            if (Box == nullptr || !Box->isVisible())
                return;
            Poll.stop();
            Seen = true;
            Title = Box->windowTitle();
            Version = Box->VersionLabel->text();
            SaveScreenshot(*Box, QStringLiteral("AboutBox.png"));
            Box->OKButton->click();
        });
        Poll.start();
        MenuItem(Form, "HelpAboutItem")->trigger();
        QVERIFY(Seen);
        QCOMPARE(Title, QStringLiteral("About Quorvel"));
        QCOMPARE(Version, QStringLiteral("Version 2.20 (February 26, 2010)"));
        QVERIFY(Form.findChildren<TQuorvelAboutForm*>().isEmpty());
        QCOMPARE(Watcher.MessageTexts(), QStringList());
    }

    void LinksOpenTheirOwnTargets() {
        TShellRecorder Shell;
        TQuorvelAboutForm Box;
        Box.show();
        QCOMPARE(Box.size(), QSize(320, 336));
        QCOMPARE(Box.LogoImage->pixmap().size(), QSize(253, 125));
        QCOMPARE(Box.HomepageTitleLabel->text(), QStringLiteral("Web site:"));
        QCOMPARE(Box.EmailAuthorTitleLabel->text(), QStringLiteral("E-mail:"));
        QCOMPARE(Box.HomepageLabel->toolTip(), QStringLiteral("Visit the homepage!"));
        for (QLabel* Mail : {Box.EmailAuthorLabel, Box.EmailAuthorLabel2})
            QCOMPARE(Mail->toolTip(), QStringLiteral("Email the author!"));
        QVERIFY(Box.EmailAuthorLabel->text() != Box.EmailAuthorLabel2->text());
        for (QLabel* Link : {Box.HomepageLabel, Box.EmailAuthorLabel, Box.EmailAuthorLabel2}) {
            QCOMPARE(Link->cursor().shape(), Qt::PointingHandCursor);
            QVERIFY(Link->font().underline());
            // Reserved example domains only.
            QVERIFY2(Link->text().contains(QStringLiteral("example.")), qPrintable(Link->text()));
        }

        QTest::mouseClick(Box.EmailAuthorLabel2, Qt::LeftButton);
        QTest::mouseClick(Box.EmailAuthorLabel, Qt::LeftButton);
        QTest::mouseClick(Box.HomepageLabel, Qt::LeftButton);
        QCOMPARE(Shell.Targets,
                 QStringList({QStringLiteral("mailto:%1?subject=Quorvel Inquiry").arg(Box.EmailAuthorLabel2->text()),
                              QStringLiteral("mailto:%1?subject=Quorvel Inquiry").arg(Box.EmailAuthorLabel->text()),
                              Box.HomepageLabel->text()}));
    }

    void ALinkThatCannotBeOpenedIsShownAndTheBoxStays() {
        TShellRecorder Shell;
        Shell.Fail = true;
        TModalWatcher Watcher;
        TQuorvelAboutForm Box;
        Box.show();
        QTest::mouseClick(Box.HomepageLabel, Qt::LeftButton);
        QCOMPARE(Watcher.MessageTexts(), QStringList({QStringLiteral("No program handles it.")}));
        QVERIFY(Box.isVisible());
    }
};

QUORVEL_DEMO_SUITE(AboutBoxTest);

#include "AboutBoxTest.moc"
