// Example host program: shows the library's main jobs against a web service.
// Usage: tuk_demo HTTPBIN_BASE_URL [LARGE_FILE_URL]
#include <TUKCloudUtils/TUKCloudUtils.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s HTTPBIN_BASE_URL [LARGE_FILE_URL]\n", argv[0]);
        return 2;
    }
    const QString base = QString::fromLocal8Bit(argv[1]);
    int failures = 0;

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

    say(failures == 0 ? QStringLiteral("demo finished: all steps behaved as expected")
                      : QStringLiteral("demo finished: %1 step(s) misbehaved").arg(failures));
    return failures == 0 ? 0 : 1;
}
