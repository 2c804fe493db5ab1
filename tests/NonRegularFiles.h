// Files that are not regular files, for the refusals of every path that opens a container:
// a FIFO, a socket and a character device. Opening the FIFO for reading waits for a writer
// that never comes; returnsAtOnce() turns such a hang into a failed check instead.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace nonregular {

struct Special {
    const char* kind;
    QString path;
};

// A FIFO and a listening socket made in folder (which must exist), and /dev/zero. The
// socket is closed and both are removed when the object goes.
class NonRegularFiles final {
  public:
    explicit NonRegularFiles(const QString& folder) : m_folder(folder) {
        const QString fifo = QDir(folder).filePath(QStringLiteral("fifo.vx"));
        const QString socket = QDir(folder).filePath(QStringLiteral("socket.vx"));
        QFile::remove(fifo);
        QFile::remove(socket);
        m_ok = ::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0;
        m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(socket);
        m_ok = m_ok && m_socket >= 0 && name.size() < qsizetype(sizeof address.sun_path);
        if (m_ok) {
            std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
            m_ok = ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                   ::listen(m_socket, 1) == 0;
        }
        m_files = {{"FIFO", fifo}, {"socket", socket}, {"device", QStringLiteral("/dev/zero")}};
    }
    ~NonRegularFiles() {
        if (m_socket >= 0) ::close(m_socket);
        QFile::remove(m_files[0].path);
        QFile::remove(m_files[1].path);
    }
    NonRegularFiles(const NonRegularFiles&) = delete;
    NonRegularFiles& operator=(const NonRegularFiles&) = delete;

    // False when the FIFO or the socket could not be made (a socket path too long, ...).
    bool ok() const { return m_ok; }
    const std::vector<Special>& all() const { return m_files; }

    // What the folder holds and the kind of each special file, to show nothing changed.
    QStringList state() const {
        QStringList out = QDir(m_folder).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const Special& s : m_files) {
            struct stat st {};
            out << QStringLiteral("%1:%2").arg(s.kind).arg(
                ::lstat(QFile::encodeName(s.path).constData(), &st) == 0 ? int(st.st_mode & S_IFMT)
                                                                         : -1);
        }
        return out;
    }

  private:
    QString m_folder;
    bool m_ok = false;
    int m_socket = -1;
    std::vector<Special> m_files;
};

// Runs body, which may open path. True when it returned within limit by itself. When it
// has not, path is opened for writing from another thread (again and again, until body
// returns), which releases an open that waits for a FIFO's writer; the result is false.
inline bool returnsAtOnce(const QString& path, const std::function<void()>& body,
                          std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    std::atomic<bool> done{false};
    std::atomic<bool> hung{false};
    std::thread watchdog([&] {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done) return;
        hung = true;
        const QByteArray name = QFile::encodeName(path);
        while (!done) {
            const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    body();
    done = true;
    watchdog.join();
    return !hung;
}

}  // namespace nonregular
