// The fault guard of the platform layer, driven directly (internal test).
#include "module/TUKModule_p.h"
#include "platform/TUKFaultGuard_p.h"

#include "FaultHelpers.h"

#include <QTemporaryFile>
#include <QtTest>

#include <csignal>
#include <exception>
#include <functional>
#include <stdexcept>
#include <thread>

#include <sys/mman.h>
#include <unistd.h>

using tuk::platform::FaultGuardResult;
using tuk::platform::runFaultGuarded;
using Outcome = FaultGuardResult::Outcome;
using Work = std::function<void()>;

Q_DECLARE_METATYPE(Work)

namespace {

// Runs f on a new std::thread (a thread the guard has never seen) and waits for it.
void onFreshThread(const Work& f)
{
    std::thread(f).join();
}

TUKTEST_RAW_FAULT void readByte(const volatile char* p)
{
    volatile char sink = *p;
    (void)sink;
}

} // namespace

class TestFaultGuard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void reportsHowWorkEnded_data();
    void reportsHowWorkEnded();
    void nestedGuards();
    void faultDuringExceptionHandlingLeavesNoExceptionBehind();
    void alternateStackOnlyWhileGuarded();
    void crashMessagesReadRight();
    void cleanupTestCase();

private:
    QTemporaryFile m_emptyFile;
    void* m_emptyFileMap = MAP_FAILED; // a page of the empty file: reading it raises SIGBUS
};

void TestFaultGuard::initTestCase()
{
    QVERIFY(m_emptyFile.open());
    m_emptyFileMap = mmap(nullptr, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_READ,
                          MAP_SHARED, m_emptyFile.handle(), 0);
    QVERIFY(m_emptyFileMap != MAP_FAILED);
}

void TestFaultGuard::cleanupTestCase()
{
    if (m_emptyFileMap != MAP_FAILED)
        munmap(m_emptyFileMap, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
}

void TestFaultGuard::reportsHowWorkEnded_data()
{
    QTest::addColumn<Work>("work");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("code"); // -1: any code above 0

    const int completed = int(Outcome::Completed);
    const int exception = int(Outcome::Exception);
    const int fault = int(Outcome::Fault);
    const char* map = static_cast<char*>(m_emptyFileMap);
    QTest::newRow("returns") << Work([] {}) << completed << 0 << 0;
    QTest::newRow("throws std::exception")
        << Work([] { throw std::runtime_error("boom"); }) << exception << 0 << 0;
    QTest::newRow("throws an int") << Work([] { throw 42; }) << exception << 0 << 0;
    QTest::newRow("null write") << Work(tuktest::writeThroughNull) << fault << SIGSEGV
                                << int(SEGV_MAPERR);
    QTest::newRow("divide by zero")
        << Work(tuktest::divideByZero) << fault << SIGFPE << int(FPE_INTDIV);
    QTest::newRow("illegal instruction")
        << Work(tuktest::illegalInstruction) << fault << SIGILL << int(ILL_ILLOPN);
    QTest::newRow("bus error") << Work([map] { readByte(map); }) << fault << SIGBUS
                               << int(BUS_ADRERR);
    QTest::newRow("stack overflow")
        << Work([] { tuktest::overflowStack(); }) << fault << SIGSEGV << -1;
}

// Each case runs three times in a row on one thread: a trapped fault must leave the thread able
// to trap the next one (the signal is unblocked again).
void TestFaultGuard::reportsHowWorkEnded()
{
    QFETCH(Work, work);
    QFETCH(int, outcome);
    QFETCH(int, signal);
    QFETCH(int, code);

    QVector<FaultGuardResult> results;
    int ranToEnd = 0;
    onFreshThread([&] {
        Work guarded = [&] {
            work();
            ++ranToEnd;
        };
        for (int i = 0; i < 3; ++i)
            results << runFaultGuarded(guarded);
    });

    QCOMPARE(results.size(), 3);
    QCOMPARE(ranToEnd, outcome == int(Outcome::Completed) ? 3 : 0);
    for (const FaultGuardResult& r : qAsConst(results)) {
        QCOMPARE(int(r.outcome), outcome);
        QCOMPARE(r.signal, signal);
        QVERIFY2(code >= 0 ? r.code == code : r.code > 0, qPrintable(QString::number(r.code)));
    }
    if (QTest::currentDataTag() == QLatin1String("null write"))
        QCOMPARE(results.first().address, static_cast<const void*>(nullptr));
}

// A fault in an inner guard is the inner guard's alone; a fault after an inner guard has ended
// is the outer one's.
void TestFaultGuard::nestedGuards()
{
    FaultGuardResult inner, outer, innerOk, outerFault;
    bool outerReachedEnd = false;
    onFreshThread([&] {
        Work fault = tuktest::writeThroughNull, nothing = [] {
        };
        Work nested = [&] {
            inner = runFaultGuarded(fault);
            outerReachedEnd = true;
        };
        outer = runFaultGuarded(nested);
        Work faultAfterInner = [&] {
            innerOk = runFaultGuarded(nothing);
            tuktest::divideByZero();
        };
        outerFault = runFaultGuarded(faultAfterInner);
    });
    QCOMPARE(int(inner.outcome), int(Outcome::Fault));
    QCOMPARE(int(outer.outcome), int(Outcome::Completed));
    QVERIFY(outerReachedEnd);
    QCOMPARE(int(innerOk.outcome), int(Outcome::Completed));
    QCOMPARE(int(outerFault.outcome), int(Outcome::Fault));
    QCOMPARE(outerFault.signal, SIGFPE);
}

namespace {
struct FaultsWhenDestroyed
{
    ~FaultsWhenDestroyed() { tuktest::writeThroughNull(); }
};
} // namespace

// A fault in a catch block or in a destructor run by unwinding abandons an exception; the thread
// must not go on believing it is handling one.
void TestFaultGuard::faultDuringExceptionHandlingLeavesNoExceptionBehind()
{
    FaultGuardResult inCatch, inUnwind;
    int uncaughtAfter = -1;
    bool currentAfter = true;
    bool laterExceptionCaught = false;
    onFreshThread([&] {
        // The abandoned exceptions are leaked on purpose.
        tuktest::pauseLeakCheck();
        auto faultInCatch = [] {
            try {
                throw std::runtime_error("first");
            } catch (const std::exception&) {
                tuktest::writeThroughNull();
            }
        };
        inCatch = runFaultGuarded(faultInCatch);
        auto faultInUnwind = [] {
            FaultsWhenDestroyed f;
            throw std::runtime_error("second");
        };
        inUnwind = runFaultGuarded(faultInUnwind);
        tuktest::resumeLeakCheck();
        uncaughtAfter = std::uncaught_exceptions();
        currentAfter = bool(std::current_exception());
        try {
            throw 7;
        } catch (int v) {
            laterExceptionCaught = v == 7 && !std::uncaught_exceptions();
        }
    });
    QCOMPARE(int(inCatch.outcome), int(Outcome::Fault));
    QCOMPARE(int(inUnwind.outcome), int(Outcome::Fault));
    QCOMPARE(uncaughtAfter, 0);
    QVERIFY(!currentAfter);
    QVERIFY(laterExceptionCaught);
}

// A thread without an alternate signal stack gets one while guarded (so a stack overflow can be
// handled) and has its old setting back afterwards; one that has its own keeps it.
void TestFaultGuard::alternateStackOnlyWhileGuarded()
{
    stack_t before = {}, inside = {}, after = {};
    onFreshThread([&] {
        sigaltstack(nullptr, &before);
        auto look = [&] {
            sigaltstack(nullptr, &inside);
        };
        runFaultGuarded(look);
        sigaltstack(nullptr, &after);
    });
    QVERIFY(!(inside.ss_flags & SS_DISABLE));
    QVERIFY(inside.ss_size > 0);
    if (before.ss_flags & SS_DISABLE)
        QVERIFY(inside.ss_sp != before.ss_sp);
    else
        QCOMPARE(inside.ss_sp, before.ss_sp); // e.g. the sanitizer's own stack
    QCOMPARE(after.ss_flags, before.ss_flags);
    QCOMPARE(after.ss_sp, before.ss_sp);
    QCOMPARE(after.ss_size, before.ss_size);
}

void TestFaultGuard::crashMessagesReadRight()
{
    QCOMPARE(tuk::module::threadRunCrashMessage, QStringLiteral(u"线程执行崩溃"));
    QCOMPARE(tuk::module::threadStopCrashMessage, QStringLiteral(u"线程终止崩溃"));
}

QTEST_GUILESS_MAIN(TestFaultGuard)
#include "tst_faultguard.moc"
