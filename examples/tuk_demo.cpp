// Example host program: every part of the library at work against local servers, with progress
// bars on the long transfers and a one-screen summary at the end. Exits 0 when every step
// behaved as expected, 1 otherwise.
// Usage: tuk_demo HTTPBIN_BASE_URL LARGE_FILE_URL
#include <TUKCloudUtils/TUKCloudUtils.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <stdexcept>
#include <vector>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// One line per step as it ends, and the table at the end.
class Report
{
public:
    void add(const QString& area, const QString& step, bool ok, const QString& detail)
    {
        m_steps.push_back({area, step, detail, ok});
        std::printf("%-4s %s: %s: %s\n", ok ? "ok" : "FAIL", qPrintable(area), qPrintable(step),
                    qPrintable(detail));
        std::fflush(stdout);
    }

    // A step whose detail describes the expected outcome only.
    void expect(const QString& area, const QString& step, bool ok, const QString& asExpected,
                const QString& otherwise = QStringLiteral("not as expected"))
    {
        add(area, step, ok, ok ? asExpected : otherwise);
    }

    int failures() const
    {
        int n = 0;
        for (const Step& s : m_steps)
            n += !s.ok;
        return n;
    }

    void printSummary() const
    {
        const QString rule(79, QLatin1Char('-'));
        std::printf("\n%-16s %-18s %-6s %s\n%s\n", "subsystem", "step", "result", "detail",
                    qPrintable(rule));
        QString lastArea;
        for (const Step& s : m_steps) {
            const QString area = s.area == lastArea ? QString() : s.area;
            lastArea = s.area;
            std::printf("%-16s %-18s %-6s %s\n", qPrintable(area), qPrintable(s.step),
                        s.ok ? "ok" : "FAILED", qPrintable(s.detail.left(36)));
        }
        std::printf("%s\n", qPrintable(rule));
        if (failures() == 0)
            std::printf("all %d steps behaved as expected\n", int(m_steps.size()));
        else
            std::printf("%d of %d steps FAILED\n", failures(), int(m_steps.size()));
        std::fflush(stdout);
    }

private:
    struct Step
    {
        QString area, step, detail;
        bool ok;
    };
    std::vector<Step> m_steps;
};

// Progress of one transfer on standard output: a bar redrawn in place on a terminal, a plain
// line at every quarter otherwise (a log file, a pipe).
class ProgressBar
{
public:
    explicit ProgressBar(const char* label) : m_label(label), m_tty(isatty(fileno(stdout)) == 1)
    {
        m_clock.start();
    }

    void update(qint64 done, qint64 total)
    {
        if (total <= 0)
            return; // size not known (yet), or Qt's closing report of 0 of 0
        m_done = done;
        m_total = total;
        if (!m_tty) {
            const int quarter = int(done * 4 / total);
            for (; m_quarter < quarter; ++m_quarter)
                std::printf("     %s: %3d%%  %5.1f of %.1f MiB\n", m_label, (m_quarter + 1) * 25,
                            double(total) * (m_quarter + 1) / 4 / kMiB, double(total) / kMiB);
        } else if (done == total || !m_redraw.isValid() || m_redraw.elapsed() >= 50) {
            m_redraw.start();
            const int width = 30;
            const int filled = int(done * width / total);
            const QByteArray bar =
                QByteArray(filled, '#') + QByteArray(width - filled, '-'); // fixed width
            std::printf("\r     %-9s [%s] %3d%%  %5.1f/%5.1f MiB  %7.1f MiB/s", m_label,
                        bar.constData(), int(done * 100 / total), double(done) / kMiB,
                        double(total) / kMiB, rate());
        }
        std::fflush(stdout);
    }

    // Ends the bar's line; returns the milliseconds since the bar was made.
    qint64 finish()
    {
        if (m_tty && m_redraw.isValid())
            std::printf("\n");
        std::fflush(stdout);
        return m_clock.elapsed();
    }

private:
    double rate() const { return double(m_done) / kMiB / qMax<qint64>(1, m_clock.elapsed()) * 1e3; }

    const char* m_label;
    bool m_tty;
    QElapsedTimer m_clock, m_redraw;
    qint64 m_done = 0, m_total = 0;
    int m_quarter = 0;
};

// Runs the event loop until done() holds or limitMs have passed; returns done().
bool waitFor(const std::function<bool()>& done, int limitMs)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    poll.start(10);
    if (!done())
        loop.exec();
    return done();
}

QString outcome(QNetworkReply::NetworkError err, const QString& ok)
{
    if (err == QNetworkReply::TimeoutError)
        return QStringLiteral("TimeoutError");
    return err == QNetworkReply::NoError ? ok : QStringLiteral("error %1").arg(int(err));
}

QJsonObject json(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

QString mib(qint64 bytes)
{
    return QStringLiteral("%1 MiB").arg(double(bytes) / kMiB, 0, 'f', 1);
}

QByteArray sha1(const QString& path)
{
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    return f.open(QIODevice::ReadOnly) && hash.addData(&f) ? hash.result() : QByteArray();
}

// Peak resident memory of this process in MiB (Linux).
double peakRssMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

// A worker whose work throws: the guard reports the crash and the thread finishes normally.
class CrashingWorker : public TUKThread
{
    Q_OBJECT

protected:
    void doWork() override { throw std::runtime_error("worker gave up"); }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HTTPBIN_BASE_URL LARGE_FILE_URL\n", argv[0]);
        return 2;
    }
    const QString base = QString::fromLocal8Bit(argv[1]);
    const QString fileUrl = QString::fromLocal8Bit(argv[2]);
    QTemporaryDir dir;
    Report report;
    QElapsedTimer clock;
    QNetworkReply::NetworkError err = QNetworkReply::NoError;

    // The connectivity monitor was built and started while the library loaded.
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    int verdictChanges = 0;
    QObject::connect(monitor, &TUKNetWorkCheck::sigNetWorkBreak, [&] { ++verdictChanges; });
    QObject::connect(monitor, &TUKNetWorkCheck::sigNetWorkConnect, [&] { ++verdictChanges; });

    // ---- HTTP client ----------------------------------------------------------------------------
    const QString http = QStringLiteral("HTTP client");
    QJsonObject echo = json(TUKHttpService(base + QStringLiteral("/get"))
                                .addParam(QStringLiteral("lang"), QStringLiteral("Qt 5"))
                                .addHeader(QStringLiteral("X-Demo"), QStringLiteral("1"))
                                .setTimeout(10000)
                                .get(err));
    report.expect(http, QStringLiteral("blocking GET"),
                  echo[QStringLiteral("args")].toObject()[QStringLiteral("lang")] == "Qt 5" &&
                      echo[QStringLiteral("headers")].toObject()[QStringLiteral("X-Demo")] == "1",
                  QStringLiteral("query and header echoed"),
                  outcome(err, QStringLiteral("not as expected")));

    echo = json(TUKHttpService(base + QStringLiteral("/post"))
                    .addParam(QStringLiteral("name"), QStringLiteral("tuk"))
                    .setTimeout(10000)
                    .post(err));
    report.expect(http, QStringLiteral("blocking POST"),
                  echo[QStringLiteral("form")].toObject()[QStringLiteral("name")] == "tuk",
                  QStringLiteral("form echoed"), outcome(err, QStringLiteral("not as expected")));

    clock.start();
    TUKHttpService(base + QStringLiteral("/delay/5")).setTimeout(1000).get(err);
    report.add(http, QStringLiteral("time limit 1 s"), err == QNetworkReply::TimeoutError,
               outcome(err, {}) + QStringLiteral(" after %1 ms").arg(clock.elapsed()));

    TUKHttpService async(base + QStringLiteral("/uuid"));
    QString answer, failure;
    async.get([&](const QString& body) { answer = json(body)[QStringLiteral("uuid")].toString(); },
              [&](QNetworkReply::NetworkError code, const QString& why) {
                  failure = QStringLiteral("error %1: %2").arg(int(code)).arg(why);
              });
    waitFor([&] { return !answer.isEmpty() || !failure.isEmpty(); }, 20000);
    report.add(http, QStringLiteral("callback GET"), !answer.isEmpty(),
               failure.isEmpty() ? QStringLiteral("answer from the event loop") : failure);

    // Streaming download: pieces go from the callback straight to a file.
    const qint64 remoteSize = TUKCloudHttpUtils::getRemoteFileSize(fileUrl);
    const QString streamed = dir.filePath(QStringLiteral("streamed.bin"));
    {
        QFile out(streamed);
        out.open(QIODevice::WriteOnly);
        bool finished = false;
        failure.clear();
        ProgressBar bar("download");
        TUKHttpService(fileUrl).setTimeout(60000).downloadSync(
            [&](const QByteArray& chunk, bool&) { out.write(chunk); },
            [&](QNetworkReply*) { finished = true; },
            [&](qint64 received, qint64 total) { bar.update(received, total); },
            [&](QNetworkReply::NetworkError code, const QString& why) {
                failure = QStringLiteral("error %1: %2").arg(int(code)).arg(why);
            });
        const qint64 ms = bar.finish();
        out.close();
        report.add(http, QStringLiteral("streaming download"),
                   finished && QFileInfo(streamed).size() == remoteSize,
                   failure.isEmpty() ? QStringLiteral("%1 in %2 ms, peak RSS %3 MiB")
                                           .arg(mib(QFileInfo(streamed).size()))
                                           .arg(ms)
                                           .arg(peakRssMiB(), 0, 'f', 0)
                                     : failure);
    }

    // Raw-body upload of that file; the server reports the length it received.
    {
        failure.clear();
        qint64 received = -1;
        ProgressBar bar("upload");
        TUKHttpService(base + QStringLiteral("/post"))
            .setTimeout(60000)
            .upload(
                streamed,
                [&](const QString& body) {
                    received = json(body)[QStringLiteral("headers")]
                                   .toObject()[QStringLiteral("Content-Length")]
                                   .toString()
                                   .toLongLong();
                },
                nullptr, [&](qint64 sent, qint64 total, bool&) { bar.update(sent, total); },
                [&](QNetworkReply::NetworkError code, const QString& why) {
                    failure = QStringLiteral("error %1: %2").arg(int(code)).arg(why);
                });
        const qint64 ms = bar.finish();
        report.add(http, QStringLiteral("raw upload"), received == remoteSize,
                   failure.isEmpty()
                       ? QStringLiteral("server got %1 in %2 ms").arg(mib(received)).arg(ms)
                       : failure);
    }

    // ---- cloud helpers --------------------------------------------------------------------------
    const QString cloud = QStringLiteral("cloud helpers");
    QMap<QString, QString> cookies;
    QString text =
        TUKCloudHttpUtils::get(base + QStringLiteral("/cookies"),
                               {{QStringLiteral("session"), QStringLiteral("demo42")}}, cookies);
    report.expect(cloud, QStringLiteral("cookie map"), text.contains(QStringLiteral("demo42")),
                  QStringLiteral("server saw session=demo42"));

    const QString target =
        QString::fromLatin1(QUrl::toPercentEncoding(base + QStringLiteral("/get?followed=1")));
    text = TUKCloudHttpUtils::get(
        base + QStringLiteral("/redirect-to?status_code=302&url=") + target, {}, cookies);
    report.expect(cloud, QStringLiteral("302 followed"), text.contains(QStringLiteral("followed")),
                  QStringLiteral("landed on the target"));

    const bool ranges = TUKCloudHttpUtils::isSupportResumeDownload(fileUrl);
    report.expect(cloud, QStringLiteral("remote-file probes"), remoteSize > 0 && ranges,
                  QStringLiteral("%1 bytes, byte ranges %2")
                      .arg(remoteSize)
                      .arg(ranges ? "served" : "not served"));

    const QString note = dir.filePath(QStringLiteral("note.txt"));
    {
        QFile f(note);
        f.open(QIODevice::WriteOnly);
        f.write("uploaded by tuk_demo\n");
    }
    echo = json(TUKCloudHttpUtils::uploadFileToPYX(base + QStringLiteral("/post"),
                                                   QStringLiteral("token-7"), note, {}));
    report.expect(
        cloud, QStringLiteral("multipart upload"),
        echo[QStringLiteral("form")].toObject()[QStringLiteral("access_token")] == "token-7" &&
            echo[QStringLiteral("files")].toObject().contains(QStringLiteral("upload_file")),
        QStringLiteral("token and file part received"));

    // ---- download manager -----------------------------------------------------------------------
    const QString managed = dir.filePath(QStringLiteral("managed.bin"));
    {
        TUKDownloadManager manager;
        bool ended = false;
        QObject::connect(&manager, &TUKDownloadManager::sigDownloadEnd, [&] { ended = true; });
        clock.restart();
        manager.downloadFile(fileUrl, managed);
        waitFor([&] { return ended; }, 60000);
        report.expect(QStringLiteral("download manager"), QStringLiteral("one URL, one file"),
                      ended && remoteSize > 0 && sha1(managed) == sha1(streamed),
                      QStringLiteral("%1 in %2 ms, same bytes")
                          .arg(mib(QFileInfo(managed).size()))
                          .arg(clock.elapsed()));
    }

    // ---- settings record ------------------------------------------------------------------------
    TUKCloudInfo info;
    info.nValue = 7;
    info.strValue1 = base;
    setCloudInfo(info);
    report.expect(QStringLiteral("settings record"), QStringLiteral("set, then get"),
                  getCloudInfo().nValue == 7 && getCloudInfo().strValue1 == base,
                  QStringLiteral("process-wide record round trip"));

    // ---- file helpers ---------------------------------------------------------------------------
    const QString files = QStringLiteral("file helpers");
    const QString tree = dir.filePath(QStringLiteral("tree"));
    const QString copy = tree + QStringLiteral("/a/b/copy.bin");
    copyFile(managed, copy);
    report.expect(files, QStringLiteral("copyFile"), sha1(copy) == sha1(managed),
                  QStringLiteral("copied into new folders a/b"));
    copyFile(note, tree + QStringLiteral("/a/note.txt"));
    const int listed = getFileList(tree).size();
    report.expect(files, QStringLiteral("getFileList"), listed == 2,
                  QStringLiteral("%1 files in the tree").arg(listed));
    const bool removed = delDir(tree + QStringLiteral("/a"));
    report.expect(files, QStringLiteral("delDir"), removed && !QFileInfo::exists(tree),
                  QStringLiteral("tree removed, empty parent too"));

    // ---- URL launcher ---------------------------------------------------------------------------
    // So that no browser opens, a stand-in xdg-open placed first on PATH writes down its argument.
    const QString opened = dir.filePath(QStringLiteral("opened.txt"));
    {
        QFile opener(dir.filePath(QStringLiteral("xdg-open")));
        opener.open(QIODevice::WriteOnly);
        opener.write(
            QStringLiteral("#!/bin/sh\nprintf '%s' \"$1\" > '%1.part' && mv '%1.part' '%1'\n")
                .arg(opened)
                .toUtf8());
        opener.setPermissions(opener.permissions() | QFileDevice::ExeOwner);
    }
    qputenv("PATH", dir.path().toUtf8() + ':' + qgetenv("PATH"));
    const QString page = base + QStringLiteral("/html");
    executeURL(page);
    waitFor([&] { return QFileInfo::exists(opened); }, 10000);
    QFile got(opened);
    got.open(QIODevice::ReadOnly);
    report.expect(QStringLiteral("URL launcher"), QStringLiteral("executeURL"),
                  QString::fromUtf8(got.readAll()) == page,
                  QStringLiteral("stand-in xdg-open got the URL"));

    // ---- guarded thread -------------------------------------------------------------------------
    CrashingWorker worker;
    worker.start();
    const bool ended = waitFor([&] { return worker.isFinished(); }, 10000);
    report.expect(QStringLiteral("guarded thread"), QStringLiteral("work that throws"), ended,
                  QStringLiteral("%1: trapped, finished").arg(worker.objectName()));

    // ---- connectivity monitor -------------------------------------------------------------------
    report.expect(QStringLiteral("network monitor"), QStringLiteral("probing since load"),
                  monitor != nullptr,
                  QStringLiteral("%1, %2 change(s) signalled")
                      .arg(monitor->isConnect() ? "on line" : "off line")
                      .arg(verdictChanges));

    report.printSummary();
    return report.failures() == 0 ? 0 : 1;
}

#include "tuk_demo.moc"
