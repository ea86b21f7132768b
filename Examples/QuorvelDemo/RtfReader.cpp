#include "RtfReader.h"

#include <QColor>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <vector>

namespace {

// Windows-1252 where it differs from Latin-1 (0x80 to 0x9F).
const char16_t Cp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,
};

QChar FromCp1252(unsigned char Byte) {
    if (Byte >= 0x80 && Byte < 0xA0)
        return QChar(Cp1252High[Byte - 0x80]);
    return QChar(static_cast<char16_t>(Byte));
}

enum TDestination { dText, dColorTable, dSkip };

struct TState {
    TDestination Destination = dText;
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    int FontSize = 24; // half points
    int Color = 0;     // index into the colour table; 0 is the default colour
    int UnicodeSkip = 1;
};

class TReader {
public:
    TReader(const QByteArray& Rtf, QTextDocument& Document) : FRtf(Rtf), FCursor(&Document) {}

    void Run() {
        while (FPos < FRtf.size()) {
            const char C = FRtf[FPos++];
            switch (C) {
            case '{':
                FStack.push_back(FState);
                break;
            case '}':
                Flush();
                if (!FStack.empty()) {
                    FState = FStack.back();
                    FStack.pop_back();
                }
                break;
            case '\\':
                ControlSymbolOrWord();
                break;
            case '\r':
            case '\n':
                break; // line breaks in RTF source mean nothing
            default:
                Character(FromCp1252(static_cast<unsigned char>(C)));
                break;
            }
        }
        Flush();
    }

private:
    void Character(QChar C) {
        if (FSkipChars > 0) {
            --FSkipChars;
            return;
        }
        if (FState.Destination == dColorTable) {
            if (C == QLatin1Char(';')) {
                FColors.push_back(FPendingColor);
                FPendingColor = QColor(0, 0, 0);
            }
            return;
        }
        if (FState.Destination != dText)
            return;
        if (FRun.isEmpty() || !SameFormat())
            Flush();
        if (FRun.isEmpty())
            FRunState = FState;
        FRun += C;
    }

    bool SameFormat() const {
        return FRunState.Bold == FState.Bold && FRunState.Italic == FState.Italic &&
               FRunState.Underline == FState.Underline && FRunState.FontSize == FState.FontSize &&
               FRunState.Color == FState.Color;
    }

    void Flush() {
        if (FRun.isEmpty())
            return;
        QTextCharFormat Format;
        Format.setFontWeight(FRunState.Bold ? QFont::Bold : QFont::Normal);
        Format.setFontItalic(FRunState.Italic);
        Format.setFontUnderline(FRunState.Underline);
        if (FRunState.FontSize > 0)
            Format.setFontPointSize(FRunState.FontSize / 2.0);
        if (FRunState.Color > 0 && FRunState.Color < static_cast<int>(FColors.size()))
            Format.setForeground(FColors[static_cast<std::size_t>(FRunState.Color)]);
        FCursor.insertText(FRun, Format);
        FRun.clear();
    }

    void Paragraph() {
        if (FState.Destination != dText)
            return;
        Flush();
        FCursor.insertBlock(FBlockFormat);
    }

    void SetAlignment(Qt::Alignment Alignment) {
        if (FState.Destination != dText)
            return;
        Flush();
        FBlockFormat.setAlignment(Alignment);
        FCursor.setBlockFormat(FBlockFormat);
    }

    void ControlSymbolOrWord() {
        if (FPos >= FRtf.size())
            return;
        const char C = FRtf[FPos];
        if ((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z')) {
            ControlWord();
            return;
        }
        ++FPos;
        switch (C) {
        case '\\':
        case '{':
        case '}':
            Character(QLatin1Char(C));
            break;
        case '~':
            Character(QChar(0x00A0));
            break;
        case '_':
            Character(QChar(0x2011));
            break;
        case '\'':
            if (const int Byte = HexByte(); Byte >= 0)
                Character(FromCp1252(static_cast<unsigned char>(Byte)));
            break;
        case '*':
            FState.Destination = dSkip;
            break;
        case '\r':
        case '\n':
            Paragraph();
            break;
        default:
            break; // \- (optional hyphen) and unknown symbols show nothing
        }
    }

    // The byte of up to two hexadecimal digits; -1 when none follows.
    int HexByte() {
        int Value = -1;
        for (int I = 0; I < 2 && FPos < FRtf.size(); ++I) {
            const char H = FRtf[FPos];
            int Digit;
            if (H >= '0' && H <= '9')
                Digit = H - '0';
            else if (H >= 'a' && H <= 'f')
                Digit = H - 'a' + 10;
            else if (H >= 'A' && H <= 'F')
                Digit = H - 'A' + 10;
            else
                break;
            Value = (Value < 0 ? 0 : Value * 16) + Digit;
            ++FPos;
        }
        return Value;
    }

    void ControlWord() {
        QByteArray Word;
        while (FPos < FRtf.size() &&
               ((FRtf[FPos] >= 'a' && FRtf[FPos] <= 'z') || (FRtf[FPos] >= 'A' && FRtf[FPos] <= 'Z')))
            Word += FRtf[FPos++];
        bool HasParam = false;
        bool Negative = false;
        long long Param = 0;
        if (FPos < FRtf.size() && FRtf[FPos] == '-') {
            Negative = true;
            ++FPos;
        }
        while (FPos < FRtf.size() && FRtf[FPos] >= '0' && FRtf[FPos] <= '9') {
            HasParam = true;
            if (Param < 100000000) // enough for any value RTF uses; longer runs are damage
                Param = Param * 10 + (FRtf[FPos] - '0');
            ++FPos;
        }
        if (Negative)
            Param = -Param;
        if (FPos < FRtf.size() && FRtf[FPos] == ' ')
            ++FPos; // the blank that ends a control word belongs to it
        const int Value = static_cast<int>(Param);
        const bool On = !HasParam || Value != 0;

        if (Word == "par") {
            Paragraph();
        } else if (Word == "line") {
            Character(QChar(QChar::LineSeparator));
        } else if (Word == "tab") {
            Character(QLatin1Char('\t'));
        } else if (Word == "pard") {
            SetAlignment(Qt::AlignLeft);
        } else if (Word == "ql") {
            SetAlignment(Qt::AlignLeft);
        } else if (Word == "qc") {
            SetAlignment(Qt::AlignHCenter);
        } else if (Word == "qr") {
            SetAlignment(Qt::AlignRight);
        } else if (Word == "qj") {
            SetAlignment(Qt::AlignJustify);
        } else if (Word == "b") {
            FState.Bold = On;
        } else if (Word == "i") {
            FState.Italic = On;
        } else if (Word == "ul") {
            FState.Underline = On;
        } else if (Word == "ulnone") {
            FState.Underline = false;
        } else if (Word == "plain") {
            FState.Bold = FState.Italic = FState.Underline = false;
            FState.FontSize = 24;
            FState.Color = 0;
        } else if (Word == "fs") {
            FState.FontSize = HasParam && Value > 0 && Value <= 3276 ? Value : 24;
        } else if (Word == "cf") {
            FState.Color = HasParam && Value >= 0 ? Value : 0;
        } else if (Word == "colortbl") {
            FState.Destination = dColorTable;
            FColors.clear();
        } else if (Word == "red" || Word == "green" || Word == "blue") {
            if (FState.Destination == dColorTable) {
                const int Level = qBound(0, Value, 255);
                if (Word == "red")
                    FPendingColor.setRed(Level);
                else if (Word == "green")
                    FPendingColor.setGreen(Level);
                else
                    FPendingColor.setBlue(Level);
            }
        } else if (Word == "uc") {
            FState.UnicodeSkip = HasParam && Value >= 0 && Value <= 10 ? Value : 1;
        } else if (Word == "u") {
            // A signed 16-bit value; the fallback characters after it are skipped.
            if (HasParam)
                Character(QChar(static_cast<char16_t>(Value < 0 ? Value + 65536 : Value)));
            FSkipChars = FState.UnicodeSkip;
        } else if (Word == "emdash") {
            Character(QChar(0x2014));
        } else if (Word == "endash") {
            Character(QChar(0x2013));
        } else if (Word == "bullet") {
            Character(QChar(0x2022));
        } else if (Word == "lquote") {
            Character(QChar(0x2018));
        } else if (Word == "rquote") {
            Character(QChar(0x2019));
        } else if (Word == "ldblquote") {
            Character(QChar(0x201C));
        } else if (Word == "rdblquote") {
            Character(QChar(0x201D));
        } else if (Word == "fonttbl" || Word == "stylesheet" || Word == "info" || Word == "pict" ||
                   Word == "object" || Word == "header" || Word == "footer" || Word == "filetbl" ||
                   Word == "listtable" || Word == "listoverridetable" || Word == "revtbl" ||
                   Word == "rsidtbl" || Word == "generator" || Word == "xmlnstbl") {
            FState.Destination = dSkip;
        }
        // Every other control word is formatting this view does without.
    }

    const QByteArray& FRtf;
    qsizetype FPos = 0;
    QTextCursor FCursor;
    QTextBlockFormat FBlockFormat;
    TState FState;
    TState FRunState;
    std::vector<TState> FStack;
    std::vector<QColor> FColors;
    QColor FPendingColor{0, 0, 0};
    QString FRun;
    int FSkipChars = 0;
};

} // namespace

void ReadRtf(const QByteArray& Rtf, QTextDocument& Document) {
    Document.clear();
    if (!Rtf.startsWith("{\\rtf")) {
        Document.setPlainText(QString::fromUtf8(Rtf));
        return;
    }
    TReader Reader(Rtf, Document);
    Reader.Run();
}
