// A reader for the small part of RTF that the demo's introduction uses, so the
// introduction view shows formatted text (Qt reads no RTF).
#pragma once

#include <QByteArray>

class QTextDocument;

// Replaces Document's content with the text of Rtf.
//
// Understood: paragraphs (\par, \pard, \line, \tab, \ql \qc \qr \qj), bold,
// italic and underline (\b \i \ul and their "0" or \ulnone forms, \plain),
// font sizes (\fs, half points), colours (\colortbl and \cf), groups, escaped
// characters (\\ \{ \} \~ \'hh in Windows-1252) and Unicode characters (\u
// with \uc fallbacks), and a few named characters (\emdash, \bullet, quotes).
// Font tables, style sheets, document information, pictures and every
// destination marked \* are skipped, as is any other control word.
//
// Text that does not start with "{\rtf" is shown as plain text. Damaged RTF
// (unbalanced groups, cut-off escapes) is read as far as it goes; it never
// raises.
void ReadRtf(const QByteArray& Rtf, QTextDocument& Document);
