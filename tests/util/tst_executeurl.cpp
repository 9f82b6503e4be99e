// executeURL and the URL opener behind it. A stand-in "xdg-open", first on PATH, records every
// call (its arguments, pid, parent, session and whether it inherited a file of ours); host
// programs of each kind (no application, QCoreApplication, QGuiApplication) run as children with
// that PATH.
#include "platform/TUKUrlOpener_p.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#ifndef TUK_URL_HOST
#error "TUK_URL_HOST must name the host program"
#endif

namespace {

// The file number the opener must not inherit.
const int kLeakProbeFd = 57;

struct Call
{
    QList<QByteArray> args;
    qint64 pid = 0;
    qint64 parent = 0;
    qint64 session = 0;
    bool inheritedProbe = false;
};

bool writeScript(const QString& path, const QByteArray& text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return false;
    f.close();
    return f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            QFileDevice::ExeOwner);
}

} // namespace

class TestExecuteUrl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void hostsPassOnWhatTheDesktopDoesNotOpen_data();
    void hostsPassOnWhatTheDesktopDoesNotOpen();

    void openerIsDetached();
    void openerSearchAndRefusals();

private:
    QString standinPath() const { return m_bin.path() + QStringLiteral(":/usr/bin:/bin"); }
    QList<Call> calls() const;
    // Runs the host with the stand-in first on PATH; returns its standard output and error.
    bool runHost(const QStringList& args, QByteArray* out, QByteArray* err);
    // Starts the opener directly with the given PATH.
    static bool startWith(const QString& path, const std::string& text)
    {
        const QByteArray saved = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(path));
        const bool started = tuk::platform::startUrlOpener(text);
        qputenv("PATH", saved);
        return started;
    }

    QTemporaryDir m_bin;     // the stand-in xdg-open
    QTemporaryDir m_records; // one file per call
    QTemporaryDir m_other;   // folders for the search tests
};

void TestExecuteUrl::initTestCase()
{
    QVERIFY(m_bin.isValid() && m_records.isValid() && m_other.isValid());
    // "<pid> <parent> <session> <inherited?>", the argument count and each argument, each
    // NUL-terminated, go to "<pid>.call", published by a rename once complete.
    const QByteArray script = "#!/bin/sh\nrec='" + QFile::encodeName(m_records.path()) +
                              "'\n"
                              "read -r stat < /proc/$$/stat\n"
                              "fd=no; [ -e /proc/$$/fd/57 ] && fd=yes\n"
                              "session() { info=\"$$ $PPID $6 $fd\"; }; session $stat\n"
                              "{ printf '%s\\0' \"$info\" \"$#\"; printf '%s\\0' \"$@\"; } "
                              "> \"$rec/$$.tmp\"\n"
                              "/bin/mv \"$rec/$$.tmp\" \"$rec/$$.call\"\n";
    QVERIFY(writeScript(m_bin.path() + QStringLiteral("/xdg-open"), script));
}

void TestExecuteUrl::init()
{
    QDir records(m_records.path());
    for (const QString& name : records.entryList(QDir::Files))
        QVERIFY(records.remove(name));
}

QList<Call> TestExecuteUrl::calls() const
{
    QList<Call> out;
    const QDir records(m_records.path());
    for (const QString& name : records.entryList({QStringLiteral("*.call")}, QDir::Files)) {
        QFile file(records.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = file.readAll().split('\0');
        const QList<QByteArray> info = fields.value(0).split(' ');
        Call call;
        call.args = fields.mid(2, fields.value(1).toInt());
        call.pid = info.value(0).toLongLong();
        call.parent = info.value(1).toLongLong();
        call.session = info.value(2).toLongLong();
        call.inheritedProbe = info.value(3) == "yes";
        out << call;
    }
    return out;
}

bool TestExecuteUrl::runHost(const QStringList& args, QByteArray* out, QByteArray* err)
{
    QProcess host;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), standinPath());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Sanitizer builds: Qt's offscreen platform leaves its screen objects behind at exit, which
    // would turn the host's exit code into a leak report. The library's own code is leak-checked
    // in this test process.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
    host.setProcessEnvironment(env);
    host.start(QStringLiteral(TUK_URL_HOST), args);
    if (!host.waitForFinished(60000)) {
        host.kill();
        host.waitForFinished();
        return false;
    }
    *out = host.readAllStandardOutput();
    *err = host.readAllStandardError();
    if (host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0)
        return true;
    qWarning("host failed: %s", err->constData());
    return false;
}

void TestExecuteUrl::hostsPassOnWhatTheDesktopDoesNotOpen_data()
{
    // Host arguments, what the host prints, and the one argument of each opener call (any order),
    // all '|'-separated.
    QTest::addColumn<QByteArray>("args");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("opened");
    // Spaces, quotes, shell syntax and non-ASCII must arrive as one unchanged argument; without
    // a QGuiApplication the desktop step is skipped.
    const QByteArray text = "http://127.0.0.1:1/a b?q=\xc3\xbc&x='\"$(touch pwned)`id`;*";
    QTest::newRow("no application") << "none|" + text << QByteArray() << text;
    QTest::newRow("QCoreApplication") << "core|" + text << QByteArray() << text;
    // The offscreen platform cannot open URLs, and "http://[::1" is not a valid URL at all: both
    // are refused by the desktop and passed on unchanged.
    QTest::newRow("refused by the desktop")
        << QByteArray("gui|http://127.0.0.1:1/page?x=1 2|http://[::1") << QByteArray()
        << QByteArray("http://127.0.0.1:1/page?x=1 2|http://[::1");
    // A handler registered with QDesktopServices opens "tukx:" URLs. The marker that follows is
    // refused, so its opener call shows the host got that far; it must be the only call.
    QTest::newRow("opened by the desktop")
        << QByteArray("gui|--handle|tukx|tukx:first|marker:") << QByteArray("handled:tukx:first\n")
        << QByteArray("marker:");
}

void TestExecuteUrl::hostsPassOnWhatTheDesktopDoesNotOpen()
{
    QFETCH(QByteArray, args);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, opened);
    QStringList hostArgs;
    for (const QByteArray& arg : args.split('|'))
        hostArgs << QString::fromUtf8(arg);
    QByteArray out, err;
    QVERIFY(runHost(hostArgs, &out, &err));
    QCOMPARE(out, output);
    QList<QByteArray> expected = opened.split('|'), got;
    QTRY_COMPARE_WITH_TIMEOUT(calls().size(), expected.size(), 20000);
    for (const Call& call : calls()) {
        QCOMPARE(call.args.size(), 1);
        got << call.args.first();
    }
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(got, expected);
    if (hostArgs.first() != QLatin1String("gui")) // so Qt has nothing to warn about
        QVERIFY2(!err.contains("QDesktopServices"), err.constData());
}

void TestExecuteUrl::openerIsDetached()
{
    // A file of ours that is not close-on-exec.
    const int probe = ::open("/dev/null", O_RDONLY);
    QVERIFY(probe >= 0);
    QCOMPARE(::dup2(probe, kLeakProbeFd), kLeakProbeFd);
    const bool started = startWith(standinPath(), std::string());
    ::close(kLeakProbeFd);
    ::close(probe);

    QVERIFY(started);
    QTRY_COMPARE_WITH_TIMEOUT(calls().size(), 1, 20000);
    const Call call = calls().at(0);
    QCOMPARE(call.args, QList<QByteArray>({QByteArray()})); // one empty argument
    QVERIFY(call.parent != ::getpid());                     // not our child
    QCOMPARE(call.session, call.pid);                       // a session of its own
    QVERIFY(!call.inheritedProbe);
}

void TestExecuteUrl::openerSearchAndRefusals()
{
    const QString base = m_other.path();
    // Candidates that must be skipped: not executable, a folder, a relative PATH entry; and an
    // executable whose interpreter does not exist, so that the exec fails.
    QVERIFY(QDir().mkpath(base + QStringLiteral("/folder/xdg-open")));
    for (const char* dir : {"noexec", "relative", "broken"}) {
        const QString script = base + QLatin1Char('/') + QLatin1String(dir) + "/xdg-open";
        QVERIFY(QDir().mkpath(QFileInfo(script).path()));
        QVERIFY(writeScript(script, qstrcmp(dir, "broken") ? "#!/bin/sh\nexit 0\n"
                                                           : "#!/nonexistent/sh\n"));
    }
    QVERIFY(QFile::setPermissions(base + QStringLiteral("/noexec/xdg-open"),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    const QString savedCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(base));
    const QString skipped =
        base + QStringLiteral("/noexec::") + base + QStringLiteral("/folder:relative:");
    const bool notFound = startWith(skipped, "a");
    const bool execFails = startWith(base + QStringLiteral("/broken:") + m_bin.path(), "b");
    const bool withNul = startWith(m_bin.path(), std::string("c\0d", 3));
    const bool found = startWith(skipped + m_bin.path(), "e");
    QVERIFY(QDir::setCurrent(savedCwd));

    QVERIFY(!notFound && !execFails && !withNul && found);
    // Only the last one reached the stand-in.
    QTRY_COMPARE_WITH_TIMEOUT(calls().size(), 1, 20000);
    QCOMPARE(calls().at(0).args, QList<QByteArray>({"e"}));
}

QTEST_GUILESS_MAIN(TestExecuteUrl)
#include "tst_executeurl.moc"
