#include "netcheck/TUKNetWorkCheckWorker_p.h"

#include "core/TUKLogging_p.h"
#include "platform/TUKConnectivity_p.h"
#include "platform/TUKFaultGuard_p.h"

#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QTime>
#include <QTimer>

#include <atomic>

namespace {

// The eight endpoints, in their fixed order.
const char* const kDefaultEndpoints[] = {"http://www.microsoft.com", "http://www.apple.com",
                                         "http://www.amazon.com",    "http://www.bing.com",
                                         "http://www.wikipedia.org", "http://www.cloudflare.com",
                                         "http://www.mozilla.org",   "http://www.yahoo.com"};

std::atomic<quint32> g_pickSeed{1};

// The backend the test seam installed. Built on first use: the monitor, and with it this code, can
// run from another translation unit's static initialisation before this one's.
struct ProbeOverrides
{
    QMutex mutex;
    tuk::netcheck::BackendFactory backendFactory;
};

ProbeOverrides& probeOverrides()
{
    static ProbeOverrides overrides;
    return overrides;
}

} // namespace

QList<ProbeTarget> defaultTargets()
{
    g_pickSeed = static_cast<quint32>(QTime::currentTime().msec());

    QList<ProbeTarget> targets;
    const QStringList urls =
        tuk::netcheck::probeEndpoints(qgetenv(tuk::netcheck::kEndpointsVariable));
    for (const QString& url : urls) {
        ProbeTarget target;
        target.url = url;
        targets.append(target);
    }
    return targets;
}

namespace tuk {
namespace netcheck {

QStringList probeEndpoints(const QByteArray& setting)
{
    QStringList urls;
    for (const QByteArray& entry : setting.split(',')) {
        const QString url = QString::fromUtf8(entry).trimmed();
        if (!url.isEmpty())
            urls << url;
    }
    if (urls.isEmpty()) {
        for (const char* url : kDefaultEndpoints)
            urls << QString::fromLatin1(url);
    }
    return urls;
}

void setProbeBackendFactory(BackendFactory factory)
{
    ProbeOverrides& o = probeOverrides();
    QMutexLocker lock(&o.mutex);
    o.backendFactory = std::move(factory);
}

std::unique_ptr<tuk::platform::ConnectivityBackend> createProbeBackend()
{
    BackendFactory factory;
    {
        ProbeOverrides& o = probeOverrides();
        QMutexLocker lock(&o.mutex);
        factory = o.backendFactory;
    }
    if (factory)
        return factory();
    return tuk::platform::createConnectivityBackend();
}

} // namespace netcheck
} // namespace tuk

TUKNetWorkCheckWorker::TUKNetWorkCheckWorker(
    QList<ProbeTarget>* targets, QObject* receiver,
    std::unique_ptr<tuk::platform::ConnectivityBackend> backend, tuk::netcheck::RandomSource random)
    : QObject(nullptr), m_pTimer(nullptr), m_bConnect(true), m_pReceiver(receiver),
      m_pTargets(targets), m_backend(std::move(backend)), m_random(std::move(random))
{
    m_pTimer = new QTimer(this);
    m_pTimer->setInterval(tuk::netcheck::kProbeIntervalMs);
    m_pTimer->start();
    connect(m_pTimer, &QTimer::timeout, this, &TUKNetWorkCheckWorker::slotTimeout);

    // The platform backend is made here, on the probe thread, which it belongs to.
    if (!m_backend)
        m_backend = tuk::netcheck::createProbeBackend();
    if (!m_random) {
        // Held by value: std::make_shared would pin the library in memory (its unique symbol
        // makes dlclose() keep the library loaded).
        QRandomGenerator generator(g_pickSeed.load());
        m_random = [generator]() mutable {
            return static_cast<int>(generator.generate() & 0x7fffffffu);
        };
    }

    // The first probe runs now, not at the first tick.
    slotTimeout();
}

TUKNetWorkCheckWorker::~TUKNetWorkCheckWorker() = default;

void TUKNetWorkCheckWorker::slotTimeout()
{
    m_pTimer->stop();
    const bool verdict = checkNetwork();
    m_pTimer->start();

    if (verdict != m_bConnect) {
        m_bConnect = verdict;
        qCDebug(tuk::log::netcheck) << "verdict changed:" << (verdict ? "on line" : "off line");
        QMetaObject::invokeMethod(m_pReceiver, "setNetWorkStatus", Qt::AutoConnection,
                                  Q_ARG(bool, m_bConnect));
    }
}

bool TUKNetWorkCheckWorker::checkNetwork()
{
    if (!m_backend->anyConnectionUp())
        return false;

    const QString first = pickTarget(QString());
    if (checkTarget(first)) {
        for (ProbeTarget& target : *m_pTargets) {
            if (target.url == first)
                target.failCount = 0;
        }
        return true;
    }

    const QString second = pickTarget(first);
    if (!checkTarget(second))
        return false; // both failed: the machine is off line, not the endpoints at fault

    for (int i = 0; i < m_pTargets->size();) {
        ProbeTarget& target = (*m_pTargets)[i];
        if (target.url == first && ++target.failCount > tuk::netcheck::kMaxFailCount) {
            qCDebug(tuk::log::netcheck) << "endpoint dropped after repeated failures:" << first;
            m_pTargets->removeAt(i);
        } else
            ++i;
    }
    for (ProbeTarget& target : *m_pTargets) {
        if (target.url == second)
            target.failCount = 0;
    }
    return true;
}

bool TUKNetWorkCheckWorker::checkTarget(const QString& url)
{
    // Whatever goes wrong inside a check counts as an answer: on line.
    bool answer = true;
    const std::string target = url.toStdString();
    auto check = [&] {
        answer = m_backend->checkEndpoint(target);
    };
    return tuk::platform::runProbeGuarded(check).completed() ? answer : true;
}

QString TUKNetWorkCheckWorker::pickTarget(const QString& exclude)
{
    const int n = m_pTargets->size();
    if (n == 0)
        return QString();
    int i = m_random() % n;
    if ((*m_pTargets)[i].url == exclude)
        i = i == 0 ? n - 1 : i - 1;
    ProbeTarget& target = (*m_pTargets)[i];
    ++target.pickCount;
    return target.url;
}

#include "moc_TUKNetWorkCheckWorker_p.cpp"
