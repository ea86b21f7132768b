// Reading the demo's files whole, and the messages of its file errors.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <string>

// The bytes of a regular file, or none when nothing is at the path (a
// dangling link counts as nothing). Raises "Cannot open file ..." when the
// path holds something else (a folder, a device, a pipe: reading one could
// never end) or the file cannot be read.
std::optional<QByteArray> ReadFileIfExists(const QString& FileName);

// "Cannot open file "<path>". <reason>"
std::string CannotOpenFileText(const QString& FileName, const QString& Reason);
// "Cannot write to file "<path>". <reason>"
std::string CannotWriteFileText(const QString& FileName, const QString& Reason);
// The system's text for an errno value.
QString ErrnoText(int Error);
// The reason given for a path that holds something other than a regular file.
QString NotRegularFileText();
