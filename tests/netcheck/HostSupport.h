#ifndef TUKTEST_NETCHECK_HOSTSUPPORT_H
#define TUKTEST_NETCHECK_HOSTSUPPORT_H

// Shared by the host programs of the start-up and exit soak. Each host is a small application
// that loads the library in its own way. With --expect-break it waits for the monitor's first
// verdict, which must be "off line" in the test setups (loopback endpoints where nothing listens,
// or a NetworkManager stand-in that says so), and fails with exit status 3 when it has not
// arrived within 4.5 s of the application object's construction: less than the five-second
// probe period, so a first verdict that waited for the timer, or got lost, is caught.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace tukhost {

constexpr int kFirstVerdictBoundMs = 4500;

inline bool hasFlag(int argc, char** argv, const char* flag)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0)
            return true;
    }
    return false;
}

// Runs the event loop until \a monitor reports a break (when \a expectBreak) or for a short
// while otherwise. \a sinceApp was started right after the application object was built.
inline int runMonitorLoop(QObject* monitor, bool expectBreak, const QElapsedTimer& sinceApp)
{
    QEventLoop loop;
    if (expectBreak) {
        QObject::connect(monitor, SIGNAL(sigNetWorkBreak()), &loop, SLOT(quit()));
        const qint64 left = kFirstVerdictBoundMs - sinceApp.elapsed();
        QTimer::singleShot(left > 0 ? int(left) : 0, &loop, [&loop] { loop.exit(3); });
    } else {
        QTimer::singleShot(50, &loop, SLOT(quit()));
    }
    const int rc = loop.exec();
    if (rc != 0)
        std::fprintf(stderr, "no off-line verdict within %d ms of the application's start\n",
                     kFirstVerdictBoundMs);
    return rc;
}

} // namespace tukhost

#endif // TUKTEST_NETCHECK_HOSTSUPPORT_H
