// Damaged and hostile files in the demo's folder: settings full of garbage,
// huge values or missing sections, item maps cut short or made of random
// bytes, a map or a log that cannot be read or written. The window still comes
// up, says what it ignored, and writes none of those files while it starts and
// ends.

#include "DemoFixture.h"
#include "DemoSuites.h"

#include "QuorvelDemoMain.h"
#include "ServerItem.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTreeWidget>

#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <unistd.h>

using namespace QuorvelDemoTest;

namespace {

const QString SettingsFile = QStringLiteral("QuorvelDemo.dat");
const QString MapFile = QStringLiteral("ServerItems.dat");
const QString LogFile = QStringLiteral("TransactionLog.txt");

QByteArray RandomBytes(std::size_t Count, unsigned Seed) {
    std::mt19937 Random(Seed);
    QByteArray B;
    for (std::size_t I = 0; I < Count; ++I)
        B.append(static_cast<char>(Random() & 0xFF));
    return B;
}

// The settings that keep the window off the serial ports of the machine.
QByteArray OfflineSettings(const TDataDir& Dir) {
    return ("[ModbusConnection1]\nPort=" + Dir.MissingPort() + "\n").toUtf8();
}

int MapRows(const TQuorvelDemoMainForm& Form) {
    const auto* List = Form.findChild<QTreeWidget*>(QStringLiteral("ServerItemsListView"));
    return List == nullptr ? -1 : List->topLevelItemCount();
}

} // namespace

class HostileFilesTest : public QObject {
    Q_OBJECT

private slots:
    void GarbageSettingsStartWithDefaults_data() {
        QTest::addColumn<QByteArray>("Tail");
        QTest::addColumn<QStringList>("Named"); // settings the log must name as ignored
        QTest::newRow("random bytes") << RandomBytes(4096, 13) << QStringList{};
        // (The tail goes on in the section the port line opened.)
        QTest::newRow("huge values") << QByteArray(
                                            "MaxRetries=0\nSilentInterval=999999\nReceiveTimeout=-1\n"
                                            "BaudRate=99999999999\n[ModbusClient1]\nServerAddress=100000\n")
                                     << QStringList{"MaxRetries", "SilentInterval", "ServerAddress"};
        QTest::newRow("a value of a megabyte")
            << ("[ModbusClient1]\nServerAddress=" + QByteArray(1 << 20, '7') + "\n") << QStringList{};
        QTest::newRow("missing sections") << QByteArray("[Elsewhere]\nBaudRate=3\n") << QStringList{};
        QTest::newRow("NULs and lone CRs")
            << QByteArray("\0\0[ModbusConnection1]\r\rBaudRate=\0\0\r\n", 36) << QStringList{};
    }
    void GarbageSettingsStartWithDefaults() {
        QFETCH(QByteArray, Tail);
        QFETCH(QStringList, Named);
        TDataDir Dir;
        const QByteArray Settings = OfflineSettings(Dir) + Tail;
        Dir.Write(SettingsFile, Settings);
        TModalWatcher Watcher;
        {
            TQuorvelDemoMainForm Form(nullptr, Dir.Path());
            QVERIFY(Form.isWindow());
            const QStringList Ignored = LogTexts(Form).filter(QStringLiteral("its default is used"));
            for (const QString& Key : Named)
                QVERIFY2(!Ignored.filter(QStringLiteral("Setting %1 ").arg(Key)).isEmpty(),
                         qPrintable(Key + ": " + Ignored.join('|')));
            QCOMPARE(Dir.Read(SettingsFile), Settings); // starting writes nothing
        }
        QCOMPARE(Dir.Read(SettingsFile), Settings); // nor does ending
    }

    void DamagedItemMapsStartWithWhatIsSound_data() {
        QTest::addColumn<QByteArray>("Map");
        QByteArray Sound;
        for (int I = 0; I < 3; ++I)
            Sound += QByteArray::fromHex("0a00020700010009"
                                         "0001"); // holding register 10: 7 in 1..9, writeable
        Sound[0] = 10;
        Sound[10] = 11;
        Sound[20] = 12;
        QTest::newRow("cut in a record") << Sound.left(25);
        QTest::newRow("random bytes") << RandomBytes(333, 7);
        QTest::newRow("one byte") << QByteArray(1, '\x42');
        QTest::newRow("all ones") << QByteArray(100, '\xFF');
        QTest::newRow("empty") << QByteArray();
    }
    void DamagedItemMapsStartWithWhatIsSound() {
        QFETCH(QByteArray, Map);
        // What the map must show: every whole record that decodes.
        int Sound = 0, Damaged = 0;
        for (qsizetype At = 0; At + ServerItemSize <= Map.size(); At += ServerItemSize) {
            TServerItemRecord R;
            std::copy(Map.begin() + At, Map.begin() + At + ServerItemSize, R.begin());
            TServerItem Item;
            DecodeServerItem(R, Item) ? ++Sound : ++Damaged;
        }
        TDataDir Dir;
        Dir.Write(SettingsFile, OfflineSettings(Dir));
        Dir.Write(MapFile, Map);
        TModalWatcher Watcher;
        {
            TQuorvelDemoMainForm Form(nullptr, Dir.Path());
            QCOMPARE(MapRows(Form), Sound);
            QCOMPARE(LogTexts(Form).filter(QStringLiteral("is damaged")).size(), Damaged);
            QCOMPARE(Dir.Read(MapFile), Map);
        }
        QCOMPARE(Dir.Read(MapFile), Map);
    }

    void MapThatCannotBeReadIsReportedAndKept() {
        TDataDir Dir;
        Dir.Write(SettingsFile, OfflineSettings(Dir));
        const QByteArray Map = QByteArray::fromHex("0a00020700010009"
                                                   "0001");
        Dir.Write(MapFile, Map);
        // Another program holds the map for writing all the while.
        const int Holder = ::open(QFile::encodeName(Dir.File(MapFile)).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(Holder >= 0);
        QCOMPARE(::flock(Holder, LOCK_EX), 0);
        TModalWatcher Watcher;
        {
            TQuorvelDemoMainForm Form(nullptr, Dir.Path());
            QCOMPARE(MapRows(Form), 0);
            QVERIFY2(!Watcher.MessageTexts().filter(MapFile).isEmpty(),
                     qPrintable(Watcher.MessageTexts().join('|')));
        }
        (void)::close(Holder); // releases the lock; nothing left to check if the close fails
        QCOMPARE(Dir.Read(MapFile), Map);
    }

    void FolderInTheMapsPlaceIsReportedAndKept() {
        TDataDir Dir;
        Dir.Write(SettingsFile, OfflineSettings(Dir));
        QVERIFY(QDir().mkdir(Dir.File(MapFile)));
        TModalWatcher Watcher;
        {
            TQuorvelDemoMainForm Form(nullptr, Dir.Path());
            QCOMPARE(MapRows(Form), 0);
            QVERIFY2(!Watcher.MessageTexts().filter(MapFile).isEmpty(),
                     qPrintable(Watcher.MessageTexts().join('|')));
        }
        QVERIFY(QFileInfo(Dir.File(MapFile)).isDir());
    }

    void LogThatCannotBeWrittenLeavesTheWindowWorking() {
        TDataDir Dir;
        Dir.Write(SettingsFile, OfflineSettings(Dir) + "[General]\nLogTransactionsToFile=1\n");
        QVERIFY(QDir().mkdir(Dir.File(LogFile))); // a folder in the log file's place
        TModalWatcher Watcher;
        {
            TQuorvelDemoMainForm Form(nullptr, Dir.Path());
            QVERIFY(!LogTexts(Form).isEmpty()); // the view still has the log
        }
        QVERIFY(QFileInfo(Dir.File(LogFile)).isDir());
        QVERIFY2(!Watcher.MessageTexts().filter(LogFile).isEmpty(),
                 qPrintable(Watcher.MessageTexts().join('|')));
    }
};

QUORVEL_DEMO_SUITE(HostileFilesTest);

#include "HostileFilesTest.moc"
