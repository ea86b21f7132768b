// The RTF reader: the text and formatting of the subset the introduction uses,
// and damaged input read without harm.

#include "DemoSuites.h"

#include "RtfReader.h"

#include <QFile>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

namespace {

QString PlainText(const QByteArray& Rtf) {
    QTextDocument Document;
    ReadRtf(Rtf, Document);
    return Document.toRawText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
}

// The character format at the first occurrence of Fragment.
QTextCharFormat FormatOf(const QTextDocument& Document, const QString& Fragment) {
    const QTextCursor Found = Document.find(Fragment, 0, QTextDocument::FindCaseSensitively);
    if (Found.isNull())
        return QTextCharFormat();
    QTextCursor At = Found;
    At.setPosition(Found.selectionStart() + 1);
    return At.charFormat();
}

} // namespace

class RtfReaderTest : public QObject {
    Q_OBJECT

private slots:
    void Text_data() {
        QTest::addColumn<QByteArray>("Rtf");
        QTest::addColumn<QString>("Text");
        QTest::newRow("paragraphs") << QByteArray("{\\rtf1 one\\par two\\par}")
                                    << QStringLiteral("one\ntwo\n");
        QTest::newRow("source line breaks mean nothing")
            << QByteArray("{\\rtf1 a\r\nb}") << QStringLiteral("ab");
        QTest::newRow("control word ends at a blank")
            << QByteArray("{\\rtf1\\b bold\\b0  plain}") << QStringLiteral("bold plain");
        QTest::newRow("escapes") << QByteArray("{\\rtf1 \\{x\\} \\\\ a\\~b}")
                                 << QStringLiteral("{x} \\ a\u00A0b");
        QTest::newRow("hex escapes, Windows-1252")
            << QByteArray("{\\rtf1 caf\\'e9 \\'80 \\'93q\\'94}") << QStringLiteral("café € “q”");
        QTest::newRow("unicode skips its fallback")
            << QByteArray("{\\rtf1 a\\u8594?b \\uc2\\u-3913\\'81\\'82c}") << QStringLiteral("a→b \uF0B7c");
        QTest::newRow("named characters")
            << QByteArray("{\\rtf1 \\emdash\\endash\\bullet\\lquote\\rquote\\ldblquote\\rdblquote}")
            << QStringLiteral("—–•‘’“”");
        QTest::newRow("tables and ignorable destinations skipped")
            << QByteArray(
                   "{\\rtf1{\\fonttbl{\\f0 Tahoma;}}{\\colortbl;\\red1\\green2\\blue3;}{\\*\\generator Gen;}"
                   "{\\info{\\title T}}{\\stylesheet{\\s0 Normal;}}x\\unknownword y}")
            << QStringLiteral("xy");
        QTest::newRow("line and tab")
            << QByteArray("{\\rtf1 a\\line b\\tab c}") << QStringLiteral("a\u2028b\tc");
        QTest::newRow("not RTF is plain text")
            << QByteArray("just {text}\\par") << QStringLiteral("just {text}\\par");
        QTest::newRow("unbalanced groups") << QByteArray("{\\rtf1 a}}}b{{c") << QStringLiteral("abc");
        QTest::newRow("cut-off escape") << QByteArray("{\\rtf1 a\\'") << QStringLiteral("a");
        QTest::newRow("escape without digits") << QByteArray("{\\rtf1 a\\'zb}") << QStringLiteral("azb");
        QTest::newRow("cut-off word") << QByteArray("{\\rtf1 a\\") << QStringLiteral("a");
        QTest::newRow("huge parameter")
            << QByteArray("{\\rtf1\\fs99999999999999999999 a\\u99999999999999?b}") << QString();
    }

    void Text() {
        QFETCH(QByteArray, Rtf);
        QFETCH(QString, Text);
        QTEST_ASSERT(!Rtf.isNull());
        const QString Plain = PlainText(Rtf);
        if (QTest::currentDataTag() == QLatin1String("huge parameter")) {
            // Only sanity: it is read, starts and ends as written.
            QVERIFY(Plain.startsWith(QLatin1Char('a')));
            QVERIFY(Plain.endsWith(QLatin1Char('b')));
            return;
        }
        QCOMPARE(Plain, Text);
    }

    void Formatting() {
        QTextDocument Document;
        ReadRtf("{\\rtf1{\\colortbl ;\\red0\\green0\\blue128;}\\fs28 big {\\b bold {\\i both} b2} "
                "\\ul under\\ulnone  \\cf1 navy\\cf0  \\plain plain\\par\\qc centred}",
                Document);
        QCOMPARE(Document.toPlainText(), QStringLiteral("big bold both b2 under navy plain\ncentred"));
        QCOMPARE(FormatOf(Document, QStringLiteral("big")).fontPointSize(), 14.0);
        QCOMPARE(FormatOf(Document, QStringLiteral("big")).fontWeight(), int(QFont::Normal));
        QCOMPARE(FormatOf(Document, QStringLiteral("bold")).fontWeight(), int(QFont::Bold));
        QVERIFY(!FormatOf(Document, QStringLiteral("bold")).fontItalic());
        QVERIFY(FormatOf(Document, QStringLiteral("both")).fontItalic());
        QCOMPARE(FormatOf(Document, QStringLiteral("both")).fontWeight(), int(QFont::Bold));
        // Closing a group restores what was before it.
        QVERIFY(!FormatOf(Document, QStringLiteral("b2")).fontItalic());
        QCOMPARE(FormatOf(Document, QStringLiteral("under")).fontWeight(), int(QFont::Normal));
        QVERIFY(FormatOf(Document, QStringLiteral("under")).fontUnderline());
        QVERIFY(!FormatOf(Document, QStringLiteral("navy")).fontUnderline());
        QCOMPARE(FormatOf(Document, QStringLiteral("navy")).foreground().color(), QColor(0, 0, 128));
        QCOMPARE(FormatOf(Document, QStringLiteral("plain")).fontPointSize(), 12.0);
        QCOMPARE(Document.lastBlock().blockFormat().alignment(), Qt::AlignHCenter);
    }

    void ShippedIntroductionReads() {
        QFile File(QStringLiteral(QUORVEL_DEMO_INTRODUCTION));
        QVERIFY(File.open(QIODevice::ReadOnly));
        QTextDocument Document;
        ReadRtf(File.readAll(), Document);
        const QString Text = Document.toPlainText();
        QVERIFY(Text.startsWith(QStringLiteral("Quorvel Demo\n")));
        QVERIFY(Text.contains(QStringLiteral("Tools → Modbus Connection Options...")));
        QVERIFY(Text.contains(QStringLiteral("server’s identification")));
        for (const char* Source : {"\\", "{", "}", "rtf1", "fonttbl", "Tahoma", "colortbl", "\\par"})
            QVERIFY2(!Text.contains(QLatin1String(Source)), Source);
        QCOMPARE(FormatOf(Document, QStringLiteral("Quorvel Demo")).fontWeight(), int(QFont::Bold));
        QCOMPARE(FormatOf(Document, QStringLiteral("As a local client")).fontWeight(), int(QFont::Bold));
    }
};

QUORVEL_DEMO_SUITE(RtfReaderTest);

#include "RtfReaderTest.moc"
