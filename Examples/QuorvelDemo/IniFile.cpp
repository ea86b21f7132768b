#include "IniFile.h"

#include "FileAccess.h"
#include "IntegerConversion.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

bool IsSectionLine(const QString& Trimmed) {
    return Trimmed.startsWith(QLatin1Char('['));
}

QString SectionName(const QString& Trimmed) {
    const qsizetype Close = Trimmed.indexOf(QLatin1Char(']'));
    return Trimmed.mid(1, Close < 0 ? -1 : Close - 1).trimmed();
}

bool IsComment(const QString& Trimmed) {
    return Trimmed.startsWith(QLatin1Char(';'));
}

} // namespace

TIniFile::TIniFile(const QString& FileName) : FFileName(FileName) {
    const std::optional<QByteArray> Bytes = ReadFileIfExists(FFileName);
    if (!Bytes)
        return;
    QString Text = QString::fromUtf8(*Bytes);
    const qsizetype FirstBreak = Text.indexOf(QLatin1Char('\n'));
    if (FirstBreak > 0 && Text[FirstBreak - 1] == QLatin1Char('\r'))
        FLineBreak = QStringLiteral("\r\n");
    Text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    FLines = Text.split(QLatin1Char('\n'));
    // The text after the last line break is a line only when it holds something.
    if (!FLines.isEmpty() && FLines.back().isEmpty())
        FLines.removeLast();
}

qsizetype TIniFile::FindSection(const QString& Section) const {
    for (qsizetype I = 0; I < FLines.size(); ++I) {
        const QString Trimmed = FLines[I].trimmed();
        if (IsSectionLine(Trimmed) && SectionName(Trimmed).compare(Section, Qt::CaseInsensitive) == 0)
            return I;
    }
    return -1;
}

qsizetype TIniFile::FindKey(qsizetype SectionLine, const QString& Ident) const {
    for (qsizetype I = SectionLine + 1; I < FLines.size(); ++I) {
        const QString Trimmed = FLines[I].trimmed();
        if (IsSectionLine(Trimmed))
            break;
        if (IsComment(Trimmed))
            continue;
        const qsizetype Equal = Trimmed.indexOf(QLatin1Char('='));
        if (Equal >= 0 && Trimmed.left(Equal).trimmed().compare(Ident, Qt::CaseInsensitive) == 0)
            return I;
    }
    return -1;
}

bool TIniFile::FindValue(const QString& Section, const QString& Ident, QString& Value) const {
    const qsizetype SectionLine = FindSection(Section);
    if (SectionLine < 0)
        return false;
    const qsizetype KeyLine = FindKey(SectionLine, Ident);
    if (KeyLine < 0)
        return false;
    const QString& Line = FLines[KeyLine];
    Value = Line.mid(Line.indexOf(QLatin1Char('=')) + 1).trimmed();
    if (Value.size() >= 2 && (Value.front() == QLatin1Char('"') || Value.front() == QLatin1Char('\'')) &&
        Value.back() == Value.front())
        Value = Value.mid(1, Value.size() - 2);
    return true;
}

bool TIniFile::ValueExists(const QString& Section, const QString& Ident) const {
    QString Value;
    return FindValue(Section, Ident, Value);
}

QString TIniFile::ReadString(const QString& Section, const QString& Ident, const QString& Default) const {
    QString Value;
    if (!FindValue(Section, Ident, Value))
        return Default;
    return Value.left(MaxStringLength);
}

std::int32_t TIniFile::ReadInteger(const QString& Section, const QString& Ident, std::int32_t Default) const {
    QString Value;
    if (!FindValue(Section, Ident, Value))
        return Default;
    return TextToInt32(Value).value_or(Default);
}

bool TIniFile::ReadBool(const QString& Section, const QString& Ident, bool Default) const {
    return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(const QString& Section, const QString& Ident, const QString& Value) {
    const QString Line = Ident + QLatin1Char('=') + Value;
    const qsizetype SectionLine = FindSection(Section);
    if (SectionLine < 0) {
        FLines.append(QLatin1Char('[') + Section + QLatin1Char(']'));
        FLines.append(Line);
    } else if (const qsizetype KeyLine = FindKey(SectionLine, Ident); KeyLine >= 0) {
        FLines[KeyLine] = Line;
    } else {
        // After the section's last non-blank line, so blank lines that part it
        // from the next section stay where they are.
        qsizetype Last = SectionLine;
        for (qsizetype I = SectionLine + 1; I < FLines.size(); ++I) {
            const QString Trimmed = FLines[I].trimmed();
            if (IsSectionLine(Trimmed))
                break;
            if (!Trimmed.isEmpty())
                Last = I;
        }
        FLines.insert(Last + 1, Line);
    }
    Flush();
}

void TIniFile::WriteInteger(const QString& Section, const QString& Ident, std::int32_t Value) {
    WriteString(Section, Ident, QString::number(Value));
}

void TIniFile::WriteBool(const QString& Section, const QString& Ident, bool Value) {
    WriteString(Section, Ident, Value ? QStringLiteral("1") : QStringLiteral("0"));
}

void TIniFile::Flush() {
    QByteArray Bytes;
    for (const QString& Line : FLines)
        Bytes += (Line + FLineBreak).toUtf8();

    const auto Fail = [this] {
        throw std::runtime_error(QStringLiteral("Unable to write to %1").arg(FFileName).toStdString());
    };
    const QByteArray Path = QFile::encodeName(FFileName);
    // Rewritten in place: the file keeps its owner and permissions, and a
    // read-only file is refused rather than replaced.
    const int Fd = ::open(Path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (Fd < 0)
        Fail();
    qsizetype Done = 0;
    bool Ok = true;
    while (Ok && Done < Bytes.size()) {
        const ssize_t N = ::write(Fd, Bytes.constData() + Done, static_cast<size_t>(Bytes.size() - Done));
        if (N > 0)
            Done += N;
        else if (!(N < 0 && errno == EINTR))
            Ok = false;
    }
    if (Ok && ::ftruncate(Fd, static_cast<off_t>(Bytes.size())) != 0)
        Ok = false;
    if (::close(Fd) != 0)
        Ok = false;
    if (!Ok)
        Fail();
}
