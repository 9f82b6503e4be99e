// The probe logic of TUKNetWorkCheckWorker, driven through its internal seam: a scripted platform
// backend and scripted random draws, no network at all.

#include "netcheck/TUKNetWorkCheckWorker_p.h"

#include <QHostAddress>
#include <QUrl>
#include <QtTest>

#include <stdexcept>

namespace {

struct Script
{
    bool gate = true;
    int gateCalls = 0;
    QHash<QString, QList<bool>> answers; // per URL, consumed in order; the last one repeats
    QStringList checked;
    bool throwOnCheck = false;
};

class ScriptedBackend : public tuk::platform::ConnectivityBackend
{
public:
    explicit ScriptedBackend(Script* script) : m_script(script) {}

    bool anyConnectionUp() override
    {
        ++m_script->gateCalls;
        return m_script->gate;
    }

    bool checkEndpoint(const std::string& url) override
    {
        const QString key = QString::fromStdString(url);
        m_script->checked << key;
        if (m_script->throwOnCheck)
            throw std::runtime_error("backend failure");
        QList<bool>& list = m_script->answers[key];
        if (list.isEmpty())
            return false;
        return list.size() == 1 ? list.first() : list.takeFirst();
    }

private:
    Script* m_script;
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
    Script script;
    QList<ProbeTarget> targets = makeTargets(8);
    QList<int> draws;
    bool drawsExhausted = false;
    VerdictRecorder recorder;
    std::unique_ptr<TUKNetWorkCheckWorker> worker;

    Rig()
    {
        script.gate = false;
        worker = std::make_unique<TUKNetWorkCheckWorker>(
            &targets, &recorder, std::make_unique<ScriptedBackend>(&script), [this] {
                if (draws.isEmpty()) {
                    drawsExhausted = true;
                    return 0;
                }
                return draws.takeFirst();
            });
        script.gate = true;
        script.gateCalls = 0;
    }

    QList<int> pickCounts() const
    {
        QList<int> counts;
        for (const ProbeTarget& t : targets)
            counts << t.pickCount;
        return counts;
    }
    QList<int> failCounts() const
    {
        QList<int> counts;
        for (const ProbeTarget& t : targets)
            counts << t.failCount;
        return counts;
    }
    QString url(int i) const { return targets.at(i).url; }
};

} // namespace

class TestNetcheckWorker : public QObject
{
    Q_OBJECT

private slots:
    void defaultListStaysOnThisMachine();
    void firstVerdictIsSentAtConstruction();
    void closedGateJudgesOfflineWithoutPicking();
    void firstPickAnswers();
    void secondPickAnswers();
    void bothPicksFailing();
    void secondPickStepsBackFromTheFirst_data();
    void secondPickStepsBackFromTheFirst();
    void entryLeavesAfterItsTwentyFirstCountedFailure();
    void lastEntryStays();
    void onlyChangesAreReported();
    void exceptionsInACheckAnswerTrue();
};

void TestNetcheckWorker::defaultListStaysOnThisMachine()
{
    // Test builds must never probe the public endpoints.
    const QList<ProbeTarget> targets = defaultTargets();
    QCOMPARE(targets.size(), 8);
    QSet<QString> distinct;
    for (const ProbeTarget& t : targets) {
        const QUrl url(t.url);
        QVERIFY2(url.isValid(), qPrintable(t.url));
        QVERIFY2(QHostAddress(url.host()).isLoopback(), qPrintable(t.url));
        QCOMPARE(url.scheme(), QStringLiteral("http"));
        QCOMPARE(t.failCount, 0);
        QCOMPARE(t.pickCount, 0);
        distinct.insert(t.url);
    }
    QCOMPARE(distinct.size(), 8);
}

void TestNetcheckWorker::firstVerdictIsSentAtConstruction()
{
    Script script;
    script.gate = false;
    QList<ProbeTarget> targets = makeTargets(3);
    VerdictRecorder recorder;
    TUKNetWorkCheckWorker worker(&targets, &recorder, std::make_unique<ScriptedBackend>(&script),
                                 [] { return 0; });
    // No event loop has run: the verdict came from the constructor's own probe.
    QCOMPARE(recorder.calls, QList<bool>{false});

    // An on-line first verdict equals the initial state and is not sent.
    Script online;
    online.answers[targets.at(0).url] = {true};
    VerdictRecorder quiet;
    TUKNetWorkCheckWorker second(&targets, &quiet, std::make_unique<ScriptedBackend>(&online),
                                 [] { return 0; });
    QVERIFY(quiet.calls.isEmpty());
    QCOMPARE(online.checked, QStringList{targets.at(0).url});
}

void TestNetcheckWorker::closedGateJudgesOfflineWithoutPicking()
{
    Rig rig;
    QCOMPARE(rig.recorder.calls, QList<bool>{false});
    rig.script.gate = false;
    rig.targets[2].failCount = 4;
    QCOMPARE(rig.worker->checkNetwork(), false);
    QCOMPARE(rig.script.gateCalls, 1);
    QVERIFY(rig.script.checked.isEmpty());
    QCOMPARE(rig.pickCounts(), (QList<int>{0, 0, 0, 0, 0, 0, 0, 0}));
    QCOMPARE(rig.failCounts(), (QList<int>{0, 0, 4, 0, 0, 0, 0, 0}));
}

void TestNetcheckWorker::firstPickAnswers()
{
    Rig rig;
    rig.targets[3].failCount = 5;
    rig.script.answers[rig.url(3)] = {true};
    rig.draws = {8 * 7 + 3}; // the draw is taken modulo the list size
    QCOMPARE(rig.worker->checkNetwork(), true);
    QCOMPARE(rig.script.checked, QStringList{rig.url(3)});
    QCOMPARE(rig.pickCounts(), (QList<int>{0, 0, 0, 1, 0, 0, 0, 0}));
    QCOMPARE(rig.targets[3].failCount, 0);
    QVERIFY(!rig.drawsExhausted);
}

void TestNetcheckWorker::secondPickAnswers()
{
    Rig rig;
    rig.targets[2].failCount = 3;
    rig.targets[5].failCount = 7;
    rig.script.answers[rig.url(2)] = {false};
    rig.script.answers[rig.url(5)] = {true};
    rig.draws = {2, 5};
    QCOMPARE(rig.worker->checkNetwork(), true);
    QCOMPARE(rig.script.checked, (QStringList{rig.url(2), rig.url(5)}));
    QCOMPARE(rig.pickCounts(), (QList<int>{0, 0, 1, 0, 0, 1, 0, 0}));
    QCOMPARE(rig.failCounts(), (QList<int>{0, 0, 4, 0, 0, 0, 0, 0}));
    QCOMPARE(rig.targets.size(), 8);
}

void TestNetcheckWorker::bothPicksFailing()
{
    // Both failing means the machine is off line: no endpoint is blamed.
    Rig rig;
    rig.targets[1].failCount = 20;
    rig.targets[4].failCount = 2;
    rig.draws = {1, 4};
    QCOMPARE(rig.worker->checkNetwork(), false);
    QCOMPARE(rig.script.checked, (QStringList{rig.url(1), rig.url(4)}));
    QCOMPARE(rig.pickCounts(), (QList<int>{0, 1, 0, 0, 1, 0, 0, 0}));
    QCOMPARE(rig.failCounts(), (QList<int>{0, 20, 0, 0, 2, 0, 0, 0}));
    QCOMPARE(rig.targets.size(), 8);
}

void TestNetcheckWorker::secondPickStepsBackFromTheFirst_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("expectedSecond");
    QTest::newRow("index 0 wraps to the last entry") << 0 << 7;
    QTest::newRow("index 1 takes index 0") << 1 << 0;
    QTest::newRow("index 5 takes index 4") << 5 << 4;
}

void TestNetcheckWorker::secondPickStepsBackFromTheFirst()
{
    QFETCH(int, first);
    QFETCH(int, expectedSecond);
    Rig rig;
    rig.script.answers[rig.url(expectedSecond)] = {true};
    rig.draws = {first, first}; // the second draw lands on the first pick again
    QCOMPARE(rig.worker->checkNetwork(), true);
    QCOMPARE(rig.script.checked, (QStringList{rig.url(first), rig.url(expectedSecond)}));
    QCOMPARE(rig.targets[first].pickCount, 1);
    QCOMPARE(rig.targets[expectedSecond].pickCount, 1);
    QCOMPARE(rig.targets[first].failCount, 1);
}

void TestNetcheckWorker::entryLeavesAfterItsTwentyFirstCountedFailure()
{
    Rig rig;
    const QString doomed = rig.url(6);
    const QString spared = rig.url(2);
    rig.targets[6].failCount = 20;
    rig.targets[2].failCount = 19;
    rig.script.answers[rig.url(0)] = {true};

    rig.draws = {2, 0};
    QCOMPARE(rig.worker->checkNetwork(), true);
    QCOMPARE(rig.targets.size(), 8);
    QCOMPARE(rig.targets[2].failCount, 20); // twenty counted failures: still there

    rig.draws = {6, 0};
    QCOMPARE(rig.worker->checkNetwork(), true);
    QCOMPARE(rig.targets.size(), 7);
    for (const ProbeTarget& t : qAsConst(rig.targets))
        QVERIFY(t.url != doomed);
    QCOMPARE(rig.targets[2].url, spared);
}

void TestNetcheckWorker::lastEntryStays()
{
    Rig rig;
    rig.targets = makeTargets(2);
    const QString a = rig.targets[0].url;
    const QString b = rig.targets[1].url;
    rig.targets[0].failCount = 20;
    rig.script.answers[a] = {false};
    // b answers as the second pick, then alone: fails and answers twice, then fails twice.
    rig.script.answers[b] = {true, false, true, false, true, false, false};

    // a fails for the 21st time while b answers: a goes, b is the last entry.
    rig.draws = {0, 0};
    QCOMPARE(rig.worker->checkNetwork(), true);
    QCOMPARE(rig.targets.size(), 1);
    QCOMPARE(rig.targets[0].url, b);
    QCOMPARE(rig.targets[0].failCount, 0);

    // Alone, b is both picks: it fails, answers, and its count goes back to 0 every time.
    for (int round = 0; round < 2; ++round) {
        rig.draws = {5, 9};
        QCOMPARE(rig.worker->checkNetwork(), true);
        QCOMPARE(rig.targets.size(), 1);
        QCOMPARE(rig.targets[0].failCount, 0);
    }
    QCOMPARE(rig.targets[0].pickCount, 1 + 4);

    // Failing twice in one probe: off line, nothing counted, still there.
    rig.draws = {0, 0};
    QCOMPARE(rig.worker->checkNetwork(), false);
    QCOMPARE(rig.targets.size(), 1);
    QCOMPARE(rig.targets[0].failCount, 0);
}

void TestNetcheckWorker::onlyChangesAreReported()
{
    Rig rig; // reported false at construction
    auto tick = [&] {
        QVERIFY(QMetaObject::invokeMethod(rig.worker.get(), "slotTimeout", Qt::DirectConnection));
    };
    rig.script.gate = false;
    tick();
    tick();
    QCOMPARE(rig.recorder.calls, QList<bool>{false});

    rig.script.gate = true;
    rig.script.answers[rig.url(0)] = {true};
    tick();
    tick();
    QCOMPARE(rig.recorder.calls, (QList<bool>{false, true}));

    rig.script.gate = false;
    tick();
    QCOMPARE(rig.recorder.calls, (QList<bool>{false, true, false}));
}

void TestNetcheckWorker::exceptionsInACheckAnswerTrue()
{
    Rig rig;
    rig.script.throwOnCheck = true;
    QCOMPARE(rig.worker->checkTarget(rig.url(0)), true);
    rig.script.throwOnCheck = false;

    // The worker stays usable, and a plain failure is still a failure.
    QCOMPARE(rig.worker->checkTarget(rig.url(2)), false);
    QCOMPARE(rig.script.checked, (QStringList{rig.url(0), rig.url(2)}));
}

QTEST_GUILESS_MAIN(TestNetcheckWorker)
#include "tst_netcheck_worker.moc"
