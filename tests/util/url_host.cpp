// Host program for the URL launcher tests, run as a child process with a PATH of the test's
// choosing:
//   tuk_url_host none|core|gui [--handle SCHEME] TEXT...
// builds no application, a QCoreApplication or a QGuiApplication, optionally registers a
// QDesktopServices handler for SCHEME (it prints "handled:<url>" on standard output), then calls
// executeURL() once for each TEXT, in order, and exits with 0.
#include <TUKCloudUtils/TUKFileUtils.h>

#include <QDesktopServices>
#include <QGuiApplication>
#include <QUrl>

#include <cstdio>
#include <cstring>
#include <memory>

class UrlHandler : public QObject
{
    Q_OBJECT

public slots:
    void open(const QUrl& url)
    {
        std::printf("handled:%s\n", url.toString().toUtf8().constData());
        std::fflush(stdout);
    }
};

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    std::unique_ptr<QCoreApplication> app;
    if (std::strcmp(argv[1], "core") == 0)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else if (std::strcmp(argv[1], "gui") == 0)
        app = std::make_unique<QGuiApplication>(argc, argv);
    else if (std::strcmp(argv[1], "none") != 0)
        return 2;

    UrlHandler handler;
    QString scheme;
    int first = 2;
    if (argc > 3 && std::strcmp(argv[2], "--handle") == 0) {
        scheme = QString::fromUtf8(argv[3]);
        QDesktopServices::setUrlHandler(scheme, &handler, "open");
        first = 4;
    }
    for (int i = first; i < argc; ++i)
        executeURL(QString::fromUtf8(argv[i]));
    if (!scheme.isEmpty())
        QDesktopServices::unsetUrlHandler(scheme);
    return 0;
}

#include "url_host.moc"
