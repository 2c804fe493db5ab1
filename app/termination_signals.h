#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP delivered as a Qt signal on the thread that built this object,
// through its event loop, so that the program can end in order (stop the sound, save what
// is unsaved, close audio, destroy the window) when a session logs out, `kill` or
// `timeout` asks, or Ctrl+C is pressed in the terminal.
//
// The handler does only what is safe in a signal handler: it writes the signal's number
// into a pipe whose other end this object watches, and puts the default action back for
// all three signals, so that a second one ends the process at once, even while the first
// is still being handled. A signal that was ignored when the object was built (nohup) stays
// ignored.
//
// One object at a time per process: a second one built while the first lives installs
// nothing (isInstalled() is false). The destructor restores the dispositions the
// constructor found.
class TerminationSignals final : public QObject {
    Q_OBJECT

  public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    bool isInstalled() const { return m_installed; }
    // The first signal received, 0 while none has been.
    int received() const { return m_received; }

  signals:
    // Emitted once, for the first signal received, from the event loop.
    void arrived(int signalNumber);

  private:
    void readPipe();

    bool m_installed = false;
    int m_received = 0;
    int m_readFd = -1;
    int m_writeFd = -1;
    QSocketNotifier* m_notifier = nullptr;
};
