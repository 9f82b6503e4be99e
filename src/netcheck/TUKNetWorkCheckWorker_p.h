#ifndef TUKCLOUDUTILS_TUKNETWORKCHECKWORKER_P_H
#define TUKCLOUDUTILS_TUKNETWORKCHECKWORKER_P_H

#include "platform/TUKConnectivity_p.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QTimer;

// One entry of the probe's endpoint list.
struct ProbeTarget
{
    QString url;
    int failCount = 0; // failures counted since the last success
    int pickCount = 0; // times the entry was picked
};

// The endpoint list of a new probe thread (see probeEndpoints()), both counters 0. Also seeds the
// endpoint picks of workers created afterwards from the clock's current millisecond.
QList<ProbeTarget> defaultTargets();

namespace tuk {
namespace netcheck {

// Probe period and the count of failures after which an endpoint leaves the list.
constexpr int kProbeIntervalMs = 5000;
constexpr int kMaxFailCount = 20;

using BackendFactory = std::function<std::unique_ptr<tuk::platform::ConnectivityBackend>()>;
using RandomSource = std::function<int()>; // non-negative numbers

// The environment variable that replaces the probe's endpoints, for networks where the public
// endpoints cannot or must not be reached (air-gapped and corporate networks, test machines).
constexpr char kEndpointsVariable[] = "TUK_NETCHECK_ENDPOINTS";

// The endpoint URLs for the value of that variable: its comma-separated entries, blanks around
// each removed and empty ones skipped, used as written; the eight public home pages when it names
// none (unset or empty).
QStringList probeEndpoints(const QByteArray& setting);

// Test seam (internal, not exported): probe threads created after this call use \a factory for
// their platform backend; an empty factory restores the platform's own.
void setProbeBackendFactory(BackendFactory factory);

// The backend a worker gets when none is handed to it.
std::unique_ptr<tuk::platform::ConnectivityBackend> createProbeBackend();

} // namespace netcheck
} // namespace tuk

// Runs the probes on the probe thread: one at construction, then one every five seconds, and
// sends every change of its verdict to the receiver by a queued call of setNetWorkStatus(bool).
class TUKNetWorkCheckWorker : public QObject
{
    Q_OBJECT

public:
    // \a backend null: the platform's backend (or the one the test seam installed). \a random
    // empty: the pseudo-random picks seeded by defaultTargets().
    TUKNetWorkCheckWorker(QList<ProbeTarget>* targets, QObject* receiver,
                          std::unique_ptr<tuk::platform::ConnectivityBackend> backend = nullptr,
                          tuk::netcheck::RandomSource random = tuk::netcheck::RandomSource());
    ~TUKNetWorkCheckWorker() override;

    // One complete probe; returns the verdict.
    bool checkNetwork();
    // One guarded check of one endpoint: an exception inside it answers true.
    bool checkTarget(const QString& url);
    // Picks an entry at random, stepping back one place when it holds \a exclude; counts the pick
    // and returns the entry's URL.
    QString pickTarget(const QString& exclude);

private slots:
    void slotTimeout();

private:
    QTimer* m_pTimer;
    bool m_bConnect;
    QObject* m_pReceiver;
    QList<ProbeTarget>* m_pTargets;
    std::unique_ptr<tuk::platform::ConnectivityBackend> m_backend;
    tuk::netcheck::RandomSource m_random;
};

#endif // TUKCLOUDUTILS_TUKNETWORKCHECKWORKER_P_H
