#include "efs/Status.h"

#include <QLocale>
#include <cstring>

namespace efs {

Status Status::notFound(QString reason, int32_t code) {
    return {Kind::NotFound, code, 0, std::move(reason)};
}

Status Status::corruption(QString reason, int32_t code) {
    return {Kind::Corruption, code, 0, std::move(reason)};
}

Status Status::ioError(int sysError, const QString& doing, int32_t code) {
    QString words = sysError != 0 ? QString::fromLocal8Bit(std::strerror(sysError))
                                  : QStringLiteral("I/O failure");
    if (!doing.isEmpty()) words += QLatin1Char(' ') + doing;
    return {Kind::IoError, code, sysError, std::move(words)};
}

Status Status::notSupported(QString reason, int32_t code) {
    return {Kind::NotSupported, code, 0, std::move(reason)};
}

Status Status::invalidArgument(QString reason, int32_t code) {
    return {Kind::InvalidArgument, code, 0, std::move(reason)};
}

Status Status::busy(QString reason, int32_t code) {
    return {Kind::Busy, code, 0, std::move(reason)};
}

Status Status::noSpace(QString reason, int32_t code) {
    return {Kind::NoSpace, code, 0, std::move(reason)};
}

Status Status::fromCode(int32_t code) {
    switch (code) {
        case ErrorNone:
            return ok();
        case ErrorHostOpen:
        case ErrorTempVolume:
            return {Kind::IoError, code, 0, describe(code)};
        case ErrorVersion:
        case ErrorBlockSize:
            return notSupported(describe(code), code);
        case ErrorState:
            return busy(describe(code), code);
        case ErrorNoSpace:
            return noSpace(describe(code), code);
        case ErrorArgument:
            return invalidArgument(describe(code), code);
        case ErrorNotFound:
            return notFound(describe(code), code);
        default:
            return {Kind::IoError, code, 0, describe(code)};
    }
}

Status Status::withContext(const QString& before, const QString& after) const {
    if (isOk()) return *this;
    Status s = *this;
    s.m_reason = before + m_reason + after;
    return s;
}

Status Status::withCode(int32_t code) const {
    Status s = *this;
    s.m_code = code;
    return s;
}

QString Status::describe(int32_t code) {
    switch (code) {
        case ErrorNone:
            return QStringLiteral("no error");
        case ErrorHostOpen:
            return QStringLiteral("the file cannot be opened");
        case ErrorVersion:
            return QStringLiteral("the file was written by a newer version of the program");
        case ErrorBlockSize:
            return QStringLiteral("the file has an unsupported block size");
        case ErrorState:
            return QStringLiteral("the operation is not possible in the container's current state");
        case ErrorNoSpace:
            return QStringLiteral("there is no room left for the container");
        case ErrorArgument:
            return QStringLiteral("an invalid request was made to the container");
        case ErrorNotFound:
            return QStringLiteral("a stored file was not found");
        case ErrorIo:
            return QStringLiteral("the container cannot be read or written");
        case ErrorTempVolume:
            return QStringLiteral("a temporary container cannot be created");
        default:
            return QStringLiteral("unknown container error %1").arg(code);
    }
}

QString grouped(int64_t n) { return QLocale(QLocale::English).toString(static_cast<qlonglong>(n)); }

}  // namespace efs
