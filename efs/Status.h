// The outcome of an operation with its reason, carried from the layer that met a failure up
// to the person who asked: what kind of failure it was, the volume's error code for it
// (lastError, which stays the engine's public result), the system's errno where there was
// one, and the reason in words ("block 517 of the file table fails its checks").
//
// A Status is a small value: copy it, return it, keep it. The default one is a success.
#pragma once

#include <QString>
#include <cstdint>

#include "efs/EfsCodes.h"

namespace efs {

class Status final {
  public:
    enum class Kind : uint8_t {
        Ok,
        NotFound,         // a missing file, stored file or handle
        Corruption,       // the bytes are not what a container holds: damage, another file
        IoError,          // the system refused a read, write, resize, sync, open or rename
        NotSupported,     // a newer format, another block size, a file of another kind
        InvalidArgument,  // a request out of its range
        Busy,             // not possible in the current state (open twice, a file in use)
        NoSpace,          // no room for the blocks asked for
    };

    Status() = default;

    static Status ok() { return {}; }
    // code is the volume error code the failure stands for.
    static Status notFound(QString reason, int32_t code = ErrorNotFound);
    static Status corruption(QString reason, int32_t code = ErrorIo);
    // The system's words for sysError (strerror), then what was being done:
    // ioError(EIO, "while reading block 12") reads "Input/output error while reading block 12".
    // A sysError of 0 (a host file that gave no errno) reads "I/O failure while ...".
    static Status ioError(int sysError, const QString& doing, int32_t code = ErrorIo);
    static Status notSupported(QString reason, int32_t code);
    static Status invalidArgument(QString reason, int32_t code = ErrorArgument);
    static Status busy(QString reason, int32_t code = ErrorState);
    static Status noSpace(QString reason, int32_t code = ErrorNoSpace);
    // A volume error code with the general words for it (describe), for a failure whose
    // layer left no reason of its own.
    static Status fromCode(int32_t code);

    bool isOk() const { return m_kind == Kind::Ok; }
    explicit operator bool() const { return isOk(); }
    bool isNotFound() const { return m_kind == Kind::NotFound; }
    Kind kind() const { return m_kind; }
    // The volume error code; ErrorNone for a success.
    int32_t code() const { return m_code; }
    // The errno behind the failure; 0 when the system gave none.
    int sysError() const { return m_sysError; }
    // The reason in words, to be shown inside a sentence (no capital, no full stop);
    // empty for a success.
    const QString& reason() const { return m_reason; }
    // The same failure with its reason put after context: "Cannot open x: " + reason + ".".
    // A success stays a success.
    Status withContext(const QString& before, const QString& after = QString()) const;
    // The same failure standing for another volume error code.
    Status withCode(int32_t code) const;

    // The general words for a volume error code.
    static QString describe(int32_t code);

  private:
    Status(Kind kind, int32_t code, int sysError, QString reason)
        : m_kind(kind), m_code(code), m_sysError(sysError), m_reason(std::move(reason)) {}

    Kind m_kind = Kind::Ok;
    int32_t m_code = ErrorNone;
    int m_sysError = 0;
    QString m_reason;
};

// n with thousands grouped as in English ("8,396,800"), for the reasons above.
QString grouped(int64_t n);

}  // namespace efs
