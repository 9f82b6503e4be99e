// TUKHttpService and TUKDownloadManager against our server, over http and https: exact request
// bytes, failing and stalling peers.
#include <TUKCloudUtils/TUKCloudHttpUtils.h>
#include <TUKCloudUtils/TUKDownloadManager.h>
#include <TUKCloudUtils/TUKHttpService.h>

#include "TestSupport.h"

using namespace tuktest;
using Error = QNetworkReply::NetworkError;
using Call = std::function<QString(TUKHttpService&, Error&)>; // the text and error delivered
#define CALL(...)                                                                                  \
    Call([=]([[maybe_unused]] TUKHttpService& s, [[maybe_unused]] Error& e) { return __VA_ARGS__; })

namespace {

const QByteArray kPartial = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789";
const QString kGbk = "中文测试";
const QByteArray kBig = tuktest::pattern(6 * 1024 * 1024 + 123);

QString name(Error e)
{
    return e ? QMetaEnum::fromType<Error>().valueToKey(e) : "";
}

// What a transfer reported, in order ("ok:<answer>", "finished", error names), and its body.
struct Transfer
{
    QStringList log;
    QByteArray body;
    bool stop; // at the first piece of a download
    std::function<void(const QByteArray&, bool&)> data;
    std::function<void(QString)> ok;
    std::function<void()> finished;
    std::function<void(Error, const QString&)> error;
    explicit Transfer(bool atFirstPiece = false)
        : stop(atFirstPiece), data([this](const QByteArray& p, bool& s) { body += p, s = stop; }),
          ok([this](QString answer) { log << "ok:" + answer; }),
          finished([this] { log << "finished"; }), error([this](Error e, auto) { log << name(e); })
    {}

    void download(TUKHttpService& svc, bool async)
    {
        if (!async)
            return svc.setTimeout(20000).downloadSync(
                data, [this](auto) { finished(); }, {}, error);
        svc.downloadAsync(data, finished, nullptr, error);
        QVERIFY(log.isEmpty() && body.isEmpty()); // nothing before the caller's event loop runs
        QTRY_VERIFY_WITH_TIMEOUT(!log.isEmpty() || (stop && !body.isEmpty()), 20000);
    }
};

Reply serve(const Request& r)
{
    static const QMap<QByteArray, Reply> fixed{
        {"/stall", stall()},
        {"/partial", stall(kPartial)}, // ten bytes of a hundred, then nothing
        {"/short", {kPartial, {""}}},  // the same, closed 200 ms later: Qt may call that a success
        {"/close", {}},
        {"/loop", reply(302, "loop", {{"Location", "/loop"}})}, // not followed
        {"/ten", reply(200, "0123456789")}};
    if (fixed.contains(r.target))
        return fixed[r.target];
    if (r.target == "/exit") // the application told to exit before any answer
        return QCoreApplication::exit(), stall();
    if (r.target.startsWith("/range/")) { // "/range/FIRST-LAST/SENT": no length of its own
        const QList<QByteArray> range = r.target.mid(7).split('/');
        return {"HTTP/1.1 206 Part\r\nContent-Range: bytes " + range[0] + "/100\r\n\r\n" +
                QByteArray("0123456789").left(range[1].toInt())};
    }
    if (r.target.startsWith("/gbk")) // the configured codec decides, not the charset
        return reply(200, QTextCodec::codecForName("GBK")->fromUnicode(kGbk),
                     {{"Content-Type", "text/plain; charset=utf-8"}});
    if (r.target.startsWith("/status/"))
        return reply(r.target.mid(8).toInt(), "error page");
    if (r.target.startsWith("/big"))
        return reply(200, kBig);
    return reply(200, r.target == "/echo" ? "got " + QByteArray::number(r.body.size()) : "ok");
}

struct Wire
{
    const char* name;
    Call call;
    QString path, body, type, sent; // type: set with addHeader(); sent: "METHOD target|body|type"
};
struct Ending
{
    const char* name;
    Call call;
    QString url;
    int limit;
    bool exit; // the application is told to exit once an answer has begun
    QString outcome;
};

} // namespace

Q_DECLARE_METATYPE(Wire)
Q_DECLARE_METATYPE(Ending)

class TestHttp : public QObject
{
    Q_OBJECT

    TestServer m_server{serve}, m_tls{serve, true};
    QTemporaryDir m_dir;
    const QString m_refused = refusedUrl();

    QString last() const // "METHOD target|body|Content-Type" of the last request
    {
        const Request r = m_server.requests.constLast();
        return r.method + " " + r.target + "|" + r.body + "|" +
               r.header("Content-Type").replace("application/x-www-form-urlencoded", "form");
    }

private slots:

    // Where each call puts the parameters (a=1, b="x y"), which body and content type it sends;
    // a second run of the same object sends the same.
    void requestOnTheWire_data()
    {
        const QString query = "/p?a=1&b=x%20y";
        addRows<Wire>(
            {{"get", CALL(s.get(e)), "/p", "x", "", "GET " + query + "||"},
             {"URL with query", CALL(s.get(e)), "/p?x=1", "", "", "GET /p?x=1?a=1&b=x%20y||"},
             {"head", CALL(s.head(e)), "/p", "", "", "HEAD " + query + "||"},
             {"post", CALL(s.post(e)), "/p", "", "", "POST /p|a=1&b=x%20y|form"},
             {"post, body", CALL(s.post(e)), "/p", "é", "", "POST /p|é|form"},
             {"post, type", CALL(s.post(e)), "/p", "{}", "a/b", "POST /p|{}|a/b"},
             {"put", CALL(s.put(e)), "/p", "", "", "PUT /p|a=1&b=x%20y|form"},
             {"delete", CALL(s.deleteResource(e)), "/p", "x", "", "DELETE /p||form"},
             {"patch", CALL(s.patch(e)), "/p", "b", "", "PATCH " + query + "|b|"},
             {"download", CALL(Transfer().download(s, 0), ""), "/p", "x", "",
              "GET " + query + "||"},
             {"upload", CALL(s.uploadAppData("u", {}, {}, {}), ""), "/p", "x", "a/b",
              "POST /p|u|\tapplication/octet-stream"}});
    }
    void requestOnTheWire()
    {
        QFETCH(Wire, row);
        TUKHttpService svc(m_server.url(row.path));
        svc.setBody(row.body).addParam("a", "1").addParam("b", "x y").setTimeout(20000);
        if (!row.type.isEmpty())
            svc.addHeader("Content-Type", row.type);
        Error e = QNetworkReply::NoError;
        row.call(svc, e);
        const QString first = last();
        row.call(svc, e);
        QCOMPARE(name(e) + last(), row.sent);
        QCOMPARE(first, last());
    }

    // Every blocking call waits the same way: until the answer, an error, the time limit (never
    // earlier), or the application told to exit, which is an error or failure value, never part
    // of a body as the result.
    void endings_data()
    {
        const Call get = CALL(s.get(e));
        const Call download([](TUKHttpService& s, Error& e) {
            Transfer t;
            s.downloadSync(t.data, nullptr, nullptr, [&](Error c, auto) { e = c; });
            return QString(t.body);
        });
        const QString file = m_dir.filePath("f"), partial = m_server.url("/partial");
        QVERIFY(writeFile(file, "payload"));
        const Call cloudGet([partial](TUKHttpService&, Error&) {
            QMap<QString, QString> cookies;
            return TUKCloudHttpUtils::get(partial, cookies, cookies);
        });
        const QString status = m_server.url("/status/"), canceled = "OperationCanceledError|",
                      closed = "RemoteHostClosedError|";
        addRows<Ending>(
            {{"404", get, status + "404", -1, false, "ContentNotFoundError|"},
             {"418", get, status + "418", 0, false, "ProtocolInvalidOperationError|"},
             {"refused", get, m_refused, 0, false, "ConnectionRefusedError|"},
             {"empty URL", get, "", 0, false, "ProtocolUnknownError|"},
             {"redirect loop", get, m_server.url("/loop"), 0, false, "|loop"},
             {"unknown codec: UTF-8", CALL(s.setEncoding("no such codec").get(e)),
              m_server.url("/gbk"), 0, false,
              "|" + QString::fromUtf8(QTextCodec::codecForName("GBK")->fromUnicode(kGbk))},
             {"limit", get, m_server.url("/stall"), 1000, false, "TimeoutError|"},
             {"cut short", get, m_server.url("/short"), 0, false, closed},
             {"204", get, status + "204", 0, false, "|"}, // no body, whatever its length says
             {"range", get, m_server.url("/range/3-12/10"), 0, false, "|0123456789"},
             {"range, cut short", get, m_server.url("/range/0-10/10"), 0, false, closed},
             {"range of one byte, cut", get, m_server.url("/range/5-5/0"), 0, false, closed},
             {"download, limit", download, partial, 1000, false, "TimeoutError|0123456789"},
             {"exit", get, partial, 0, true, canceled},
             {"exit, no answer", get, m_server.url("/exit"), 0, false, canceled},
             {"download, exit", download, partial, 0, true, canceled + "0123456789"},
             {"upload, exit", CALL(s.uploadAppData("x", {}, {}, [&](Error c, auto) { e = c; }), ""),
              partial, 0, true, canceled},
             {"cloud get, exit", cloudGet, "", 0, true, "|"},
             {"cloud upload, exit",
              CALL(TUKCloudHttpUtils::uploadFileToPYX(partial, "t", file, "")), "", 0, true, "|"}});
    }
    void endings()
    {
        QFETCH(Ending, row);
        TUKHttpService svc(row.url);
        svc.setTimeout(row.limit);
        Error e = QNetworkReply::NoError;
        QElapsedTimer clock;
        clock.start();
        auto watch = std::make_unique<ReplyWatch>(row.exit);
        const QString text = row.call(svc, e);
        watch.reset();
        QVERIFY2(clock.elapsed() >= row.limit, qPrintable(QString::number(clock.elapsed())));
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        QCoreApplication::exec(); // until the application's own loop returns, waits end at once
        QCOMPARE(name(e) + "|" + text, row.outcome);
    }

    // Each outcome arrives once, after the verb has returned, decoded as set at that moment.
    // Replies are released once ended, whichever callbacks are empty.
    void callbacks()
    {
        ReplyWatch replies;
        QStringList log;
        const auto ok = std::function<void(QString)>([&](QString text) { log << text; });
        const auto fail = std::function<void(Error, QString)>(
            [&](Error e, QString text) { log << name(e) + ":" + text.left(5); });
        TUKHttpService post(m_server.url("/echo")), missing(m_server.url("/status/404")),
            late(m_server.url("/gbk")), refused(m_refused), none("");
        post.setBody("12345").post(ok, fail);
        missing.patch(ok, fail);
        late.get(ok, nullptr);
        late.setEncoding("GBK");
        refused.get(nullptr, nullptr);
        refused.post(nullptr, fail);
        none.get(ok, fail);
        post.get(nullptr, fail);
        QCOMPARE(log, QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(log.size(), 5, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(replies.alive(), 0, 20000); // so no outcome can follow
        log.sort();
        QCOMPARE(log, QStringList({"ConnectionRefusedError:Conne", "ContentNotFoundError:Error",
                                   "ProtocolUnknownError:Proto", "got 5", kGbk}));
    }

    // One outcome, after every piece, none for a transfer stopped at its first piece. An empty
    // data callback is refused, from the event loop for an asynchronous download.
    void downloads()
    {
        QStringList log; // each outcome, "*" marking a body that is not the file's
        for (const QString& url : {m_tls.url("/big").replace("https", "HTTPS"), m_server.url("/e"),
                                   m_server.url("/big?stop"), m_server.url("/status/404"),
                                   m_refused, m_server.url("/short"), QString()}) {
            for (bool async : {false, true}) {
                TUKHttpService svc(url);
                Transfer t(url.endsWith("stop"));
                t.download(svc, async);
                const bool whole = t.body == (url.contains("big") ? kBig : "ok");
                log << t.log.join(' ') + (whole || t.log != QStringList{"finished"} ? "" : "*");
            }
        }
        Transfer sync, later;
        TUKHttpService svc(m_server.url());
        svc.downloadSync(nullptr, nullptr, nullptr, sync.error);
        svc.downloadAsync(nullptr, nullptr, nullptr, later.error);
        log << sync.log.join(' ') + later.log.join(' ');
        QTRY_VERIFY_WITH_TIMEOUT(!later.log.isEmpty(), 20000);
        QCOMPARE(
            log << later.log.join(' '),
            QStringList({"finished", "finished", "finished", "finished", "", "",
                         "ContentNotFoundError", "ContentNotFoundError", "ConnectionRefusedError",
                         "ConnectionRefusedError", "RemoteHostClosedError", "RemoteHostClosedError",
                         "ProtocolUnknownError", "ProtocolUnknownError",
                         "ProtocolInvalidOperationError", "ProtocolInvalidOperationError"}));
    }

    // The body is the file or the bytes, nothing else; the outcome comes once, after every progress
    // report; https in any case means TLS 1.2, whatever was set. A file that cannot be read sends
    // nothing; a cancelled upload reports nothing more. Qt sends a file again, from its start,
    // when the server closes without answering.
    void uploads()
    {
        const QByteArray big = pattern(3 * 1024 * 1024 + 7);
        const QString file = m_dir.filePath("file"), echo = m_server.url("/echo");
        QVERIFY(writeFile(file, big));
        const int requests = m_server.requests.size();
        QStringList outcomes; // progress reports are "p"
        Transfer t;
        const QString tls = m_tls.url("/echo").replace("https", "HTTPS"),
                      close = m_server.url("/close"), stall = m_server.url("/stall");
        // Paths that cannot be sent, then the file, to echo; the file to the others (to stall,
        // cancelled at the first progress report).
        const QStringList urls{echo, echo, echo, echo, tls, close, stall, m_refused, ""},
            paths{m_dir.filePath("none"), m_dir.path(), "", file, file, file, file, file, file};
        for (int i = 0; i < urls.size(); ++i) {
            t.log.clear();
            TUKHttpService(urls[i])
                .setTimeout(20000)
                .setSslProtocol(QSsl::TlsV1_3)
                .upload(
                    paths[i], t.ok, t.finished,
                    [&](qint64, qint64, bool& stop) { t.log << "p", stop = urls[i] == stall; },
                    t.error);
            outcomes << t.log.join(' ').remove(QRegularExpression("^(p )*p?"));
        }
        for (const Request& r : m_server.requests.mid(requests))
            QVERIFY(r.body == big);
        t.log.clear();
        TUKHttpService(echo).uploadAppData(big, t.ok, t.finished, t.error);
        const QString got = "ok:got " + QString::number(big.size()) + " finished";
        QCOMPARE(outcomes << t.log.join(' '),
                 QStringList({"", "", "", got, got, "RemoteHostClosedError", "",
                              "ConnectionRefusedError", "ProtocolUnknownError", got}));
    }

    // The file is truncated at once and holds what came when the signal comes, for success and
    // failure alike; a failure also writes a line. A call before the signal is ignored.
    void downloadManager()
    {
        const QString file = m_dir.filePath("download");
        QStringList seen; // the file when the signal came
        TUKDownloadManager dm;
        connect(&dm, &TUKDownloadManager::sigDownloadEnd, this, [&] {
            const QByteArray content = readFile(file);
            seen << (content == kBig ? "big" : QString(content));
        });
        QTemporaryFile err; // standard error meanwhile
        const int savedStderr = ::dup(2);
        QVERIFY(err.open() && ::dup2(err.handle(), 2) == 2);
        for (const QString& url : {m_server.url("/big"), m_server.url("/status/404"), m_refused}) {
            QVERIFY(writeFile(file, QByteArray(20000, 'x')));
            const int before = seen.size();
            dm.downloadFile(url, file);
            dm.downloadFile(m_server.url("/ten"), file); // ignored: one transfer at a time
            QCOMPARE(QFileInfo(file).size(), 0);
            QTRY_COMPARE_WITH_TIMEOUT(seen.size(), before + 1, 20000);
        }
        ::dup2(savedStderr, 2), ::close(savedStderr);
        QCOMPARE(seen << QString(readFile(err.fileName())).replace(m_server.url(), "URL"),
                 QStringList({"big", "error page", "",
                              "Failed: Error transferring URL/status/404 - server replied: "
                              "Status\nFailed: Connection refused\n"}));
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
