// TUKCloudHttpUtils against our server: exact requests, redirects, odd answers, a certificate Qt
// does not trust.
#include <TUKCloudUtils/TUKCloudHttpUtils.h>

#include "TestSupport.h"

using namespace tuktest;
using Http = TUKCloudHttpUtils;
using Cookies = QMap<QString, QString>;

namespace {

const QByteArray kAgent = "Mozilla/5.0 (Windows NT 6.3; WOW64) AppleWebKit/537.1 (KHTML, like "
                          "Gecko) Chrome/21.0.1180.89 Safari/537.1";

// Redirect chains; everything else answers "ok" and sets a cookie.
Reply route(const Request& r)
{
    const QByteArray base = "http://" + r.header("Host"), hop = r.target.mid(5);
    if (r.target == "/start")
        return reply(
            302, "",
            {{"Set-Cookie", "sid=x"}, {"Set-Cookie", "hop=1"}, {"Location", base + "/end"}});
    if (r.target == "/moved")
        return reply(302, "", {{"Location", base + "/big"}});
    if (r.target == "/big") // a file beyond 32 bits, served by ranges
        return r.method == "HEAD" ? reply(200, "", {{"Content-Length", "5000000000"}})
                                  : reply(206, "ab", {{"Content-Range", "bytes 0-1/5000000000"}});
    if (r.target.startsWith("/status/"))
        return reply(r.target.mid(8).toInt(), "page");
    if (r.target == "/loop")
        return reply(302, "", {{"Location", base + "/loop"}});
    if (r.target == "/slow") // the last 20 of 30 bytes in two parts, 200 and 400 ms later
        return {"HTTP/1.1 200 OK\r\nContent-Length: 30\r\n\r\n0123456789",
                {"abcdefghij", "KLMNOPQRST"}};
    if (!r.target.startsWith("/hop/") || hop == "0")
        return reply(200, r.target.startsWith("/hop/") ? "end" : "ok", {{"Set-Cookie", "last=1"}});
    return reply(302, "",
                 {{"Location", base + "/hop/" + QByteArray::number(hop.toInt() - 1)},
                  {"Set-Cookie", "n" + hop + "=1"}});
}

QString trace(const Request& r) // "METHOD target|Cookie|Content-Type|body"
{
    return r.method + " " + r.target + "|" + r.header("Cookie") + "|" + r.header("Content-Type") +
           "|" + r.body;
}

struct Post
{
    const char* name;
    std::function<QString(const QString& url, Cookies& in, Cookies& out)> call;
    QString sent;
};
} // namespace

Q_DECLARE_METATYPE(Post)

class TestCloud : public QObject
{
    Q_OBJECT

    TestServer m_server{route};
    TestServer m_tls{route, true};
    QTemporaryDir m_dir;
    QString url(const QString& path) const { return m_server.url(path); }

private slots:
    void init() { m_server.handler = route; }

    // One Cookie header in key order, without entries whose name or value is empty; the output
    // map emptied first; the items of a list joined with "&", taken as they are.
    void requestAsSent_data()
    {
        const QString c = "|Z=z; b=2; n=d\u00e9j\u00e0; sid=abc|";
        const auto list = [](const QStringList& items) {
            return [=](auto& u, auto& in, auto& out) {
                return Http::post(u, items, "t/p", in, out);
            };
        };
        addRows<Post>(
            {{"get", [](auto& u, auto& in, auto& out) { return Http::get(u, in, out); },
              "GET /p?q=1" + c + "|"},
             {"post",
              [](auto& u, auto& in, auto& out) { return Http::post(u, "k=%20", "", in, out); },
              "POST /p?q=1" + c + "application/x-www-form-urlencoded|k=%20"},
             {"list", list({"", "", "q=a b&c", "n=\u00fc", "", "b"}),
              "POST /p?q=1" + c + "t/p|q=a b&c&n=\u00fc&&b"},
             {"empty list", list({}), "POST /p?q=1" + c + "t/p|"}});
    }
    void requestAsSent()
    {
        QFETCH(Post, row);
        Cookies in{{"sid", "abc"}, {"lang", ""}, {"", "x"},
                   {"b", "2"},     {"Z", "z"},   {"n", "d\u00e9j\u00e0"}};
        Cookies out{{"stale", "1"}};
        QCOMPARE(row.call(url("/p?q=1"), in, out), "ok");
        QCOMPARE(out, (Cookies{{"last", "1"}}));
        const Request r = m_server.requests.constLast();
        QCOMPARE(trace(r), row.sent);
        QCOMPARE(r.header("User-Agent"), kAgent);
    }

    // A 302 is followed with a GET carrying only the cookies it set, twenty times at most, also
    // by the probes.
    void redirects()
    {
        Cookies in{{"caller", "c"}}, out{{"stale", "1"}};
        int before = m_server.requests.size();
        QCOMPARE(Http::post(url("/start"), QByteArray("p=1"), "a/b", in, out), "ok");
        QCOMPARE(out, (Cookies{{"last", "1"}}));
        QList<Request> sent = m_server.requests.mid(before);
        QCOMPARE(trace(sent.value(0)) + " " + trace(sent.value(1)) +
                     sent.value(1).header("User-Agent"),
                 "POST /start|caller=c|a/b|p=1 GET /end|hop=1; sid=x||" + kAgent);
        QCOMPARE(Http::get(url("/hop/20"), in, out), "end");
        before = m_server.requests.size();
        QCOMPARE(Http::get(url("/hop/21"), in, out), QString());
        QVERIFY(out.isEmpty());
        sent = m_server.requests.mid(before);
        QCOMPARE(trace(sent.last()) + QString::number(sent.size()), "GET /hop/1|n2=1||21");
        QCOMPARE(Http::getRemoteFileSize(url("/loop")) +
                     Http::isSupportResumeDownload(url("/loop")),
                 qint64(0));
        QCOMPARE(m_server.requests.size() - before, 3 * 21);
    }

    // Nothing is sent for a URL that does not parse, or a file that cannot be read; a refused
    // connection, an answer that is not HTTP (no status) or a status of 400 or more is a failure;
    // a body is waited for to its end.
    void failuresAndWaits()
    {
        const int requests = m_server.requests.size();
        const QString file = m_dir.filePath("small");
        QVERIFY(writeFile(file, "small"));
        Cookies in{{"sid", "abc"}}, out{{"stale", "1"}};
        for (const QString& u :
             {QString(), url(":9/x"), url("/").replace("127.0.0.1", "[1]"), refusedUrl()}) {
            QCOMPARE(Http::get(u, in, out) + Http::post(u, "a", "", in, out) +
                         Http::uploadFileToPYX(u, "", file, ""),
                     "");
            QCOMPARE(Http::getRemoteFileSize(u) + Http::isSupportResumeDownload(u), qint64(0));
        }
        for (const QString& unreadable : {file + "-", QString(), m_dir.path()})
            QCOMPARE(Http::uploadFileToPYX(url("/up"), "t", unreadable, ""), QString());
        QCOMPARE(Http::get(QUrl::fromLocalFile(file).toString(), in, out), QString());
        QVERIFY(out.isEmpty());
        QCOMPARE(m_server.requests.size(), requests);
        QCOMPARE(Http::get(url("/slow"), in, out), "0123456789abcdefghijKLMNOPQRST");
        QCOMPARE(Http::get(url("/status/399"), in, out) + Http::get(url("/status/400"), in, out),
                 "page");                                         // 200 to 399 are answers
        QCOMPARE(Http::get(m_tls.url("/x"), in, out), QString()); // the certificate is not trusted
    }

    // The size is the Content-Length of a 200 to a HEAD; the resume probe asks for two bytes and
    // judges the first thing it hears: it never reads a whole body that ignores the range.
    void probes()
    {
        QCOMPARE(Http::getRemoteFileSize(url("/moved")), 5000000000LL);
        QVERIFY(Http::isSupportResumeDownload(url("/moved")));
        QString seen;
        const QByteArray range = "Content-Range: bytes 0-1/9\r\n";
        for (const QByteArray& head :
             {QByteArray("200 OK\r\n"), "200 OK\r\n" + range, "200 OK\r\n" + range.toLower(),
              "206 P\r\n" + range, "204 E\r\n" + range, "416 R\r\n" + range}) {
            const QByteArray body = head.startsWith("20") && !head.startsWith("204") ? "ab" : "";
            m_server.handler = [=](const Request& r) {
                return Reply{"HTTP/1.1 " + head + "Content-Length: 2\r\n\r\n" +
                             (r.method == "GET" ? body : "")};
            };
            seen += QString::number(Http::getRemoteFileSize(url("/f")));
            const Request h = m_server.requests.constLast();
            seen += QString::number(Http::isSupportResumeDownload(url("/f"))) + " ";
            const Request g = m_server.requests.constLast();
            QCOMPARE(h.method + g.method + g.header("Range") + h.header("User-Agent"),
                     "HEADGETbytes=0-1" + kAgent);
        }
        QCOMPARE(seen, "20 21 21 01 01 00 ");
        // A first part of a body that ignores the range, then nothing: its progress report ends it.
        m_server.handler = [](const Request&) {
            return stall("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\na", {"b"});
        };
        QVERIFY(!Http::isSupportResumeDownload(url("/f")));
    }

    // The form, byte for byte: the token, the project, the file named as it is (quotes and all)
    // with its Content-Type line when given. No redirect is followed; failures give "".
    void upload()
    {
        const QString name = "Bericht \"gr\u00f6\u00dfe\".txt";
        const QByteArray content = pattern(3 * 1024 * 1024);
        QVERIFY(writeFile(m_dir.filePath(name), content) && writeFile(m_dir.filePath("e"), ""));
        QCOMPARE(Http::uploadFileToPYX(url("/up"), "j\u00e9ton", m_dir.filePath(name), "a/b"),
                 "ok");
        QCOMPARE(Http::uploadFileToPYX(url("/up"), "", m_dir.filePath("e"), ""), "ok");
        QStringList forms;
        for (Request r : m_server.requests.mid(m_server.requests.size() - 2)) {
            const QByteArray type = r.header("Content-Type"), boundary = type.mid(29);
            QVERIFY(type.startsWith("multipart/form-data;boundary=----------------"));
            forms << QString::fromUtf8(r.body.replace(boundary, "B").replace(content, "C"));
        }
        const QString part = "--B\r\nContent-Disposition: form-data; name=\"";
        QCOMPARE(forms.join(""),
                 part + "access_token\"\r\n\r\nj\u00e9ton\r\n" + part +
                     "project_name\"\r\n\r\nkpl_web\r\n" + part + "upload_file\"; filename=\"" +
                     name + "\"\r\nContent-Type: a/b\r\n\r\nC\r\n--B--\r\n" + part +
                     "access_token\"\r\n\r\n\r\n" + part + "project_name\"\r\n\r\nkpl_web\r\n" +
                     part + "upload_file\"; filename=\"e\"\r\n\r\n\r\n--B--\r\n");
        QStringList answers;
        for (const Reply& answer :
             {reply(201, "cr\xc3\xa9", {{"Content-Type", "charset=UTF-8"}}),
              reply(302, "see", {{"Location", url("/x").toUtf8()}}), reply(399, "399"),
              reply(400, "no"), Reply(),
              Reply{"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\ncut", {""}}}) {
            m_server.handler = [=](const Request&) {
                return answer;
            };
            answers << Http::uploadFileToPYX(url("/up"), "t", m_dir.filePath("e"), "");
        }
        QCOMPARE(answers, QStringList({"cr\u00e9", "see", "399", "", "", ""}));
    }
};

QTEST_GUILESS_MAIN(TestCloud)
#include "tst_cloud.moc"
