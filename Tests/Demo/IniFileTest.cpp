// The demo's INI class, its integer conversion and the error box's full-stop
// rule: the text rules everything else in the demo relies on.

#include "DemoFixture.h"
#include "DemoSuites.h"

#include "IniFile.h"
#include "IntegerConversion.h"
#include "QuorvelDemoApplication.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace QuorvelDemoTest;

Q_DECLARE_METATYPE(std::optional<qint64>)

namespace {

const QString Section = QStringLiteral("S");

} // namespace

class IniFileTest : public QObject {
    Q_OBJECT

private slots:
    void Conversion_data() {
        QTest::addColumn<QString>("Text");
        QTest::addColumn<std::optional<qint64>>("As64");
        QTest::addColumn<std::optional<qint64>>("As32");
        using O = std::optional<qint64>;
        QTest::newRow("decimal") << QStringLiteral("1000") << O(1000) << O(1000);
        QTest::newRow("signs") << QStringLiteral("-17") << O(-17) << O(-17);
        QTest::newRow("plus") << QStringLiteral("+5") << O(5) << O(5);
        QTest::newRow("leading blanks") << QStringLiteral("  \t42") << O(42) << O(42);
        QTest::newRow("trailing blank") << QStringLiteral("42 ") << O() << O();
        QTest::newRow("dollar hex") << QStringLiteral("$10") << O(16) << O(16);
        QTest::newRow("0x hex") << QStringLiteral("0x3E8") << O(1000) << O(1000);
        QTest::newRow("0X hex lower") << QStringLiteral("0X3e8") << O(1000) << O(1000);
        QTest::newRow("x hex") << QStringLiteral("xFF") << O(255) << O(255);
        QTest::newRow("negative hex") << QStringLiteral("-$10") << O(-16) << O(-16);
        QTest::newRow("hex fills 32 bits") << QStringLiteral("$FFFFFFFF") << O(4294967295LL) << O(-1);
        QTest::newRow("hex beyond 32 bits") << QStringLiteral("$100000000") << O(4294967296LL) << O();
        QTest::newRow("int32 max") << QStringLiteral("2147483647") << O(2147483647) << O(2147483647);
        QTest::newRow("int32 min") << QStringLiteral("-2147483648") << O(-2147483648LL) << O(-2147483648LL);
        QTest::newRow("int32 overflow") << QStringLiteral("2147483648") << O(2147483648LL) << O();
        QTest::newRow("int64 max") << QStringLiteral("9223372036854775807")
                                   << O(std::numeric_limits<qint64>::max()) << O();
        QTest::newRow("int64 overflow") << QStringLiteral("9223372036854775808") << O() << O();
        QTest::newRow("int64 min") << QStringLiteral("-9223372036854775808")
                                   << O(std::numeric_limits<qint64>::min()) << O();
        QTest::newRow("empty") << QString() << O() << O();
        QTest::newRow("sign only") << QStringLiteral("-") << O() << O();
        QTest::newRow("prefix only") << QStringLiteral("0x") << O() << O();
        QTest::newRow("letters") << QStringLiteral("abc") << O() << O();
        QTest::newRow("digits then letters") << QStringLiteral("12abc") << O() << O();
        QTest::newRow("decimal with hex digit") << QStringLiteral("1A") << O() << O();
        QTest::newRow("non-ASCII digit") << QStringLiteral("\u0661") << O() << O();
    }

    void Conversion() {
        QFETCH(QString, Text);
        QFETCH(std::optional<qint64>, As64);
        QFETCH(std::optional<qint64>, As32);
        QCOMPARE(TextToInt64(Text), As64);
        const auto Value32 = TextToInt32(Text);
        QCOMPARE(Value32 ? std::optional<qint64>(*Value32) : std::nullopt, As32);
    }

    void ReadingRules() {
        TDataDir Dir;
        Dir.Write(QStringLiteral("a.ini"), "; a comment=1\n"
                                           "[S]\n"
                                           "Dec=1000\n"
                                           "Hex0x=0x3E8\n"
                                           "HexDollar=$7D0\n"
                                           "Bad=abc\n"
                                           "Empty=\n"
                                           "Negative=-1\n"
                                           "  Spaced  =  12  \n"
                                           "Two=2\n"
                                           "Zero=0\n"
                                           "Quoted=\"COM 3\"\n"
                                           "Single='x'\n"
                                           "MixedCase=first\n"
                                           "mixedcase=second\n"
                                           "NoEquals\n"
                                           "[s]\n"
                                           "Later=1\n"
                                           "[Other]\n"
                                           "Dec=5\n");
        const TIniFile Ini(Dir.File(QStringLiteral("a.ini")));
        QCOMPARE(Ini.ReadInteger(Section, QStringLiteral("Dec"), 7), 1000);
        QCOMPARE(Ini.ReadInteger(Section, QStringLiteral("Hex0x"), 7), 1000);
        QCOMPARE(Ini.ReadInteger(Section, QStringLiteral("HexDollar"), 7), 2000);
        QCOMPARE(Ini.ReadInteger(Section, QStringLiteral("Bad"), 7), 7);
        QCOMPARE(Ini.ReadInteger(Section, QStringLiteral("Empty"), 7), 7);
        QCOMPARE(Ini.ReadInteger(Section, QStringLiteral("Missing"), 7), 7);
        QCOMPARE(Ini.ReadInteger(Section, QStringLiteral("Negative"), 7), -1);
        QCOMPARE(Ini.ReadInteger(Section, QStringLiteral("spaced"), 7), 12);
        QCOMPARE(Ini.ReadBool(Section, QStringLiteral("Two"), false), true);
        QCOMPARE(Ini.ReadBool(Section, QStringLiteral("Zero"), true), false);
        QCOMPARE(Ini.ReadBool(Section, QStringLiteral("Bad"), true), true);
        QCOMPARE(Ini.ReadBool(Section, QStringLiteral("Missing"), false), false);
        QCOMPARE(Ini.ReadString(Section, QStringLiteral("Quoted"), QString()), QStringLiteral("COM 3"));
        QCOMPARE(Ini.ReadString(Section, QStringLiteral("Single"), QString()), QStringLiteral("x"));
        QCOMPARE(Ini.ReadString(Section, QStringLiteral("Empty"), QStringLiteral("d")), QString());
        QCOMPARE(Ini.ReadString(Section, QStringLiteral("Missing"), QStringLiteral("d")),
                 QStringLiteral("d"));
        // The first of equal sections and keys counts; names ignore case.
        QCOMPARE(Ini.ReadString(QStringLiteral("s"), QStringLiteral("MIXEDCASE"), QString()),
                 QStringLiteral("first"));
        QCOMPARE(Ini.ReadString(Section, QStringLiteral("Later"), QStringLiteral("d")), QStringLiteral("d"));
        QCOMPARE(Ini.ReadString(Section, QStringLiteral("NoEquals"), QStringLiteral("d")),
                 QStringLiteral("d"));
        QCOMPARE(Ini.ReadInteger(QStringLiteral("Other"), QStringLiteral("Dec"), 7), 5);
        QVERIFY(!Ini.ValueExists(QString(), QStringLiteral("; a comment")));
    }

    void LongStringsAreCut() {
        TDataDir Dir;
        Dir.Write(QStringLiteral("a.ini"), "[S]\nLong=" + QByteArray(3000, 'x') + "\n");
        const TIniFile Ini(Dir.File(QStringLiteral("a.ini")));
        QCOMPARE(Ini.ReadString(Section, QStringLiteral("Long"), QString()).size(),
                 TIniFile::MaxStringLength);
    }

    void WritesKeepEveryOtherLine() {
        TDataDir Dir;
        Dir.Write(QStringLiteral("a.ini"), "; keep me\r\n"
                                           "[S]\r\n"
                                           "Unknown=stays\r\n"
                                           "Key=old\r\n"
                                           "\r\n"
                                           "[T]\r\n"
                                           "Other=1\r\n");
        TIniFile Ini(Dir.File(QStringLiteral("a.ini")));
        Ini.WriteString(Section, QStringLiteral("KEY"), QStringLiteral("new")); // in place
        Ini.WriteInteger(Section, QStringLiteral("Added"), -5);                 // end of its section
        Ini.WriteBool(QStringLiteral("U"), QStringLiteral("Flag"), true);       // new section at the end
        Ini.WriteInteger(QStringLiteral("t"), QStringLiteral("More"), 2);       // existing section, any case
        QCOMPARE(Dir.Read(QStringLiteral("a.ini")), QByteArray("; keep me\r\n"
                                                               "[S]\r\n"
                                                               "Unknown=stays\r\n"
                                                               "KEY=new\r\n"
                                                               "Added=-5\r\n"
                                                               "\r\n"
                                                               "[T]\r\n"
                                                               "Other=1\r\n"
                                                               "More=2\r\n"
                                                               "[U]\r\n"
                                                               "Flag=1\r\n"));
        // Every write reaches the file at once: a second object sees it.
        QCOMPARE(TIniFile(Dir.File(QStringLiteral("a.ini"))).ReadInteger(Section, QStringLiteral("Added"), 0),
                 -5);
    }

    void FirstWriteCreatesTheFile() {
        TDataDir Dir;
        TIniFile Ini(Dir.File(QStringLiteral("new.ini")));
        QCOMPARE(Ini.ReadInteger(Section, QStringLiteral("K"), 3), 3);
        QVERIFY(!Dir.Exists(QStringLiteral("new.ini")));
        Ini.WriteInteger(Section, QStringLiteral("K"), 4);
        QCOMPARE(Dir.Read(QStringLiteral("new.ini")), QByteArray("[S]\nK=4\n"));
    }

    void FailuresAreReported() {
        TDataDir Dir;
        // A write that cannot reach the file (root ignores permissions, so the
        // folder is missing instead).
        const QString Unwritable = Dir.File(QStringLiteral("missing/dir/a.ini"));
        TIniFile Ini(Unwritable);
        try {
            Ini.WriteInteger(Section, QStringLiteral("K"), 1);
            QFAIL("no error");
        } catch (const std::exception& E) {
            QCOMPARE(QString::fromUtf8(E.what()), QStringLiteral("Unable to write to ") + Unwritable);
        }
        // A folder in the file's place is not read (nor is a device or a pipe).
        QVERIFY(QDir(Dir.Path()).mkdir(QStringLiteral("dir.ini")));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, TIniFile(Dir.File(QStringLiteral("dir.ini"))));
    }

    void ErrorBoxFullStop_data() {
        QTest::addColumn<QString>("Message");
        QTest::addColumn<QString>("Shown");
        QTest::newRow("plain") << QStringLiteral("Value must be between 1 and 247")
                               << QStringLiteral("Value must be between 1 and 247.");
        QTest::newRow("full stop") << QStringLiteral("Done.") << QStringLiteral("Done.");
        QTest::newRow("bang") << QStringLiteral("Stop!") << QStringLiteral("Stop!");
        QTest::newRow("parenthesis") << QStringLiteral("(x)") << QStringLiteral("(x)");
        QTest::newRow("hyphen") << QStringLiteral("a -") << QStringLiteral("a -");
        QTest::newRow("line break") << QStringLiteral("a\n") << QStringLiteral("a\n");
        QTest::newRow("slash") << QStringLiteral("a/") << QStringLiteral("a/.");
        QTest::newRow("quote") << QStringLiteral("'x' is bad'") << QStringLiteral("'x' is bad'");
        QTest::newRow("non-ASCII") << QStringLiteral("Grüß") << QStringLiteral("Grüß.");
        QTest::newRow("empty") << QString() << QString();
    }

    void ErrorBoxFullStop() {
        QFETCH(QString, Message);
        QFETCH(QString, Shown);
        QCOMPARE(ErrorBoxText(Message), Shown);
    }
};

QUORVEL_DEMO_SUITE(IniFileTest);

#include "IniFileTest.moc"
