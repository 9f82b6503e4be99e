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
using Headers = QList<QPair<QByteArray, QByteArray>>;

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(4711);
    for (char& c : bytes)
        c = char(gen.bounded(256));
    return bytes;
}

// The body the file store must receive, built independently of Qt's multipart writer.
QByteArray expectedBody(const QByteArray& boundary, const QByteArray& token,
                        const QByteArray& fileName, const QByteArray& contentType,
                        const QByteArray& content)
{
    QByteArray b;
    b += "--" + boundary + "\r\n";
    b += "Content-Disposition: form-data; name=\"access_token\"\r\n\r\n";
    b += token + "\r\n";
    b += "--" + boundary + "\r\n";
    b += "Content-Disposition: form-data; name=\"project_name\"\r\n\r\n";
    b += "kpl_web\r\n";
    b += "--" + boundary + "\r\n";
    b += "Content-Disposition: form-data; name=\"upload_file\"; filename=\"" + fileName + "\"\r\n";
    if (!contentType.isEmpty())
        b += "Content-Type: " + contentType + "\r\n";
    b += "\r\n";
    b += content + "\r\n";
    b += "--" + boundary + "--\r\n";
    return b;
}

} // namespace

class TestCloudUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void requestIsExact_data();
    void requestIsExact();
    void answers_data();
    void answers();
    void refusedInputsSendNothing();

private:
    QString makeFile(const QString& name, const QByteArray& content);

    RawHttpServer m_raw;
    QTemporaryDir m_dir;
};

void TestCloudUpload::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_raw.start());
}

QString TestCloudUpload::makeFile(const QString& name, const QByteArray& content)
{
    const QString path = m_dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return QString();
    return path;
}

void TestCloudUpload::requestIsExact_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("contentType");
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("png") << QStringLiteral("tok-123") << QStringLiteral("pic.png")
                         << QStringLiteral("image/png") << QByteArray("\x89PNG\r\n\x1a\n", 8);
    QTest::newRow("no content type") << QStringLiteral("tok") << QStringLiteral("notes.txt")
                                     << QString() << QByteArray("line one\r\nline two\n");
    QTest::newRow("empty token, empty file")
        << QString() << QStringLiteral("empty.bin") << QStringLiteral("application/octet-stream")
        << QByteArray();
    QTest::newRow("non-ASCII and quote in name, non-ASCII token")
        << QStringLiteral("j\u00e9ton")
        << QStringLiteral("Bericht \"gr\u00f6\u00dfe\" \u62a5\u544a.txt") << QString()
        << QByteArray("x");
    QTest::newRow("3 MiB of random bytes")
        << QStringLiteral("t") << QStringLiteral("blob.dat") << QStringLiteral("application/zip")
        << randomBytes(3 * 1024 * 1024);
}

void TestCloudUpload::requestIsExact()
{
    QFETCH(QString, token);
    QFETCH(QString, fileName);
    QFETCH(QString, contentType);
    QFETCH(QByteArray, content);

    const QString path = makeFile(fileName, content);
    QVERIFY(!path.isEmpty());
    m_raw.setHandler([](const RawRequest&) {
        return RawHttpServer::reply(200, "{\"ok\":true}", {{"Content-Type", "application/json"}});
    });

    const int before = m_raw.requestCount();
    const QString stampFormat = QStringLiteral("yyyyMMddhhmmsszzz");
    const QString earliest = QDateTime::currentDateTime().toString(stampFormat);
    const QString result = TUKCloudHttpUtils::uploadFileToPYX(
        m_raw.url(QStringLiteral("/upload?app=1")), token, path, contentType);
    const QString latest = QDateTime::currentDateTime().toString(stampFormat);
    QCOMPARE(result, QStringLiteral("{\"ok\":true}"));

    const QList<RawRequest> requests = m_raw.requests().mid(before);
    QCOMPARE(requests.size(), 1);
    const RawRequest& r = requests.first();
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.target, QByteArray("/upload?app=1"));
    QCOMPARE(r.header("User-Agent"),
             QByteArray("Mozilla/5.0 (Windows NT 6.3; WOW64) AppleWebKit/537.1 (KHTML, like Gecko) "
                        "Chrome/21.0.1180.89 Safari/537.1"));
    QCOMPARE(r.headerCount("Cookie"), 0);
    QCOMPARE(r.header("MIME-Version"), QByteArray("1.0"));

    // The boundary: sixteen hyphens and the local time of the call, 33 characters, no quotes.
    QCOMPARE(r.headerCount("Content-Type"), 1);
    const QByteArray type = r.header("Content-Type");
    const QByteArray prefix = "multipart/form-data;boundary=";
    QVERIFY2(type.startsWith(prefix), type.constData());
    const QByteArray boundary = type.mid(prefix.size());
    QCOMPARE(boundary.size(), 33);
    QVERIFY2(QRegularExpression(QStringLiteral("^-{16}[0-9]{17}$"))
                 .match(QString::fromLatin1(boundary))
                 .hasMatch(),
             boundary.constData());
    const QString stamp = QString::fromLatin1(boundary.mid(16));
    QVERIFY2(earliest <= stamp && stamp <= latest, qPrintable(stamp));

    const QByteArray expected =
        expectedBody(boundary, token.toUtf8(), fileName.toUtf8(), contentType.toUtf8(), content);
    QCOMPARE(r.header("Content-Length"), QByteArray::number(expected.size()));
    QCOMPARE(r.bodySize, qint64(expected.size()));
    if (r.body != expected) {
        // Show where they part instead of two huge arrays.
        int at = 0;
        while (at < qMin(r.body.size(), expected.size()) && r.body[at] == expected[at])
            ++at;
        QFAIL(qPrintable(QStringLiteral("bodies differ at byte %1: got \"%2\", expected \"%3\"")
                             .arg(at)
                             .arg(QString::fromLatin1(r.body.mid(at, 60).toPercentEncoding()))
                             .arg(QString::fromLatin1(expected.mid(at, 60).toPercentEncoding()))));
    }
}

void TestCloudUpload::answers_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QString>("expected");

    QTest::newRow("201 UTF-8") << RawHttpServer::reply(
                                      201, "cr\xc3\xa9\xc3\xa9",
                                      {{"Content-Type", "text/plain; charset=UTF-8"}})
                                      .bytes
                               << QStringLiteral("cr\u00e9\u00e9");
    // Not followed: the redirect's own body is the answer.
    QTest::newRow("302") << RawHttpServer::reply(302, "see other place",
                                                 {{"Location", "http://127.0.0.1:1/never"}})
                                .bytes
                         << QStringLiteral("see other place");
    QTest::newRow("200 empty body") << RawHttpServer::reply(200, "").bytes << QString();
    QTest::newRow("404") << RawHttpServer::reply(404, "not here").bytes << QString();
    QTest::newRow("500") << RawHttpServer::reply(500, "broken").bytes << QString();
    QTest::newRow("closed without answer") << QByteArray() << QString();
}

void TestCloudUpload::answers()
{
    QFETCH(QByteArray, response);
    QFETCH(QString, expected);

    const QString path = makeFile(QStringLiteral("answer.txt"), "payload");
    QVERIFY(!path.isEmpty());
    m_raw.setHandler([response](const RawRequest&) {
        tuktest::RawResponse r;
        r.bytes = response;
        return r;
    });
    const int before = m_raw.requestCount();
    QCOMPARE(TUKCloudHttpUtils::uploadFileToPYX(m_raw.url(QStringLiteral("/up")),
                                                QStringLiteral("t"), path, QString()),
             expected);
    QVERIFY(m_raw.requestCount() - before >= 1);
    QCOMPARE(m_raw.requests().last().target, QByteArray("/up"));
}

void TestCloudUpload::refusedInputsSendNothing()
{
    m_raw.setHandler([](const RawRequest&) { return RawHttpServer::reply(200, "stored"); });
    const QString good = makeFile(QStringLiteral("good.txt"), "content");
    QVERIFY(!good.isEmpty());
    const QString url = m_raw.url(QStringLiteral("/up"));
    const int connections = m_raw.connectionCount();

    QCOMPARE(TUKCloudHttpUtils::uploadFileToPYX(QString(), QStringLiteral("t"), good, QString()),
             QString());
    QCOMPARE(TUKCloudHttpUtils::uploadFileToPYX(
                 QStringLiteral("http://127.0.0.1:%1:9/up").arg(m_raw.port()), QStringLiteral("t"),
                 good, QString()),
             QString());
    QCOMPARE(TUKCloudHttpUtils::uploadFileToPYX(url, QStringLiteral("t"),
                                                m_dir.filePath(QStringLiteral("missing.txt")),
                                                QString()),
             QString());
    QCOMPARE(TUKCloudHttpUtils::uploadFileToPYX(url, QStringLiteral("t"), QString(), QString()),
             QString());
    // Exists but cannot be opened for reading: a folder.
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder")));
    QCOMPARE(TUKCloudHttpUtils::uploadFileToPYX(
                 url, QStringLiteral("t"), m_dir.filePath(QStringLiteral("folder")), QString()),
             QString());
    // And a file without read permission, which only binds a process that is not root.
    if (::geteuid() != 0) {
        const QString locked = makeFile(QStringLiteral("locked.txt"), "secret");
        QVERIFY(QFile::setPermissions(locked, QFileDevice::WriteOwner));
        QCOMPARE(TUKCloudHttpUtils::uploadFileToPYX(url, QStringLiteral("t"), locked, QString()),
                 QString());
    }

    // One good upload afterwards is the only connection the server sees.
    QCOMPARE(TUKCloudHttpUtils::uploadFileToPYX(url, QStringLiteral("t"), good, QString()),
             QStringLiteral("stored"));
    QCOMPARE(m_raw.connectionCount() - connections, 1);
}

QTEST_GUILESS_MAIN(TestCloudUpload)
#include "tst_cloud_upload.moc"
