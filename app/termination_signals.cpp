#include "app/termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// Shared with the handler, which may run on any thread: plain lock-free atomics only.
std::atomic<int> g_writeFd{-1};
std::atomic<bool> g_handled[kSignalCount];
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Owned by the one installed object; read by it only.
bool g_objectExists = false;
struct sigaction g_previous[kSignalCount];

extern "C" void onTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    // From now on each of the signals ends the process by its default action.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
        if (g_handled[i].load(std::memory_order_relaxed))
            sigaction(kSignals[i], &fallback, nullptr);
    }
    const int fd = g_writeFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        // The pipe never blocks; a full one already holds a number to act on.
        (void)!::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (g_objectExists) return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    g_objectExists = true;
    m_installed = true;
    m_readFd = fds[0];
    m_writeFd = fds[1];
    g_writeFd.store(m_writeFd);
    m_notifier = new QSocketNotifier(static_cast<qintptr>(m_readFd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);

    struct sigaction action {};
    action.sa_handler = &onTerminationSignal;
    // While the handler runs the others wait, so that the second of two signals always
    // finds the default action in place.
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kSignals) sigaddset(&action.sa_mask, signalNumber);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kSignalCount; ++i) {
        g_handled[i].store(false);
        if (sigaction(kSignals[i], nullptr, &g_previous[i]) != 0) continue;
        if (g_previous[i].sa_handler == SIG_IGN) continue;
        g_handled[i].store(true);
        if (sigaction(kSignals[i], &action, nullptr) != 0) g_handled[i].store(false);
    }
}

TerminationSignals::~TerminationSignals() {
    if (!m_installed) return;
    for (int i = 0; i < kSignalCount; ++i) {
        if (!g_handled[i].exchange(false)) continue;
        sigaction(kSignals[i], &g_previous[i], nullptr);
    }
    g_writeFd.store(-1);
    delete m_notifier;
    ::close(m_readFd);
    ::close(m_writeFd);
    g_objectExists = false;
}

void TerminationSignals::readPipe() {
    const bool first = m_received == 0;
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(m_readFd, bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0 && m_received == 0) m_received = bytes[0];
    }
    if (first && m_received != 0) emit arrived(m_received);
}
