// TIniFile: the demo's INI settings file, kept by the rules of profile strings.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

// An INI file: "[Section]" headers, "Key=Value" lines, ";" comment lines.
// Sections and keys are found without regard to case; the first of several
// equal ones counts.
//
// Reading: a missing key or a value that does not convert gives the default.
// Integers are signed 32-bit, in decimal or in hexadecimal after "0x" or "$";
// a boolean is an integer, any value but 0 being true; a string is the text
// after "=" without surrounding blanks or one pair of enclosing quotes, at most
// 2047 characters.
//
// Writing: each write reaches the file at once. A key that exists is updated
// in place, a new key goes after the last line of its section, a new section
// at the end of the file; every other line stays as it was. A failed write
// raises "Unable to write to <path>".
//
// The file is read once, when the object is made; a file that does not exist
// reads as empty and is created by the first write.
class TIniFile {
public:
    // Raises an error when the file exists but cannot be read.
    explicit TIniFile(const QString& FileName);

    const QString& FileName() const noexcept { return FFileName; }

    QString ReadString(const QString& Section, const QString& Ident, const QString& Default) const;
    std::int32_t ReadInteger(const QString& Section, const QString& Ident, std::int32_t Default) const;
    bool ReadBool(const QString& Section, const QString& Ident, bool Default) const;
    bool ValueExists(const QString& Section, const QString& Ident) const;

    void WriteString(const QString& Section, const QString& Ident, const QString& Value);
    void WriteInteger(const QString& Section, const QString& Ident, std::int32_t Value);
    void WriteBool(const QString& Section, const QString& Ident, bool Value);

    // The longest string value that is read.
    static constexpr int MaxStringLength = 2047;

private:
    // Line index of the section's header, or -1.
    qsizetype FindSection(const QString& Section) const;
    // Line index of the key within the section starting after header line
    // SectionLine, or -1.
    qsizetype FindKey(qsizetype SectionLine, const QString& Ident) const;
    // The raw value text of a key, or no value.
    bool FindValue(const QString& Section, const QString& Ident, QString& Value) const;
    void Flush();

    QString FFileName;
    QStringList FLines;
    QString FLineBreak = QStringLiteral("\n");
};
