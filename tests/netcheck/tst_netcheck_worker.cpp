// The probe logic of TUKNetWorkCheckWorker, driven through its internal seam: a scripted platform
// backend and scripted random draws, no network at all.

#include "netcheck/TUKNetWorkCheckWorker_p.h"

#include <QHostAddress>
#include <QUrl>
#include <QtTest>

#include <stdexcept>

namespace {

// The platform backend, scripted.
struct Script : tuk::platform::ConnectivityBackend
{
    bool gate = true;
    int gateCalls = 0;
    QHash<QString, QList<bool>> answers; // per URL, consumed in order; the last one repeats
    QStringList checked;
    bool throwOnCheck = false;

    bool anyConnectionUp() override
    {
        ++gateCalls;
        return gate;
    }
    bool checkEndpoint(const std::string& url) override
    {
        checked << QString::fromStdString(url);
        if (throwOnCheck)
            throw std::runtime_error("backend failure");
        QList<bool>& list = answers[checked.last()];
        if (list.isEmpty())
            return false;
        return list.size() == 1 ? list.first() : list.takeFirst();
    }
};

class VerdictRecorder : public QObject
{
    Q_OBJECT
public:
    QList<bool> calls;
    Q_INVOKABLE void setNetWorkStatus(bool bConnect) { calls << bConnect; }
};

QList<ProbeTarget> makeTargets(int n)
{
    QList<ProbeTarget> targets;
    for (int i = 0; i < n; ++i) {
        ProbeTarget t;
        t.url = QStringLiteral("http://site%1.test").arg(i);
        targets << t;
    }
    return targets;
}

// A worker whose construction-time probe is neutral: the gate is closed for it, so no entry is
// picked and the only effect is the first verdict, false.
struct Rig
{
    Script* script = new Script; // owned by the worker
    QList<ProbeTarget> targets = makeTargets(8);
    QVector<int> draws;
    bool drawsExhausted = false;
    VerdictRecorder recorder;
    std::unique_ptr<TUKNetWorkCheckWorker> worker;

    Rig()
    {
        script->gate = false;
        worker = std::make_unique<TUKNetWorkCheckWorker>(&targets, &recorder,
                                                         std::unique_ptr<Script>(script), [this] {
                                                             if (draws.isEmpty()) {
                                                                 drawsExhausted = true;
                                                                 return 0;
                                                             }
                                                             return draws.takeFirst();
                                                         });
        script->gate = true;
        script->gateCalls = 0;
    }
    QVector<int> counts(int ProbeTarget::*field) const
    {
        QVector<int> out;
        for (const ProbeTarget& t : targets)
            out << t.*field;
        return out;
    }
    QString url(int i) const { return targets.at(i).url; }
};

} // namespace

class TestNetcheckWorker : public QObject
{
    Q_OBJECT

private slots:
    void endpointList();
    void onLineFirstVerdictIsNotSent();
    void closedGateJudgesOfflineWithoutPicking();
    void probePicks_data();
    void probePicks();
    void lastEntryStays();
    void onlyChangesAreReported();
    void exceptionsInACheckAnswerTrue();
};

void TestNetcheckWorker::endpointList()
{
    using tuk::netcheck::probeEndpoints;
    // Unset or naming nothing: eight distinct public home pages over plain http.
    for (const QByteArray& setting : {QByteArray(), QByteArray(" , ")}) {
        const QStringList urls = probeEndpoints(setting);
        QCOMPARE(urls.size(), 8);
        QCOMPARE(QSet<QString>(urls.begin(), urls.end()).size(), 8);
        for (const QString& text : urls) {
            const QUrl url(text);
            QVERIFY2(url.scheme() == "http" && url.port() == -1 && url.path().isEmpty() &&
                         !QHostAddress(url.host()).isLoopback(),
                     qPrintable(text));
        }
    }
    QCOMPARE(probeEndpoints(" http://a:1 ,,http://[::1]:9"),
             QStringList({"http://a:1", "http://[::1]:9"}));

    // Our test runs name loopback endpoints only, and new probe threads take them.
    const QList<ProbeTarget> targets = defaultTargets();
    QVERIFY(!targets.isEmpty());
    for (const ProbeTarget& t : targets) {
        QVERIFY2(QHostAddress(QUrl(t.url).host()).isLoopback(), qPrintable(t.url));
        QCOMPARE(t.failCount + t.pickCount, 0);
    }
}

void TestNetcheckWorker::onLineFirstVerdictIsNotSent()
{
    // The off-line first verdict is sent by the constructor (checked through every Rig); an
    // on-line one equals the initial state and is not.
    QList<ProbeTarget> targets = makeTargets(3);
    auto online = std::make_unique<Script>();
    online->answers[targets.at(0).url] = {true};
    Script* script = online.get();
    VerdictRecorder quiet;
    TUKNetWorkCheckWorker worker(&targets, &quiet, std::move(online), [] { return 0; });
    QVERIFY(quiet.calls.isEmpty());
    QCOMPARE(script->checked, QStringList{targets.at(0).url});
}

void TestNetcheckWorker::closedGateJudgesOfflineWithoutPicking()
{
    Rig rig;
    // No event loop has run: the verdict came from the constructor's own probe.
    QCOMPARE(rig.recorder.calls, QList<bool>{false});
    rig.script->gate = false;
    rig.targets[2].failCount = 4;
    QCOMPARE(rig.worker->checkNetwork(), false);
    QCOMPARE(rig.script->gateCalls, 1);
    QVERIFY(rig.script->checked.isEmpty());
    QCOMPARE(rig.counts(&ProbeTarget::pickCount), (QVector<int>{0, 0, 0, 0, 0, 0, 0, 0}));
    QCOMPARE(rig.counts(&ProbeTarget::failCount), (QVector<int>{0, 0, 4, 0, 0, 0, 0, 0}));
}

void TestNetcheckWorker::probePicks_data()
{
    // Entries picked are the ones checked; counts not given are 0.
    QTest::addColumn<QVector<int>>("draws");
    QTest::addColumn<QVector<int>>("failsBefore");
    QTest::addColumn<int>("answering"); // the one entry that answers, if any
    QTest::addColumn<bool>("verdict");
    QTest::addColumn<QVector<int>>("checked");
    QTest::addColumn<QVector<int>>("failsAfter"); // of the entries left
    QTest::addColumn<int>("removed");             // the entry that left the list, if any
    using L = QVector<int>;
    // The draw is taken modulo the list size; an answer resets the count.
    QTest::newRow("first pick answers")
        << L{8 * 7 + 3} << L{0, 0, 0, 5} << 3 << true << L{3} << L{} << -1;
    QTest::newRow("second pick answers")
        << L{2, 5} << L{0, 0, 3, 0, 0, 7} << 5 << true << L{2, 5} << L{0, 0, 4} << -1;
    // Both failing means the machine is off line: no endpoint is blamed (nor removed at 20).
    QTest::newRow("both picks fail")
        << L{1, 4} << L{0, 20, 0, 0, 2} << -1 << false << L{1, 4} << L{0, 20, 0, 0, 2} << -1;
    // A second draw landing on the first pick steps back one entry, wrapping at 0.
    QTest::newRow("index 0 wraps to the last entry")
        << L{0, 0} << L{} << 7 << true << L{0, 7} << L{1} << -1;
    QTest::newRow("index 1 takes index 0")
        << L{1, 1} << L{} << 0 << true << L{1, 0} << L{0, 1} << -1;
    QTest::newRow("index 5 takes index 4")
        << L{5, 5} << L{} << 4 << true << L{5, 4} << L{0, 0, 0, 0, 0, 1} << -1;
    // An entry leaves after its 21st counted failure, the others keep their order.
    QTest::newRow("twentieth counted failure") << L{2, 0} << L{0, 0, 19, 0, 0, 0, 20} << 0 << true
                                               << L{2, 0} << L{0, 0, 20, 0, 0, 0, 20} << -1;
    QTest::newRow("twenty-first counted failure")
        << L{6, 0} << L{0, 0, 19, 0, 0, 0, 20} << 0 << true << L{6, 0} << L{0, 0, 19} << 6;
}

void TestNetcheckWorker::probePicks()
{
    QFETCH(QVector<int>, draws);
    QFETCH(QVector<int>, failsBefore);
    QFETCH(int, answering);
    QFETCH(bool, verdict);
    QFETCH(QVector<int>, checked);
    QFETCH(QVector<int>, failsAfter);
    QFETCH(int, removed);
    Rig rig;
    for (int i = 0; i < failsBefore.size(); ++i)
        rig.targets[i].failCount = failsBefore.at(i);
    if (answering >= 0)
        rig.script->answers[rig.url(answering)] = {true};
    rig.draws = draws;
    QStringList urls, expectedUrls;
    QVector<int> picks(8, 0);
    for (int i : checked) {
        urls << rig.url(i);
        ++picks[i];
    }
    for (int i = 0; i < 8; ++i)
        expectedUrls << rig.url(i);
    if (removed >= 0) {
        picks.remove(removed);
        expectedUrls.removeAt(removed);
    }
    failsAfter.resize(picks.size());

    QCOMPARE(rig.worker->checkNetwork(), verdict);
    QCOMPARE(rig.script->checked, urls);
    QStringList left;
    for (const ProbeTarget& t : qAsConst(rig.targets))
        left << t.url;
    QCOMPARE(left, expectedUrls);
    QCOMPARE(rig.counts(&ProbeTarget::pickCount), picks);
    QCOMPARE(rig.counts(&ProbeTarget::failCount), failsAfter);
    QVERIFY(!rig.drawsExhausted);
}

void TestNetcheckWorker::lastEntryStays()
{
    Rig rig;
    rig.targets = makeTargets(2);
    const QString b = rig.targets[1].url;
    rig.targets[0].failCount = 20;
    rig.script->answers[rig.url(0)] = {false};
    // b answers as the second pick, then alone: fails and answers twice, then fails twice.
    rig.script->answers[b] = {true, false, true, false, true, false, false};

    // a fails for the 21st time while b answers: a goes, b is the last entry.
    rig.draws = {0, 0};
    QCOMPARE(rig.worker->checkNetwork(), true);
    QCOMPARE(rig.targets.size(), 1);
    QCOMPARE(rig.targets[0].url, b);

    // Alone, b is both picks: it fails, answers, and its count goes back to 0 every time; then
    // it fails twice in one probe: off line, nothing counted, still there.
    for (const bool verdict : {true, true, false}) {
        rig.draws = {5, 9};
        QCOMPARE(rig.worker->checkNetwork(), verdict);
        QCOMPARE(rig.targets.size(), 1);
        QCOMPARE(rig.targets[0].failCount, 0);
    }
    QCOMPARE(rig.targets[0].pickCount, 1 + 6);
}

void TestNetcheckWorker::onlyChangesAreReported()
{
    Rig rig; // reported false at construction
    auto tick = [&](bool gate, int times) {
        rig.script->gate = gate;
        for (int i = 0; i < times; ++i)
            QVERIFY(
                QMetaObject::invokeMethod(rig.worker.get(), "slotTimeout", Qt::DirectConnection));
    };
    rig.script->answers[rig.url(0)] = {true};
    tick(false, 2);
    QCOMPARE(rig.recorder.calls, QList<bool>{false});
    tick(true, 2);
    QCOMPARE(rig.recorder.calls, (QList<bool>{false, true}));
    tick(false, 1);
    QCOMPARE(rig.recorder.calls, (QList<bool>{false, true, false}));
}

void TestNetcheckWorker::exceptionsInACheckAnswerTrue()
{
    Rig rig;
    rig.script->throwOnCheck = true;
    QCOMPARE(rig.worker->checkTarget(rig.url(0)), true);
    rig.script->throwOnCheck = false;
    // The worker stays usable, and a plain failure is still a failure.
    QCOMPARE(rig.worker->checkTarget(rig.url(2)), false);
    QCOMPARE(rig.script->checked, (QStringList{rig.url(0), rig.url(2)}));
}

QTEST_GUILESS_MAIN(TestNetcheckWorker)
#include "tst_netcheck_worker.moc"
