// The demo's INI reader on any file content: reading never fails, and a write
// changes the one line it is about, leaves every other line as it was, and
// reads back.
//
// Input: the file's bytes.

#include "FuzzCheck.h"
#include "IniFile.h"

#include <QFile>
#include <QString>

#include <unistd.h>

namespace {

QString FilePath() {
    static const QString Path = QStringLiteral("/tmp/quorvel-ini-fuzz-%1.dat").arg(::getpid());
    return Path;
}

// Lines as the file holds them, line breaks of either kind taken off.
QList<QByteArray> Lines(const QByteArray& Bytes) {
    QList<QByteArray> L = Bytes.split('\n');
    if (!L.isEmpty() && L.back().isEmpty())
        L.removeLast();
    for (auto& Line : L) {
        if (Line.endsWith('\r'))
            Line.chop(1);
    }
    return L;
}

QByteArray ReadAll() {
    QFile F(FilePath());
    FUZZ_CHECK(F.open(QIODevice::ReadOnly));
    return F.readAll();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const QByteArray Original(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));
    {
        QFile F(FilePath());
        FUZZ_CHECK(F.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(F.write(Original) == Original.size());
    }
    TIniFile Ini(FilePath());
    // The demo's own sections and keys, and a few shapes of value.
    (void)Ini.ReadString(QStringLiteral("Connection"), QStringLiteral("Port"), QStringLiteral("COM1"));
    (void)Ini.ReadInteger(QStringLiteral("Connection"), QStringLiteral("BaudRate"), 6);
    (void)Ini.ReadBool(QStringLiteral("Client"), QStringLiteral("Promiscuous"), false);
    FUZZ_CHECK(Ini.ReadString(QStringLiteral("Fuzz"), QStringLiteral("Absent"), QStringLiteral("d")).size() <=
               TIniFile::MaxStringLength);

    // Only valid UTF-8 can come back byte for byte; other bytes are read as
    // replacement characters (and written back so).
    const bool Utf8 = QString::fromUtf8(Original).toUtf8() == Original && !Original.contains('\r');
    Ini.WriteString(QStringLiteral("Connection"), QStringLiteral("Port"), QStringLiteral("COM7"));
    const QByteArray After = ReadAll();
    TIniFile Again(FilePath());
    FUZZ_CHECK(Again.ReadString(QStringLiteral("Connection"), QStringLiteral("Port"), QString()) ==
               QStringLiteral("COM7"));
    if (Utf8) {
        // Every line of the original is still there, in order, but the one updated.
        const auto Before = Lines(Original), Now = Lines(After);
        FUZZ_CHECK(Now.size() == Before.size() || Now.size() == Before.size() + 1 ||
                   Now.size() == Before.size() + 2);
        qsizetype Changed = 0;
        for (qsizetype I = 0, J = 0; I < Before.size(); ++I, ++J) {
            while (J < Now.size() && Now[J] != Before[I] && Now[J] == "Port=COM7" &&
                   Now.size() > Before.size())
                ++J; // an inserted line
            FUZZ_CHECK(J < Now.size());
            if (Now[J] != Before[I])
                ++Changed;
        }
        FUZZ_CHECK(Changed <= 1);
    }
    ::unlink(QFile::encodeName(FilePath()).constData());
    return 0;
}
