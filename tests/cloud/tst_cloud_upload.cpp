// uploadFileToPYX(): the multipart request byte for byte, the answers it accepts, and the inputs
// it refuses before sending anything.

#include <TUKCloudUtils/TUKCloudHttpUtils.h>

#include "RawHttpServer.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using tuktest::RawHttpServer;
using tuktest::RawRequest;

namespace {

// The body the file store must receive, built independently of Qt's multipart writer.
QByteArray expectedBody(const QByteArray& boundary, const QByteArray& token,
                        const QByteArray& fileName, const QByteArray& contentType,
                        const QByteArray& content)
{
    const QByteArray sep = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"";
    QByteArray b = sep + "access_token\"\r\n\r\n" + token + "\r\n";
    b += sep + "project_name\"\r\n\r\nkpl_web\r\n";
    b += sep + "upload_file\"; filename=\"" + fileName + "\"\r\n";
    if (!contentType.isEmpty())
        b += "Content-Type: " + contentType + "\r\n";
    return b + "\r\n" + content + "\r\n--" + boundary + "--\r\n";
}

} // namespace

class TestCloudUpload : public QObject
{
    Q_OBJECT

    RawHttpServer m_raw;
    QTemporaryDir m_dir;

    QString makeFile(const QString& name, const QByteArray& content)
    {
        QFile f(m_dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? f.fileName()
                                                                                  : QString();
    }
    QString upload(const QString& url, const QString& path, const QString& token = "t",
                   const QString& type = QString())
    {
        return TUKCloudHttpUtils::uploadFileToPYX(url, token, path, type);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_raw.start());
    }

    void requestIsExact_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("contentType");
        QTest::addColumn<QByteArray>("content");

        QByteArray random(3 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator gen(4711);
        for (char& c : random)
            c = char(gen.bounded(256));
        const struct
        {
            const char* row;
            QString token, fileName, contentType;
            QByteArray content;
        } rows[] = {
            {"png", "tok-123", "pic.png", "image/png", QByteArray("\x89PNG\r\n\x1a\n", 8)},
            {"no content type", "tok", "notes.txt", QString(), "line one\r\nline two\n"},
            {"empty token, empty file", QString(), "empty.bin", "application/octet-stream", ""},
            {"non-ASCII and quote in name, non-ASCII token", QStringLiteral("j\u00e9ton"),
             QStringLiteral("Bericht \"gr\u00f6\u00dfe\" \u62a5\u544a.txt"), QString(), "x"},
            {"3 MiB of random bytes", "t", "blob.dat", "application/zip", random}};
        for (const auto& r : rows)
            QTest::newRow(r.row) << r.token << r.fileName << r.contentType << r.content;
    }

    void requestIsExact()
    {
        QFETCH(QString, token);
        QFETCH(QString, fileName);
        QFETCH(QString, contentType);
        QFETCH(QByteArray, content);

        const QString path = makeFile(fileName, content);
        QVERIFY(!path.isEmpty());
        m_raw.setHandler([](const RawRequest&) {
            return RawHttpServer::reply(200, "{\"ok\":true}",
                                        {{"Content-Type", "application/json"}});
        });

        const int before = m_raw.requestCount();
        const QString stampFormat = QStringLiteral("yyyyMMddhhmmsszzz");
        const QString earliest = QDateTime::currentDateTime().toString(stampFormat);
        QCOMPARE(upload(m_raw.url("/upload?app=1"), path, token, contentType),
                 QStringLiteral("{\"ok\":true}"));
        const QString latest = QDateTime::currentDateTime().toString(stampFormat);

        const QList<RawRequest> requests = m_raw.requests().mid(before);
        QCOMPARE(requests.size(), 1);
        const RawRequest& r = requests.first();
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.target, QByteArray("/upload?app=1"));
        QCOMPARE(
            r.header("User-Agent"),
            QByteArray("Mozilla/5.0 (Windows NT 6.3; WOW64) AppleWebKit/537.1 (KHTML, like Gecko) "
                       "Chrome/21.0.1180.89 Safari/537.1"));
        QCOMPARE(r.headerCount("Cookie"), 0);
        QCOMPARE(r.header("MIME-Version"), QByteArray("1.0"));

        // The boundary: sixteen hyphens and the local time of the call, no quotes.
        QCOMPARE(r.headerCount("Content-Type"), 1);
        const QByteArray type = r.header("Content-Type");
        const QByteArray prefix = "multipart/form-data;boundary=";
        QVERIFY2(type.startsWith(prefix), type.constData());
        const QByteArray boundary = type.mid(prefix.size());
        QVERIFY2(QRegularExpression("^-{16}[0-9]{17}$").match(boundary).hasMatch(),
                 boundary.data());
        const QString stamp = QString::fromLatin1(boundary.mid(16));
        QVERIFY2(earliest <= stamp && stamp <= latest, qPrintable(stamp));

        const QByteArray expected = expectedBody(boundary, token.toUtf8(), fileName.toUtf8(),
                                                 contentType.toUtf8(), content);
        QCOMPARE(r.header("Content-Length"), QByteArray::number(expected.size()));
        QCOMPARE(r.bodySize, qint64(expected.size()));
        // In slices, to show where they part rather than two huge arrays.
        for (int at = 0; at < qMax(r.body.size(), expected.size()); at += 64)
            QVERIFY2(r.body.mid(at, 64) == expected.mid(at, 64),
                     qPrintable(QStringLiteral("from byte %1: %2 instead of %3")
                                    .arg(at)
                                    .arg(QString(r.body.mid(at, 64).toPercentEncoding()),
                                         QString(expected.mid(at, 64).toPercentEncoding()))));
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("expected");

        const auto reply = [](int status, const QByteArray& body,
                              const QList<QPair<QByteArray, QByteArray>>& headers = {}) {
            return RawHttpServer::reply(status, body, headers).bytes;
        };
        QTest::newRow("201 UTF-8")
            << reply(201, "cr\xc3\xa9\xc3\xa9", {{"Content-Type", "text/plain; charset=UTF-8"}})
            << QStringLiteral("cr\u00e9\u00e9");
        // Not followed: the redirect's own body is the answer.
        QTest::newRow("302") << reply(302, "see other place",
                                      {{"Location", "http://127.0.0.1:1/x"}})
                             << QStringLiteral("see other place");
        QTest::newRow("200 empty body") << reply(200, "") << QString();
        QTest::newRow("404") << reply(404, "not here") << QString();
        QTest::newRow("500") << reply(500, "broken") << QString();
        QTest::newRow("closed without answer") << QByteArray() << QString();
    }

    void answers()
    {
        QFETCH(QByteArray, response);
        QFETCH(QString, expected);

        m_raw.setHandler([response](const RawRequest&) { return tuktest::RawResponse{response}; });
        const int before = m_raw.requestCount();
        QCOMPARE(upload(m_raw.url("/up"), makeFile("answer.txt", "payload")), expected);
        QVERIFY(m_raw.requestCount() - before >= 1);
        QCOMPARE(m_raw.requests().last().target, QByteArray("/up"));
    }

    void refusedInputsSendNothing()
    {
        m_raw.setHandler([](const RawRequest&) { return RawHttpServer::reply(200, "stored"); });
        const QString good = makeFile(QStringLiteral("good.txt"), "content");
        QVERIFY(!good.isEmpty());
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder")));
        const QString url = m_raw.url("/up");
        const int connections = m_raw.connectionCount();

        // Bad URLs; a missing file, no file, and one that exists but cannot be opened (a folder).
        QList<QPair<QString, QString>> refused{{QString(), good},
                                               {m_raw.url() + ":9/up", good},
                                               {url, m_dir.filePath("missing.txt")},
                                               {url, QString()},
                                               {url, m_dir.filePath("folder")}};
        // A file without read permission only binds a process that is not root.
        if (::geteuid() != 0) {
            refused.append({url, makeFile("locked.txt", "secret")});
            QVERIFY(QFile::setPermissions(refused.last().second, QFileDevice::WriteOwner));
        }
        for (const auto& [u, file] : refused)
            QVERIFY2(upload(u, file).isEmpty(), qPrintable(u + " " + file));

        // One good upload afterwards is the only connection the server sees.
        QCOMPARE(upload(url, good), QStringLiteral("stored"));
        QCOMPARE(m_raw.connectionCount() - connections, 1);
    }
};

QTEST_GUILESS_MAIN(TestCloudUpload)
#include "tst_cloud_upload.moc"
