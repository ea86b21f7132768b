#include "FileAccess.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

std::optional<QByteArray> ReadFileIfExists(const QString& FileName) {
    struct stat Info {};
    if (::stat(QFile::encodeName(FileName).constData(), &Info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        throw std::runtime_error(CannotOpenFileText(FileName, ErrnoText(errno)));
    }
    if (!S_ISREG(Info.st_mode))
        throw std::runtime_error(CannotOpenFileText(FileName, NotRegularFileText()));
    QFile File(FileName);
    if (!File.open(QIODevice::ReadOnly))
        throw std::runtime_error(CannotOpenFileText(FileName, File.errorString()));
    QByteArray Bytes = File.readAll();
    if (File.error() != QFileDevice::NoError)
        throw std::runtime_error(CannotOpenFileText(FileName, File.errorString()));
    return Bytes;
}

std::string CannotOpenFileText(const QString& FileName, const QString& Reason) {
    return QStringLiteral("Cannot open file \"%1\". %2").arg(FileName, Reason).toStdString();
}

std::string CannotWriteFileText(const QString& FileName, const QString& Reason) {
    return QStringLiteral("Cannot write to file \"%1\". %2").arg(FileName, Reason).toStdString();
}

QString ErrnoText(int Error) {
    return QString::fromLocal8Bit(std::strerror(Error));
}

QString NotRegularFileText() {
    return QStringLiteral("It is not a regular file");
}
