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

    void fallbackWithoutGuiApplication_data();
    void fallbackWithoutGuiApplication();
    void fallbackWhenTheDesktopRefuses();
    void openedByTheDesktopStartsNothing();

    void openerIsDetached();
    void openerSearchAndRefusals();

private:
    QString standinPath() const { return m_bin.path() + QStringLiteral(":/usr/bin:/bin"); }
    QList<Call> calls() const;
    // Runs the host with the stand-in first on PATH; returns its standard output and error.
    bool runHost(const QStringList& args, QByteArray* out, QByteArray* err);

    QTemporaryDir m_bin;     // the stand-in xdg-open
    QTemporaryDir m_records; // one file per call
    QTemporaryDir m_other;   // folders for the search tests
};

void TestExecuteUrl::initTestCase()
{
    QVERIFY(m_bin.isValid() && m_records.isValid() && m_other.isValid());
    // Arguments go to "<pid>.args" (count, then each argument, NUL-terminated) and are published
    // by a rename once "<pid>.info" is complete.
    const QByteArray script = QByteArray("#!/bin/sh\n"
                                         "rec='") +
                              QFile::encodeName(m_records.path()) +
                              QByteArray("'\n"
                                         "{ printf '%s\\0' \"$#\"; printf '%s\\0' \"$@\"; } "
                                         "> \"$rec/$$.tmp\"\n"
                                         "read -r stat < /proc/$$/stat\n"
                                         "set -- $stat\n"
                                         "fd=no; [ -e /proc/$$/fd/57 ] && fd=yes\n"
                                         "printf '%s %s %s %s' \"$$\" \"$PPID\" \"$6\" \"$fd\" "
                                         "> \"$rec/$$.info\"\n"
                                         "/bin/mv \"$rec/$$.tmp\" \"$rec/$$.args\"\n");
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
    for (const QString& name : records.entryList({QStringLiteral("*.args")}, QDir::Files)) {
        QFile argsFile(records.filePath(name));
        QFile infoFile(records.filePath(
            QString(name).replace(QLatin1String(".args"), QLatin1String(".info"))));
        if (!argsFile.open(QIODevice::ReadOnly) || !infoFile.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = argsFile.readAll().split('\0');
        Call call;
        const int count = fields.value(0).toInt();
        call.args = fields.mid(1, count);
        const QList<QByteArray> info = infoFile.readAll().split(' ');
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

void TestExecuteUrl::fallbackWithoutGuiApplication_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("no application") << QStringLiteral("none");
    QTest::newRow("QCoreApplication") << QStringLiteral("core");
}

void TestExecuteUrl::fallbackWithoutGuiApplication()
{
    QFETCH(QString, mode);
    // Spaces, quotes, shell syntax and non-ASCII must arrive as one unchanged argument.
    const QByteArray text = "http://127.0.0.1:1/a b?q=\xc3\xbc&x='\"$(touch pwned)`id`;*";
    QByteArray out, err;
    QVERIFY(runHost({mode, QString::fromUtf8(text)}, &out, &err));
    QTRY_COMPARE_WITH_TIMEOUT(calls().size(), 1, 20000);
    QCOMPARE(calls().at(0).args, QList<QByteArray>({text}));
    // The desktop step is skipped, so Qt has nothing to warn about.
    QVERIFY2(!err.contains("QDesktopServices"), err.constData());
}

void TestExecuteUrl::fallbackWhenTheDesktopRefuses()
{
    // The offscreen platform cannot open URLs, and "http://[::1" is not a valid URL at all: both
    // are refused by the desktop and passed on unchanged.
    const QByteArray valid = "http://127.0.0.1:1/page?x=1 2";
    const QByteArray invalid = "http://[::1";
    QByteArray out, err;
    QVERIFY(runHost({QStringLiteral("gui"), QString::fromUtf8(valid), QString::fromUtf8(invalid)},
                    &out, &err));
    QTRY_COMPARE_WITH_TIMEOUT(calls().size(), 2, 20000);
    QList<QList<QByteArray>> got = {calls().at(0).args, calls().at(1).args};
    std::sort(got.begin(), got.end());
    QCOMPARE(got, (QList<QList<QByteArray>>{{valid}, {invalid}}));
}

void TestExecuteUrl::openedByTheDesktopStartsNothing()
{
    // A handler registered with QDesktopServices opens "tukx:" URLs. The marker that follows is
    // refused, so its opener call shows the host got that far; it must be the only call.
    QByteArray out, err;
    QVERIFY(runHost({QStringLiteral("gui"), QStringLiteral("--handle"), QStringLiteral("tukx"),
                     QStringLiteral("tukx:first"), QStringLiteral("marker:")},
                    &out, &err));
    QCOMPARE(out, QByteArray("handled:tukx:first\n"));
    QTRY_COMPARE_WITH_TIMEOUT(calls().size(), 1, 20000);
    QCOMPARE(calls().at(0).args, QList<QByteArray>({"marker:"}));
}

void TestExecuteUrl::openerIsDetached()
{
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(standinPath()));
    // A file of ours that is not close-on-exec.
    const int probe = ::open("/dev/null", O_RDONLY);
    QVERIFY(probe >= 0);
    QCOMPARE(::dup2(probe, kLeakProbeFd), kLeakProbeFd);
    const bool started = tuk::platform::startUrlOpener(std::string());
    ::close(kLeakProbeFd);
    ::close(probe);
    qputenv("PATH", savedPath);

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
    // Candidates that must be skipped: not executable, a folder, a relative PATH entry.
    QVERIFY(QDir().mkpath(base + QStringLiteral("/noexec")));
    QVERIFY(writeScript(base + QStringLiteral("/noexec/xdg-open"), "#!/bin/sh\nexit 0\n"));
    QVERIFY(QFile::setPermissions(base + QStringLiteral("/noexec/xdg-open"),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(QDir().mkpath(base + QStringLiteral("/folder/xdg-open")));
    QVERIFY(QDir().mkpath(base + QStringLiteral("/relative")));
    QVERIFY(writeScript(base + QStringLiteral("/relative/xdg-open"), "#!/bin/sh\nexit 0\n"));
    // An executable whose interpreter does not exist: the exec fails.
    QVERIFY(QDir().mkpath(base + QStringLiteral("/broken")));
    QVERIFY(writeScript(base + QStringLiteral("/broken/xdg-open"), "#!/nonexistent/sh\n"));

    const QByteArray savedPath = qgetenv("PATH");
    const QString savedCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(base));
    auto startWith = [&](const QString& path, const std::string& text) {
        qputenv("PATH", QFile::encodeName(path));
        const bool started = tuk::platform::startUrlOpener(text);
        qputenv("PATH", savedPath);
        return started;
    };
    const QString skipped =
        base + QStringLiteral("/noexec::") + base + QStringLiteral("/folder:relative:");
    const bool notFound = startWith(skipped, "a");
    const bool execFails = startWith(base + QStringLiteral("/broken:") + m_bin.path(), "b");
    const bool withNul = startWith(m_bin.path(), std::string("c\0d", 3));
    const bool found = startWith(skipped + m_bin.path(), "e");
    QVERIFY(QDir::setCurrent(savedCwd));

    QVERIFY(!notFound);
    QVERIFY(!execFails);
    QVERIFY(!withNul);
    QVERIFY(found);
    // Only the last one reached the stand-in.
    QTRY_COMPARE_WITH_TIMEOUT(calls().size(), 1, 20000);
    QCOMPARE(calls().at(0).args, QList<QByteArray>({"e"}));
}

QTEST_GUILESS_MAIN(TestExecuteUrl)
#include "tst_executeurl.moc"
