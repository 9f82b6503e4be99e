// Throughput and peak memory of TUKHttpService's streaming download and file upload on loopback,
// side by side with curl and with plain QNetworkAccessManager code doing the same transfer.
//
//   transfer_bench [--download-size BYTES] [--upload-size BYTES] [--repeat N]
//                  [--slow-rate MIB_PER_S] [--only download|upload] [--sweep]
//
// Sizes take K/M/G suffixes (powers of 1024). Downloads come from nginx serving a sparse file;
// uploads go to a small sink of this program that reads the whole body and answers with the
// number of body bytes it counted, which is checked against the file size. Every case runs in a
// child process of its own so that its peak resident set (VmHWM) is its own.
#include <TUKCloudUtils/TUKHttpService.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

qint64 parseSize(const char* text)
{
    char* end = nullptr;
    double v = std::strtod(text, &end);
    switch (end && *end ? *end : ' ') {
    case 'k':
    case 'K':
        v *= 1024;
        break;
    case 'm':
    case 'M':
        v *= kMiB;
        break;
    case 'g':
    case 'G':
        v *= kMiB * 1024;
        break;
    default:
        break;
    }
    return qint64(v);
}

// Peak resident memory (VmHWM) of a process, in KiB; -1 when it cannot be read.
qint64 peakKiBOf(const QString& pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// ---- child side: one transfer, then "RESULT bytes seconds peakKiB text" on stdout ------------

// Holds the consumer back to `rate` bytes per second (0: as fast as it can).
class Pacer
{
public:
    explicit Pacer(double rate) : m_rate(rate) { m_clock.start(); }
    void consumed(qint64 n)
    {
        m_total += n;
        if (m_rate <= 0)
            return;
        const double due = double(m_total) / m_rate * 1e3;
        const double now = double(m_clock.nsecsElapsed()) / 1e6;
        if (due > now)
            QThread::usleep(qulonglong((due - now) * 1e3));
    }
    qint64 total() const { return m_total; }

private:
    double m_rate;
    qint64 m_total = 0;
    QElapsedTimer m_clock;
};

int runChild(const QStringList& args)
{
    const QString kind = args.value(0);
    const QString url = args.value(1);
    const double rate = args.value(2).toDouble() * kMiB;
    const QString file = args.value(3);
    const qint64 readBuffer = args.value(4).toLongLong();

    QElapsedTimer clock;
    qint64 bytes = 0;
    QString text;
    bool ok = false;
    clock.start();

    if (kind == QLatin1String("dl-tuk")) {
        Pacer pacer(rate);
        TUKHttpService(url).setTimeout(0).downloadSync(
            [&](const QByteArray& chunk, bool&) { pacer.consumed(chunk.size()); },
            [&](QNetworkReply* reply) {
                ok = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
            },
            nullptr, [&](QNetworkReply::NetworkError, const QString& error) { text = error; });
        bytes = pacer.total();
    } else if (kind == QLatin1String("dl-qt")) {
        // The obvious Qt code: readAll() on each readyRead.
        QNetworkAccessManager manager;
        QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(url)));
        if (readBuffer > 0)
            reply->setReadBufferSize(readBuffer);
        Pacer pacer(rate);
        QEventLoop loop;
        // With a bounded buffer (the sweep) read as the library does: all that is there, at once.
        QObject::connect(reply, &QIODevice::readyRead, [&] {
            pacer.consumed(readBuffer > 0 ? reply->read(reply->bytesAvailable()).size()
                                          : reply->readAll().size());
        });
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        pacer.consumed(reply->readAll().size());
        ok = reply->error() == QNetworkReply::NoError;
        text = reply->errorString();
        bytes = pacer.total();
        delete reply;
    } else if (kind == QLatin1String("up-tuk")) {
        TUKHttpService(url).setTimeout(0).upload(
            file, [&](const QString& body) { text = body; }, [&] { ok = true; }, nullptr,
            [&](QNetworkReply::NetworkError, const QString& error) { text = error; });
        bytes = QFile(file).size();
    } else if (kind == QLatin1String("up-qt")) {
        QNetworkAccessManager manager;
        QFile body(file);
        if (!body.open(QIODevice::ReadOnly))
            return 2;
        QNetworkRequest request{QUrl(url)};
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QStringLiteral("application/octet-stream"));
        QNetworkReply* reply = manager.post(request, &body);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        ok = reply->error() == QNetworkReply::NoError;
        text = ok ? QString::fromUtf8(reply->readAll()) : reply->errorString();
        bytes = body.size();
        delete reply;
    } else {
        std::fprintf(stderr, "unknown case %s\n", qPrintable(kind));
        return 2;
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    std::printf("RESULT %lld %.6f %lld %s\n", static_cast<long long>(bytes), seconds,
                static_cast<long long>(peakKiBOf(QStringLiteral("self"))),
                ok ? qPrintable(text.simplified()) : "FAILED");
    if (!ok)
        std::fprintf(stderr, "%s: %s\n", qPrintable(kind), qPrintable(text));
    return ok ? 0 : 1;
}

// ---- parent side -------------------------------------------------------------------------------

quint16 freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// Accepts one connection at a time on 127.0.0.1, reads one request and its whole body
// (Content-Length or chunked), answers 200 with the decimal count of body bytes received.
class Sink
{
public:
    bool start()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(m_listen, 16) != 0)
            return false;
        socklen_t len = sizeof a;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
        return true;
    }
    ~Sink()
    {
        if (m_thread.joinable()) {
            ::shutdown(m_listen, SHUT_RDWR);
            ::close(m_listen);
            m_thread.join();
        }
    }
    quint16 port() const { return m_port; }
    qint64 lastBodySize() const { return m_last.load(); }
    void clear() { m_last = -1; }

private:
    void run()
    {
        std::vector<char> buf(1 << 20);
        for (;;) {
            const int c = ::accept(m_listen, nullptr, nullptr);
            if (c < 0)
                return;
            serve(c, buf);
            ::close(c);
        }
    }

    void serve(int c, std::vector<char>& buf)
    {
        std::string head;
        std::string rest;
        while (head.empty()) {
            const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
            if (n <= 0)
                return;
            rest.append(buf.data(), size_t(n));
            const size_t end = rest.find("\r\n\r\n");
            if (end != std::string::npos) {
                head = rest.substr(0, end + 4);
                rest.erase(0, end + 4);
            }
        }
        std::string lower = head;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        if (lower.find("expect: 100-continue") != std::string::npos)
            sendAll(c, "HTTP/1.1 100 Continue\r\n\r\n");
        qint64 received = 0;
        if (lower.find("transfer-encoding: chunked") != std::string::npos) {
            received = readChunked(c, buf, rest);
        } else {
            const size_t at = lower.find("content-length:");
            const qint64 length =
                at == std::string::npos ? 0 : std::strtoll(lower.c_str() + at + 15, nullptr, 10);
            received = qint64(rest.size());
            while (received < length) {
                const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
                if (n <= 0)
                    break;
                received += n;
            }
        }
        m_last = received;
        const std::string body = std::to_string(received);
        sendAll(c, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    }

    static qint64 readChunked(int c, std::vector<char>& buf, std::string data)
    {
        qint64 received = 0;
        size_t pos = 0;
        auto need = [&](size_t n) {
            while (data.size() - pos < n) {
                const ssize_t got = ::recv(c, buf.data(), buf.size(), 0);
                if (got <= 0)
                    return false;
                data.erase(0, pos);
                pos = 0;
                data.append(buf.data(), size_t(got));
            }
            return true;
        };
        for (;;) {
            size_t eol;
            while ((eol = data.find("\r\n", pos)) == std::string::npos)
                if (!need(data.size() - pos + 1))
                    return received;
            const qint64 size = std::strtoll(data.c_str() + pos, nullptr, 16);
            pos = eol + 2;
            if (size == 0)
                return received;
            if (!need(size_t(size) + 2))
                return received;
            received += size;
            pos += size_t(size) + 2;
        }
    }

    static void sendAll(int c, const std::string& s)
    {
        size_t done = 0;
        while (done < s.size()) {
            const ssize_t n = ::send(c, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += size_t(n);
        }
    }

    int m_listen = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<qint64> m_last{-1};
};

struct RunResult
{
    bool ok = false;
    qint64 bytes = 0;
    double seconds = 0;
    double cpuSeconds = 0; // user + system time of the child
    qint64 peakKiB = -1;
    QString text;
};

// Runs a program, samples its VmHWM every 5 ms while it runs and returns its standard output.
// Our own children also report their final VmHWM, which then wins; for curl the last sample
// stands (its peak comes right at the start of the transfer, long before it exits).
RunResult spawnAndMeasure(const std::vector<std::string>& argv, QByteArray* output)
{
    RunResult r;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return r;
    }
    std::thread reader([&] {
        char b[4096];
        ssize_t n;
        while ((n = ::read(pipeFds[0], b, sizeof b)) > 0)
            output->append(b, int(n));
    });
    int status = 0;
    qint64 peak = -1;
    for (;;) {
        const qint64 sample = peakKiBOf(QString::number(pid));
        peak = std::max(peak, sample);
        rusage usage{};
        const pid_t w = ::wait4(pid, &status, WNOHANG, &usage);
        r.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        if (w == pid)
            break;
        ::usleep(5000);
    }
    reader.join();
    ::close(pipeFds[0]);
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peakKiB = peak;
    return r;
}

struct Options
{
    qint64 downloadSize = qint64(2) << 30;
    qint64 uploadSize = qint64(1) << 30;
    int repeat = 3;
    double slowRate = 300; // MiB/s
    QString only;
    bool sweep = false;
};

struct Row
{
    QString name;
    double mibps = 0; // median
    double lowest = 0;
    double highest = 0;
    double cpuSeconds = 0; // median
    qint64 peakKiB = 0;
    bool verified = true;
    int runs = 0;
};

class Bench
{
public:
    Bench(const Options& o, const QString& self) : m_opt(o), m_self(self) {}

    bool setUp()
    {
        if (!m_dir.isValid())
            return fail("no temporary folder");
        QDir(m_dir.path()).mkpath(QStringLiteral("www"));
        QDir(m_dir.path()).mkpath(QStringLiteral("tmp"));
        if (!makeSparse(m_dir.path() + QStringLiteral("/www/download.bin"), m_opt.downloadSize) ||
            !makeSparse(uploadFile(), m_opt.uploadSize))
            return fail("cannot make the test files");
        m_nginxPort = freePort();
        // As root, nginx would hand its worker to "nobody", which cannot read our private folder.
        const QString user = ::geteuid() == 0 ? QStringLiteral("user root;\n") : QString();
        const QString conf = user + QStringLiteral(R"(daemon off;
worker_processes 1;
pid %1/nginx.pid;
error_log %1/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path %1/tmp/body;
    proxy_temp_path %1/tmp/proxy;
    fastcgi_temp_path %1/tmp/fastcgi;
    uwsgi_temp_path %1/tmp/uwsgi;
    scgi_temp_path %1/tmp/scgi;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    server { listen 127.0.0.1:%2; root %1/www; }
}
)")
                                        .arg(m_dir.path())
                                        .arg(m_nginxPort);
        QFile f(m_dir.path() + QStringLiteral("/nginx.conf"));
        if (!f.open(QIODevice::WriteOnly) || f.write(conf.toUtf8()) < 0)
            return fail("cannot write nginx.conf");
        f.close();
        m_nginx.setProgram(QStringLiteral("nginx"));
        m_nginx.setArguments({QStringLiteral("-p"), m_dir.path(), QStringLiteral("-c"),
                              f.fileName(), QStringLiteral("-e"),
                              m_dir.path() + QStringLiteral("/error.log")});
        m_nginx.setProcessChannelMode(QProcess::ForwardedChannels);
        m_nginx.start();
        if (!m_nginx.waitForStarted(10000))
            return fail("cannot start nginx");
        if (!waitForPort(m_nginxPort))
            return fail("nginx does not listen");
        if (!m_sink.start())
            return fail("cannot start the upload sink");
        return true;
    }

    ~Bench()
    {
        if (m_nginx.state() != QProcess::NotRunning) {
            m_nginx.terminate();
            m_nginx.waitForFinished(5000);
        }
    }

    void run()
    {
        std::printf("%d round(s), every case once per round; median speed and highest peak RSS "
                    "per case; slow consumer paced to %.0f MiB/s\n\n",
                    m_opt.repeat, m_opt.slowRate);
        if (m_opt.sweep) {
            runSweep();
            return;
        }
        if (m_opt.only.isEmpty() || m_opt.only == QLatin1String("download"))
            runDownloads();
        if (m_opt.only.isEmpty() || m_opt.only == QLatin1String("upload"))
            runUploads();
    }

private:
    QString downloadUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1/download.bin").arg(m_nginxPort);
    }
    QString sinkUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1/sink").arg(m_sink.port());
    }
    QString uploadFile() const { return m_dir.path() + QStringLiteral("/upload.bin"); }

    struct Case
    {
        std::string name;
        std::vector<std::string> argv;
        qint64 expected;
        bool upload;
    };

    void runDownloads()
    {
        const std::string url = downloadUrl().toStdString();
        const std::string slow = std::to_string(m_opt.slowRate);
        const qint64 size = m_opt.downloadSize;
        const std::vector<Row> rows = measure({
            {"curl -sf -o /dev/null", curlDownload(url), size, false},
            {"plain QNetworkAccessManager, readAll per readyRead", child({"dl-qt", url, "0"}), size,
             false},
            {"TUKHttpService::downloadSync", child({"dl-tuk", url, "0"}), size, false},
            {"plain QNetworkAccessManager, slow consumer", child({"dl-qt", url, slow}), size,
             false},
            {"TUKHttpService::downloadSync, slow consumer", child({"dl-tuk", url, slow}), size,
             false},
        });
        printTable(QStringLiteral("Download of %1 MiB from nginx on 127.0.0.1")
                       .arg(size / kMiB, 0, 'f', 0),
                   rows, rows[0], QStringLiteral("curl"));
        std::printf("Targets: downloadSync >= 0.90x curl: %s; peak RSS <= 40 MiB (fast: %s, "
                    "slow consumer: %s)\n\n",
                    rows[2].mibps >= 0.9 * rows[0].mibps ? "met" : "NOT met",
                    rows[2].peakKiB <= 40 * 1024 ? "met" : "NOT met",
                    rows[4].peakKiB <= 40 * 1024 ? "met" : "NOT met");
    }

    void runUploads()
    {
        const std::string url = sinkUrl().toStdString();
        const std::string file = uploadFile().toStdString();
        const qint64 size = m_opt.uploadSize;
        const std::vector<Row> rows = measure({
            {"curl -T file -X POST",
             {"curl", "-sf", "-o", "/dev/null", "-w", "RESULT %{size_upload} %{time_total} -1 ok",
              "-T", file, "-X", "POST", url},
             size,
             true},
            {"plain QNetworkAccessManager::post(request, &file)", child({"up-qt", url, "0", file}),
             size, true},
            {"TUKHttpService::upload", child({"up-tuk", url, "0", file}), size, true},
        });
        printTable(QStringLiteral("Upload of a %1 MiB file to a sink on 127.0.0.1")
                       .arg(size / kMiB, 0, 'f', 0),
                   rows, rows[1], QStringLiteral("plain Qt"));
        std::printf("Targets: upload >= 0.90x plain Qt: %s; peak RSS <= 40 MiB: %s\n\n",
                    rows[2].mibps >= 0.9 * rows[1].mibps ? "met" : "NOT met",
                    rows[2].peakKiB <= 40 * 1024 ? "met" : "NOT met");
    }

    // The plain Qt download with a bounded read buffer of several sizes: how the library's
    // buffer size was chosen.
    void runSweep()
    {
        const std::string url = downloadUrl().toStdString();
        const std::string slow = std::to_string(m_opt.slowRate);
        const qint64 size = m_opt.downloadSize;
        std::vector<Case> cases{{"curl -sf -o /dev/null", curlDownload(url), size, false}};
        for (const qint64 kib : {64, 128, 256, 512, 1024, 2048, 4096}) {
            const std::string bytes = std::to_string(kib * 1024);
            const std::string name = "read buffer " + std::to_string(kib) + " KiB";
            cases.push_back({name, child({"dl-qt", url, "0", "-", bytes}), size, false});
            cases.push_back(
                {name + ", slow consumer", child({"dl-qt", url, slow, "-", bytes}), size, false});
        }
        const std::vector<Row> rows = measure(cases);
        printTable(QStringLiteral("Plain Qt download of %1 MiB, bounded read buffer")
                       .arg(size / kMiB, 0, 'f', 0),
                   rows, rows[0], QStringLiteral("curl"));
    }

    static std::vector<std::string> curlDownload(const std::string& url)
    {
        return {"curl",      "-sf", "-o",
                "/dev/null", "-w",  "RESULT %{size_download} %{time_total} -1 ok",
                url};
    }

    std::vector<std::string> child(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {m_self.toStdString(), "--child"});
        return args;
    }

    // Runs every case once per round, round after round, so that changes of the machine's load
    // fall on all cases alike (each round in a rotated order); reports the median speed and the
    // highest peak RSS of each.
    std::vector<Row> measure(const std::vector<Case>& cases)
    {
        std::vector<Row> rows(cases.size());
        std::vector<std::vector<double>> speeds(cases.size());
        std::vector<std::vector<double>> cpu(cases.size());
        for (size_t c = 0; c < cases.size(); ++c)
            rows[c].name = QString::fromStdString(cases[c].name);
        for (int round = 0; round < m_opt.repeat; ++round) {
            // Each round starts one case further on, so that no case always follows the same one
            // (the plain Qt download leaves gigabytes of freed memory behind it).
            for (size_t i = 0; i < cases.size(); ++i) {
                const size_t c = (i + size_t(round)) % cases.size();
                const Case& k = cases[c];
                Row& row = rows[c];
                m_sink.clear();
                QByteArray out;
                const RunResult r = spawnAndMeasure(k.argv, &out);
                const int at = out.indexOf("RESULT ");
                const QList<QByteArray> f =
                    at < 0 ? QList<QByteArray>() : out.mid(at + 7).trimmed().split(' ');
                if (!r.ok || f.size() < 3) {
                    std::fprintf(stderr, "%s: run failed\n%s\n", k.name.c_str(), out.constData());
                    row.verified = false;
                    continue;
                }
                const qint64 bytes = f.at(0).toLongLong();
                const double seconds = f.at(1).toDouble();
                const qint64 selfPeak = f.at(2).toLongLong();
                // The body really arrived whole: the client counted it for a download, the sink
                // counted it for an upload.
                const bool whole =
                    bytes == k.expected && (!k.upload || m_sink.lastBodySize() == k.expected);
                row.verified = row.verified && whole;
                const double mibps = seconds > 0 ? bytes / kMiB / seconds : 0;
                speeds[c].push_back(mibps);
                cpu[c].push_back(r.cpuSeconds);
                row.peakKiB = std::max(row.peakKiB, selfPeak > 0 ? selfPeak : r.peakKiB);
                ++row.runs;
                std::fprintf(stderr, "  round %d  %-55s %8.1f MiB/s %7.1f MiB%s\n", round + 1,
                             k.name.c_str(), mibps, (selfPeak > 0 ? selfPeak : r.peakKiB) / 1024.0,
                             whole ? "" : "  (incomplete)");
            }
        }
        for (size_t c = 0; c < cases.size(); ++c) {
            std::vector<double>& v = speeds[c];
            if (v.empty()) {
                rows[c].verified = false;
                continue;
            }
            rows[c].mibps = median(v);
            rows[c].lowest = v.front();
            rows[c].highest = v.back();
            rows[c].cpuSeconds = median(cpu[c]);
        }
        return rows;
    }

    // Sorts v and returns its median.
    static double median(std::vector<double>& v)
    {
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }

    static void printTable(const QString& title, const std::vector<Row>& rows, const Row& ref,
                           const QString& refName)
    {
        std::printf("%s\n", qPrintable(title));
        std::printf("| %-55s | %8s | %-15s | %10s | %7s | %12s | %-8s |\n", "case", "MiB/s",
                    "lowest-highest", qPrintable(QStringLiteral("x %1").arg(refName)), "CPU s",
                    "peak RSS MiB", "complete");
        std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(57, '-').c_str(),
                    std::string(10, '-').c_str(), std::string(17, '-').c_str(),
                    std::string(12, '-').c_str(), std::string(9, '-').c_str(),
                    std::string(14, '-').c_str(), std::string(10, '-').c_str());
        for (const Row& r : rows) {
            const QString range =
                QStringLiteral("%1-%2").arg(r.lowest, 0, 'f', 0).arg(r.highest, 0, 'f', 0);
            std::printf("| %-55s | %8.1f | %-15s | %10.2f | %7.2f | %12.1f | %-8s |\n",
                        qPrintable(r.name), r.mibps, qPrintable(range),
                        ref.mibps > 0 ? r.mibps / ref.mibps : 0.0, r.cpuSeconds, r.peakKiB / 1024.0,
                        r.verified ? "yes" : "NO");
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    static bool makeSparse(const QString& path, qint64 size)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.resize(size);
    }

    static bool waitForPort(quint16 port)
    {
        for (int i = 0; i < 2000; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(s);
            if (ok)
                return true;
            ::usleep(10000);
        }
        return false;
    }

    bool fail(const char* why)
    {
        std::fprintf(stderr, "setup failed: %s\n", why);
        return false;
    }

    Options m_opt;
    QString m_self;
    QTemporaryDir m_dir;
    QProcess m_nginx;
    quint16 m_nginxPort = 0;
    Sink m_sink;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) {
        QCoreApplication app(argc, argv);
        QStringList args = app.arguments().mid(2);
        // "-" stands for an empty argument
        for (QString& a : args)
            if (a == QLatin1String("-"))
                a.clear();
        return runChild(args);
    }

    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* {
            return i + 1 < argc ? argv[++i] : "0";
        };
        if (a == "--download-size")
            opt.downloadSize = parseSize(next());
        else if (a == "--upload-size")
            opt.uploadSize = parseSize(next());
        else if (a == "--repeat")
            opt.repeat = std::max(1, std::atoi(next()));
        else if (a == "--slow-rate")
            opt.slowRate = std::atof(next());
        else if (a == "--only")
            opt.only = QString::fromLocal8Bit(next());
        else if (a == "--sweep")
            opt.sweep = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--download-size N] [--upload-size N] [--repeat N] "
                         "[--slow-rate MIB_PER_S] [--only download|upload] [--sweep]\n",
                         argv[0]);
            return 2;
        }
    }
    QCoreApplication app(argc, argv);
    Bench bench(opt, QCoreApplication::applicationFilePath());
    if (!bench.setUp())
        return 1;
    bench.run();
    return 0;
}
