// Example host program: shows the library's main jobs against a web service.
// Usage: tuk_demo HTTPBIN_BASE_URL [LARGE_FILE_URL]
#include <TUKCloudUtils/TUKCloudUtils.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <stdexcept>

#include <cstdio>

namespace {

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString outcome(QNetworkReply::NetworkError err)
{
    return err == QNetworkReply::NoError ? QStringLiteral("ok")
                                         : QStringLiteral("error %1").arg(int(err));
}

QString firstLine(const QString& text, int max = 70)
{
    QString s = text.simplified();
    return s.size() > max ? s.left(max) + QStringLiteral("...") : s;
}

// A worker whose work throws: the guard reports the crash and the thread finishes normally.
class CrashingWorker : public TUKThread
{
    Q_OBJECT

protected:
    void doWork() override { throw std::runtime_error("worker gave up"); }
};

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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s HTTPBIN_BASE_URL [LARGE_FILE_URL]\n", argv[0]);
        return 2;
    }
    const QString base = QString::fromLocal8Bit(argv[1]);
    const QString fileUrl = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    int failures = 0;

    // 0. The connectivity monitor started when the library was loaded.
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    say(QStringLiteral("network monitor   : running since the library loaded (starts as on line)"));

    // 1. Blocking GET with query parameters.
    QNetworkReply::NetworkError err;
    QString text = TUKHttpService(base + QStringLiteral("/get"))
                       .addParam(QStringLiteral("lang"), QStringLiteral("Qt 5"))
                       .addHeader(QStringLiteral("X-Demo"), QStringLiteral("1"))
                       .setTimeout(10000)
                       .get(err);
    say(QStringLiteral("blocking GET      : %1  %2").arg(outcome(err), firstLine(text)));
    failures += err != QNetworkReply::NoError;

    // 2. Blocking POST of form parameters.
    text = TUKHttpService(base + QStringLiteral("/post"))
               .addParam(QStringLiteral("name"), QStringLiteral("tuk"))
               .addParam(QStringLiteral("size"), QStringLiteral("42"))
               .setTimeout(10000)
               .post(err);
    say(QStringLiteral("blocking POST     : %1  form echoed: %2")
            .arg(outcome(err), text.contains(QStringLiteral("\"tuk\"")) ? "yes" : "no"));
    failures += err != QNetworkReply::NoError;

    // 3. A request that hits its time limit.
    QElapsedTimer clock;
    clock.start();
    TUKHttpService(base + QStringLiteral("/delay/5")).setTimeout(1000).get(err);
    say(QStringLiteral("time limit 1000 ms: %1 after %2 ms (TimeoutError is %3)")
            .arg(outcome(err))
            .arg(clock.elapsed())
            .arg(int(QNetworkReply::TimeoutError)));
    failures += err != QNetworkReply::TimeoutError;

    // 4. Callback GET: the call returns at once, the answer arrives from the event loop.
    TUKHttpService async(base + QStringLiteral("/uuid"));
    async.get(
        [&](const QString& body) {
            say(QStringLiteral("callback GET      : ok  %1").arg(firstLine(body)));
            app.quit();
        },
        [&](QNetworkReply::NetworkError code, const QString& why) {
            say(QStringLiteral("callback GET      : error %1 %2").arg(int(code)).arg(why));
            ++failures;
            app.quit();
        });
    say(QStringLiteral("callback GET      : started, waiting for the event loop"));
    QTimer::singleShot(20000, &app, [&] {
        say(QStringLiteral("callback GET      : no answer in 20 s"));
        ++failures;
        app.quit();
    });
    app.exec();

    // 5. Cloud helpers: cookies go out from a map; a 302 is followed by the library itself.
    QMap<QString, QString> cookies;
    text = TUKCloudHttpUtils::get(base + QStringLiteral("/cookies"),
                                  {{QStringLiteral("session"), QStringLiteral("demo42")}}, cookies);
    say(QStringLiteral("cloud GET cookies : %1  server saw session=demo42: %2")
            .arg(text.isEmpty() ? QStringLiteral("failed") : QStringLiteral("ok"))
            .arg(text.contains(QStringLiteral("demo42")) ? "yes" : "no"));
    failures += !text.contains(QStringLiteral("demo42"));
    const QString target =
        QString::fromLatin1(QUrl::toPercentEncoding(base + QStringLiteral("/get?followed=1")));
    text = TUKCloudHttpUtils::get(
        base + QStringLiteral("/redirect-to?status_code=302&url=") + target, {}, cookies);
    say(QStringLiteral("cloud GET + 302   : %1  landed on the target: %2")
            .arg(text.isEmpty() ? QStringLiteral("failed") : QStringLiteral("ok"))
            .arg(text.contains(QStringLiteral("followed")) ? "yes" : "no"));
    failures += !text.contains(QStringLiteral("followed"));

    if (!fileUrl.isEmpty()) {
        // 6. Remote-file probes.
        const qint64 size = TUKCloudHttpUtils::getRemoteFileSize(fileUrl);
        say(QStringLiteral("remote file       : %1 bytes, byte ranges %2")
                .arg(size)
                .arg(TUKCloudHttpUtils::isSupportResumeDownload(fileUrl) ? "served"
                                                                         : "not served"));
        failures += size <= 0;

        // 7. Streaming download: pieces go to a callback, nothing is kept in memory.
        qint64 received = 0;
        bool finished = false;
        clock.restart();
        TUKHttpService(fileUrl).setTimeout(60000).downloadSync(
            [&](const QByteArray& chunk, bool&) { received += chunk.size(); },
            [&](QNetworkReply*) { finished = true; }, nullptr,
            [&](QNetworkReply::NetworkError code, const QString& why) {
                say(QStringLiteral("download error %1: %2").arg(int(code)).arg(why));
            });
        say(QStringLiteral("streaming download: %1 bytes in %2 ms, finished %3, peak RSS %4 MiB")
                .arg(received)
                .arg(clock.elapsed())
                .arg(finished ? "yes" : "no")
                .arg(peakRssMiB(), 0, 'f', 1));
        failures += !finished || received != size;

        // 8. Download manager: one URL into one file, driven by signals.
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("copy.bin"));
        TUKDownloadManager manager;
        QObject::connect(&manager, &TUKDownloadManager::sigDownloadEnd, &app,
                         &QCoreApplication::quit);
        manager.downloadFile(fileUrl, target);
        QTimer::singleShot(60000, &app, &QCoreApplication::quit);
        app.exec();
        say(QStringLiteral("download manager  : %1 bytes written").arg(QFileInfo(target).size()));
        failures += QFileInfo(target).size() != size;
    }

    // 9. A crash-guarded worker thread whose work throws.
    CrashingWorker worker;
    QObject::connect(&worker, &QThread::finished, &app, &QCoreApplication::quit);
    worker.start();
    app.exec();
    say(QStringLiteral("guarded thread    : %1 threw, finished normally, process alive")
            .arg(worker.objectName()));

    say(QStringLiteral("network monitor   : verdict after the probes so far: %1")
            .arg(monitor->isConnect() ? QStringLiteral("on line") : QStringLiteral("off line")));

    say(failures == 0 ? QStringLiteral("demo finished: all steps behaved as expected")
                      : QStringLiteral("demo finished: %1 step(s) misbehaved").arg(failures));
    return failures == 0 ? 0 : 1;
}

#include "tuk_demo.moc"
