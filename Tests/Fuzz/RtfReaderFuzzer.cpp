// The demo's RTF reader on any bytes: it never raises, never reads past its
// input and ends in time (libFuzzer's -timeout flags a slow input).
//
// Input: the RTF text.

#include "FuzzCheck.h"
#include "RtfReader.h"

#include <QGuiApplication>
#include <QTextDocument>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* Argc, char*** Argv) {
    // Fonts and text layout want an application; no display is needed.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QGuiApplication* App = new QGuiApplication(*Argc, *Argv);
    (void)App;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const QByteArray Rtf(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));
    QTextDocument Document;
    ReadRtf(Rtf, Document);
    if (!Rtf.startsWith("{\\rtf"))
        FUZZ_CHECK(!Document.toPlainText().isNull());
    return 0;
}
