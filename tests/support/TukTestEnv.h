#ifndef TUKTEST_TUKTESTENV_H
#define TUKTEST_TUKTESTENV_H

#include <QByteArray>
#include <QProcess>
#include <QString>

// Helpers shared by the test fixtures: free loopback ports, readiness waits and child processes
// that die with the test program.
namespace tuktest {

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and released).
quint16 freeLoopbackPort();

// Waits until something accepts TCP connections on 127.0.0.1:port, up to timeoutMs.
bool waitForListening(quint16 port, int timeoutMs = 20000);

// Runs a program to completion; returns true when it exited with 0. Output goes to *output.
bool runProgram(const QString& program, const QStringList& args, QByteArray* output = nullptr,
                int timeoutMs = 60000);

// Bytes the allocator holds for the program on its main heap right now (malloc's own count).
qint64 heapInUse();

// A QProcess whose child gets SIGTERM when the test program dies, even by a crash.
class ChildProcess : public QProcess
{
public:
    explicit ChildProcess(QObject* parent = nullptr) : QProcess(parent) {}
    ~ChildProcess() override;
    void stop();

protected:
    void setupChildProcess() override;
};

} // namespace tuktest

#endif // TUKTEST_TUKTESTENV_H
