// Uses the installed library the way an application would; exits 0 when everything is as expected.
#include <TUKCloudUtils/TUKCloudUtils.h>

#include <QCoreApplication>
#include <QTcpServer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTcpServer closed; // a loopback port where nobody listens: the request fails at once
    closed.listen(QHostAddress::LocalHost);
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort());
    closed.close();
    TUKHttpService svc;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    const bool ok = svc.qt_metacast("TUKHttpService") == &svc && getCloudInfo().nValue == 0 &&
                    svc.setUrl(url).setTimeout(10000).get(error).isEmpty() &&
                    error == QNetworkReply::ConnectionRefusedError;
    std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
