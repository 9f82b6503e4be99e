#ifndef TUKCLOUDUTILS_TUKNETWORKCHECK_H
#define TUKCLOUDUTILS_TUKNETWORKCHECK_H

#include <TUKCloudUtils/tukcloudutils_export.h>

#include <QMutex>
#include <QObject>

class TUKNetWorkChekThread;

/*!
 * \class TUKNetWorkCheck
 * \brief Process-wide network connectivity monitor.
 *
 * The library creates the one monitor while it is being loaded; getInstance() returns it. A
 * background probe thread judges connectivity once at start and then every five seconds (each
 * probe starts five seconds after the previous one ended) and hands every change of its verdict
 * to the monitor, which keeps the last verdict and turns each real change into one signal:
 *
 * \code
 * TUKNetWorkCheck* net = TUKNetWorkCheck::getInstance();
 * QObject::connect(net, &TUKNetWorkCheck::sigNetWorkBreak, [] { showOffline(); });
 * QObject::connect(net, &TUKNetWorkCheck::sigNetWorkConnect, [] { showOnline(); });
 * if (!net->isConnect()) showOffline();
 * \endcode
 *
 * The verdict starts as connected. No signal is ever emitted for that initial state: when the
 * machine is off line at start, the first probe's verdict arrives a moment after the host's
 * event loop runs and produces one sigNetWorkBreak().
 *
 * Threads: the monitor belongs to the thread that made the first getInstance() call (normally the
 * thread that loaded the library). Verdicts reach it as queued calls, so that thread must run a
 * Qt event loop; the signals are emitted there, after the monitor has stored the new verdict and
 * released its lock, so a directly connected slot may call isConnect(). isConnect() may be called
 * from any thread.
 *
 * How a probe judges (Linux): the machine is off line when no network interface other than
 * loopback is up, running and addressed. Otherwise NetworkManager's connectivity state answers
 * when NetworkManager runs (full connectivity is on line; none, captive portal and limited are off
 * line); when it does not run, does not know, or cannot be asked, a TCP connection to one of a
 * fixed list of eight public web sites (port 80) is forced, and to a second one if the first
 * fails; name resolution and connect are bounded by one second together. A site that keeps
 * failing while another answers is dropped from the list after 21 such failures; the last site
 * is never dropped. No request is sent: the connection is closed once it is made.
 * Windows judges with WinINet and the Network List Manager instead.
 *
 * Decisions on points a user may wonder about (Linux):
 * - Start-up: the probe thread starts when the library is loaded but waits for the host's
 *   QCoreApplication (or QGuiApplication / QApplication) before its first probe, because a Qt
 *   event loop on another thread drops its events while no application object exists. The first
 *   probe runs as soon as the application object is constructed, so its verdict is delivered as
 *   soon as the host's event loop runs, without waiting for the five-second period. A host that
 *   never builds an application object gets no probes (and could not receive verdicts anyway).
 * - End: the probe thread is asked to stop when the application object is destroyed and, at the
 *   latest, when the library is unloaded; it finishes its current probe (about one second at
 *   most) and ends. Forced termination is used only if it has not ended ten seconds later. After
 *   the application object is gone, isConnect() keeps the last verdict and no signal follows; a
 *   later application object does not restart the probing.
 * - D-Bus: the system bus is the one named by DBUS_SYSTEM_BUS_ADDRESS when that variable is set,
 *   as for every D-Bus client; a machine without a system bus is handled silently.
 * - Endpoint picks are pseudo-random, seeded from the clock's millisecond when the list is built.
 * - The environment variable TUK_NETCHECK_ENDPOINTS, read when the library is loaded, replaces the
 *   eight public sites with its comma-separated URLs (blanks around an entry and empty entries are
 *   ignored; entries are used as written, http or https, with an optional port). Use it on
 *   air-gapped or corporate networks where the public sites cannot or must not be reached. Unset
 *   or naming nothing, the public sites are used.
 * - A check that fails with an exception counts as an answer (on line), as on Windows; hardware
 *   faults inside a check are not trapped, so loading the library installs no signal handlers.
 */
class TUKCLOUDUTILS_EXPORT TUKNetWorkCheck : public QObject
{
    Q_OBJECT

public:
    /*!
     * The monitor. Built by the first call (library start-up makes it) with thread-safe one-time
     * initialisation; never null, the same address every time, alive until the library is
     * unloaded.
     */
    static TUKNetWorkCheck* getInstance();

    /*! The last delivered verdict: true when connected (the initial value). Any thread. */
    bool isConnect();

signals:
    /*! The verdict changed from disconnected to connected. */
    void sigNetWorkConnect();
    /*! The verdict changed from connected to disconnected. */
    void sigNetWorkBreak();

private:
    explicit TUKNetWorkCheck(QObject* parent = nullptr);
    ~TUKNetWorkCheck() override;
    Q_DISABLE_COPY(TUKNetWorkCheck)

    // Takes a verdict of the probe worker, which calls it by name through the meta-object.
    // Stores it and, only when it differs from the stored one, emits the matching signal after
    // the lock is released.
    Q_INVOKABLE void setNetWorkStatus(bool bConnect);

    TUKNetWorkChekThread* m_pThread;
    bool m_bConnect;
    QMutex m_mutex;
};

#endif // TUKCLOUDUTILS_TUKNETWORKCHECK_H
