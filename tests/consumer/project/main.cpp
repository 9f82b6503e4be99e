// Uses the installed library the way an application would; exits 0 when everything is as expected.
#include <TUKCloudUtils/TUKCloudUtils.h>

#include <QCoreApplication>
#include <QTcpServer>

#include <cstdio>

static int check(bool ok, const char* what)
{
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    return ok ? 0 : 1;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int failures = 0;

    TUKHttpService svc;
    failures += check(svc.qt_metacast("TUKHttpService") == &svc, "meta-object answers its name");
    failures += check(svc.qt_metacast("QObject") == &svc, "meta-object defers to QObject");

    const TUKCloudInfo info = getCloudInfo();
    failures += check(info.nValue == 0 && info.strValue1.isEmpty() && info.strValue6.isEmpty(),
                      "settings record starts empty");

    // A loopback port with nobody listening: the request fails fast with a clear code.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QNetworkReply::NetworkError err = QNetworkReply::NoError;
    const QString body =
        svc.setUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port)).setTimeout(10000).get(err);
    failures += check(body.isEmpty() && err == QNetworkReply::ConnectionRefusedError,
                      "refused connection reported");
    return failures;
}
