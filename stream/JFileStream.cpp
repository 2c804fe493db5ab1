#include "JFileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>

namespace {

// Largest count a single file read takes.
constexpr qint64 kMaxReadChunk = 0x7FFFFFFF;

bool isUsablePath(const QString& path) { return !path.isEmpty() && !QFileInfo(path).isDir(); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// JFileInputStream

JFileInputStream::JFileInputStream() = default;

JFileInputStream::JFileInputStream(const QString& path) { open(path); }

JFileInputStream::JFileInputStream(const QFile& file) {
    open(QFileInfo(file.fileName()).absoluteFilePath());
}

JFileInputStream::~JFileInputStream() { close(); }

bool JFileInputStream::open(const QString& path) {
    close();
    if (path.isEmpty()) return false;
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    int fd;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    m_handle = fd;
    return true;
}

bool JFileInputStream::seek(qint64 pos) {
    if (m_handle < 0 || pos < 0) return false;
    return ::lseek(m_handle, static_cast<off_t>(pos), SEEK_SET) == static_cast<off_t>(pos);
}

qint64 JFileInputStream::size() {
    struct stat st;
    if (m_handle < 0 || ::fstat(m_handle, &st) != 0) return -1;
    return static_cast<qint64>(st.st_size);
}

qint64 JFileInputStream::read(char* data, qint64 maxSize) {
    if (m_handle < 0 || maxSize < 0 || (data == nullptr && maxSize > 0)) return -1;
    const size_t count = static_cast<size_t>(std::min(maxSize, kMaxReadChunk));
    ssize_t got;
    do {
        got = ::read(m_handle, data, count);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : static_cast<qint64>(got);
}

QByteArray JFileInputStream::readLine() { return QByteArray(); }

qint64 JFileInputStream::readLine(char*, qint64) { return 0; }

bool JFileInputStream::atEnd() const {
    struct stat st;
    if (m_handle < 0 || ::fstat(m_handle, &st) != 0) return true;
    return pos() >= static_cast<qint64>(st.st_size);
}

qint64 JFileInputStream::pos() const {
    if (m_handle < 0) return -1;
    const off_t at = ::lseek(m_handle, 0, SEEK_CUR);
    return at < 0 ? -1 : static_cast<qint64>(at);
}

void JFileInputStream::reset() { seek(0); }

void JFileInputStream::close() {
    if (m_handle < 0) return;
    ::close(m_handle);
    m_handle = -1;
}

qint64 JFileInputStream::lastModified() const {
    struct stat st;
    if (m_handle < 0 || ::fstat(m_handle, &st) != 0) return 0;
    return static_cast<qint64>(st.st_mtime);
}

// ---------------------------------------------------------------------------------------------
// JFileOutputStream

JFileOutputStream::JFileOutputStream(const QString& path, QIODevice::OpenModeFlag mode) {
    open(path, mode);
}

JFileOutputStream::JFileOutputStream(const QFile& file, QIODevice::OpenModeFlag mode) {
    open(QFileInfo(file.fileName()).absoluteFilePath(), mode);
}

JFileOutputStream::~JFileOutputStream() = default;

bool JFileOutputStream::open(const QString& path, QIODevice::OpenModeFlag mode) {
    if (!isUsablePath(path)) return false;
    m_file.close();
    m_file.setFileName(path);
    return m_file.open(mode);
}

bool JFileOutputStream::seek(qint64 pos) { return m_file.isOpen() && pos >= 0 && m_file.seek(pos); }

qint64 JFileOutputStream::size() { return m_file.size(); }

qint64 JFileOutputStream::write(const char* data, qint64 size) {
    if (!m_file.isWritable() || size < 0 || (data == nullptr && size > 0)) return -1;
    return m_file.write(data, size);
}

qint64 JFileOutputStream::pos() const { return m_file.pos(); }

void JFileOutputStream::reset() { seek(0); }

void JFileOutputStream::close() { m_file.close(); }

void JFileOutputStream::flush() { m_file.flush(); }

void JFileOutputStream::resize(qint64 size) {
    if (m_file.isOpen() && size >= 0) m_file.resize(size);
}

// ---------------------------------------------------------------------------------------------
// JFileStream

JFileStream::JFileStream() = default;

JFileStream::JFileStream(const QString& path) { open(path); }

JFileStream::JFileStream(const QFile& file) { open(QFileInfo(file.fileName()).absoluteFilePath()); }

JFileStream::~JFileStream() {
    if (m_file.isOpen()) {
        m_file.flush();
        m_file.close();
    }
}

bool JFileStream::open(const QString& path) {
    if (!isUsablePath(path)) return false;
    m_file.close();
    m_file.setFileName(path);
    return m_file.open(QIODevice::ReadWrite);
}

bool JFileStream::seek(qint64 pos) { return m_file.isOpen() && pos >= 0 && m_file.seek(pos); }

qint64 JFileStream::size() { return m_file.size(); }

qint64 JFileStream::read(char* data, qint64 maxSize) {
    if (!m_file.isReadable() || maxSize < 0 || (data == nullptr && maxSize > 0)) return -1;
    if (maxSize == 0) return 0;
    const qint64 got = m_file.read(data, std::min(maxSize, kMaxReadChunk));
    return got == 0 ? -1 : got;
}

QByteArray JFileStream::readLine() {
    if (!m_file.isReadable()) return QByteArray();
    return m_file.readLine();
}

qint64 JFileStream::readLine(char* data, qint64 maxSize) {
    // The file needs room for at least one byte and the terminator.
    if (!m_file.isReadable() || data == nullptr || maxSize < 2) return -1;
    return m_file.readLine(data, maxSize);
}

bool JFileStream::atEnd() const { return m_file.atEnd(); }

qint64 JFileStream::pos() const { return m_file.pos(); }

void JFileStream::reset() { seek(0); }

void JFileStream::close() { m_file.close(); }

qint64 JFileStream::write(const char* data, qint64 size) {
    if (!m_file.isWritable() || size < 0 || (data == nullptr && size > 0)) return -1;
    return m_file.write(data, size);
}

void JFileStream::flush() { m_file.flush(); }

void JFileStream::resize(qint64 size) {
    if (m_file.isOpen() && size >= 0) m_file.resize(size);
}

// ---------------------------------------------------------------------------------------------
// JTempFileStream

JTempFileStream::JTempFileStream() {
    const QString directory = QDir::tempPath();
    // Claims a fresh name by creating the file exclusively, so that no other process can
    // take the same name between choosing and opening it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = directory + QStringLiteral("/JSTemp") +
                       QString::number(QRandomGenerator::system()->generate64(), 36);
        name.replace(QLatin1Char('\\'), QLatin1Char('_'));
        QFile claim(name);
        if (claim.open(QIODevice::ReadWrite | QIODevice::NewOnly)) {
            claim.close();
            open(name);
            return;
        }
    }
}

JTempFileStream::JTempFileStream(const QString& path) { open(path); }

JTempFileStream::~JTempFileStream() {
    if (m_file.isOpen()) m_file.flush();
    cleanUp();
}

bool JTempFileStream::open(const QString& path) {
    if (!isUsablePath(path)) return false;
    cleanUp();
    m_file.setFileName(path);
    return m_file.open(QIODevice::ReadWrite);
}

void JTempFileStream::setAutoDelete(bool autoDelete) { m_autoDelete = autoDelete; }

void JTempFileStream::cleanUp() {
    if (m_file.isOpen()) m_file.close();
    if (m_autoDelete && !m_file.fileName().isEmpty() && m_file.exists()) m_file.remove();
}

// ---------------------------------------------------------------------------------------------
// JUtils

JUtils& JUtils::operator=(const JUtils&) { return *this; }

qint64 JUtils::filetimeToUnixTime(int* fileTime) {
    if (fileTime == nullptr) return 0;
    // Intervals of 100 ns between 1601-01-01 and 1970-01-01.
    constexpr qint64 kEpochOffset = 116444736000000000LL;
    constexpr qint64 kPerSecond = 10000000;
    const quint64 raw = (static_cast<quint64>(static_cast<quint32>(fileTime[1])) << 32) |
                        static_cast<quint32>(fileTime[0]);
    // The raw value is unsigned; shifting the epoch before narrowing keeps the whole range.
    const qint64 since = static_cast<qint64>(raw - static_cast<quint64>(kEpochOffset));
    qint64 seconds = since / kPerSecond;
    if (since % kPerSecond < 0) --seconds;
    return seconds;
}
