// Every performance case of the library side by side with curl and with plain Qt code doing the
// same thing, in one run: downloads (fast and slow consumer), small requests, uploads (raw and
// multipart), and the connectivity monitor's idle and load cost.
//
//   tuk_bench [--rounds N] [--only GROUP,...] [--json FILE] [--download-size S] [--slow-size S]
//             [--upload-size S] [--requests N] [--idle-seconds S] [--slow-rate MIB_PER_S]
//
// Sizes take K/M/G suffixes (powers of 1024). GROUP is one of download, slow, paired-download,
// small, paired, instructions, upload, multipart, idle, load; and buffers, only when named: plain
// Qt downloads with read buffers of 256 KiB to 4 MiB. Every case runs in a process of its own (this
// program with
// --child, curl or bench_host), once per round, the cases of a group in a rotated order each round,
// so that changes of the machine's load fall on all of them alike. A group's "x ref" column is the
// median of the per-round ratios to its first case. The servers are on 127.0.0.1 only: nginx
// serving sparse files from a temporary folder, and an upload sink of this program that reads every
// body to its end and answers with the number of body bytes it counted.
#include <TUKCloudUtils/TUKCloudHttpUtils.h>
#include <TUKCloudUtils/TUKHttpService.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
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
constexpr qint64 kSmallBodySize = 512; // the body of every small request
constexpr int kCountedRequests = 150;  // requests per run under callgrind
constexpr int kPairedBlock = 25;       // requests per timed block of the paired comparison
constexpr qint64 kPairedDownloadSize = qint64(256) << 20; // each download of the paired comparison
constexpr int kDownloadPairs = 8;

using Args = std::vector<std::string>;

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

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Peak resident memory (VmHWM) of this process, in KiB.
long selfPeakKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// ---- child side: one case, then "RESULT value peakKiB bytes" on standard output ---------------

// Holds a consumer back to `rate` bytes per second (0: as fast as it can).
class Pacer
{
public:
    explicit Pacer(double rate) : m_rate(rate) { m_clock.start(); }
    void consumed(qint64 n)
    {
        m_total += n;
        if (m_rate <= 0)
            return;
        const double due = double(m_total) / m_rate * 1e6;
        const double now = double(m_clock.nsecsElapsed()) / 1e3;
        if (due > now)
            QThread::usleep(qulonglong(due - now));
    }
    qint64 total() const { return m_total; }

private:
    double m_rate;
    qint64 m_total = 0;
    QElapsedTimer m_clock;
};

// Runs the event loop until reply has finished.
void waitFor(QNetworkReply* reply)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
}

struct ChildResult
{
    double value = 0; // MiB/s or microseconds per request
    qint64 bytes = 0;
    bool ok = false;
};

double mibPerSecond(qint64 bytes, const QElapsedTimer& clock)
{
    return double(bytes) / kMiB / (double(clock.nsecsElapsed()) / 1e9);
}

// The best plain Qt download loop we know: a bounded read buffer, every available byte read at
// once on each readyRead.
ChildResult plainDownload(const QString& url, qint64 readBuffer, double rate)
{
    ChildResult r;
    QElapsedTimer clock;
    clock.start();
    QNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(url)));
    reply->setReadBufferSize(readBuffer);
    Pacer pacer(rate);
    QObject::connect(reply, &QIODevice::readyRead,
                     [&] { pacer.consumed(reply->read(reply->bytesAvailable()).size()); });
    waitFor(reply);
    pacer.consumed(reply->readAll().size());
    r.bytes = pacer.total();
    r.value = mibPerSecond(r.bytes, clock);
    r.ok = reply->error() == QNetworkReply::NoError;
    delete reply;
    return r;
}

ChildResult libraryDownload(const QString& url, double rate)
{
    ChildResult r;
    QElapsedTimer clock;
    clock.start();
    Pacer pacer(rate);
    TUKHttpService(url).setTimeout(0).downloadSync(
        [&](const QByteArray& piece, bool&) { pacer.consumed(piece.size()); },
        [&](QNetworkReply*) { r.ok = true; }, nullptr,
        [&](QNetworkReply::NetworkError, const QString& text) {
            std::fprintf(stderr, "downloadSync: %s\n", qPrintable(text));
        });
    r.bytes = pacer.total();
    r.value = mibPerSecond(r.bytes, clock);
    return r;
}

// Plain Qt and the library downloading the same file in turn, `pairs` times each (plain first,
// then library first, ...); value: the median over the pairs of library speed / plain speed.
ChildResult pairedDownloads(const QString& url, qint64 readBuffer, int pairs)
{
    ChildResult r;
    r.ok = true;
    std::vector<double> ratios;
    for (int pair = 0; pair < pairs; ++pair) {
        ChildResult plain, library;
        if (pair % 2 == 0) {
            plain = plainDownload(url, readBuffer, 0);
            library = libraryDownload(url, 0);
        } else {
            library = libraryDownload(url, 0);
            plain = plainDownload(url, readBuffer, 0);
        }
        r.ok = r.ok && plain.ok && library.ok && plain.bytes == library.bytes;
        r.bytes += plain.bytes + library.bytes;
        ratios.push_back(library.value / plain.value);
    }
    r.value = median(ratios);
    return r;
}

// n small GETs in a row; value: microseconds per request. `get` returns the size of one body
// (bytes, or characters of the decoded text: the file is ASCII).
ChildResult smallRequests(int n, const std::function<qint64()>& get)
{
    ChildResult r;
    r.ok = true;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < n; ++i) {
        const qint64 size = get();
        r.ok = r.ok && size == kSmallBodySize;
        r.bytes += size;
    }
    r.value = double(clock.nsecsElapsed()) / 1e3 / n;
    return r;
}

// One GET of plain Qt code that wants what the library's get() returns: the body as text.
qint64 plainGet(QNetworkAccessManager& manager, const QNetworkRequest& request)
{
    QNetworkReply* reply = manager.get(request);
    waitFor(reply);
    const qint64 size =
        reply->error() == QNetworkReply::NoError ? QString::fromUtf8(reply->readAll()).size() : -1;
    delete reply;
    return size;
}

// The plain Qt loop and the library in one process, in alternating blocks of `block` requests
// (plain then library, library then plain, ...), each block timed; value: the median over the
// block pairs of library time / plain time. Neighbouring blocks share the machine's load of that
// moment, so a busy moment changes both and hardly their ratio.
ChildResult pairedRequests(int n, int block, const std::function<qint64()>& plain,
                           const std::function<qint64()>& library)
{
    ChildResult r;
    r.ok = plain() == kSmallBodySize && library() == kSmallBodySize; // connections made
    auto timed = [&](const std::function<qint64()>& get) {
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < block; ++i) {
            const qint64 size = get();
            r.ok = r.ok && size == kSmallBodySize;
            r.bytes += size;
        }
        return double(clock.nsecsElapsed());
    };
    std::vector<double> ratios;
    for (int pair = 0; pair < n / block; ++pair) {
        double plainTime = 0, libraryTime = 0;
        if (pair % 2 == 0) {
            plainTime = timed(plain);
            libraryTime = timed(library);
        } else {
            libraryTime = timed(library);
            plainTime = timed(plain);
        }
        ratios.push_back(libraryTime / plainTime);
    }
    r.value = median(ratios);
    return r;
}

// A raw or multipart POST of a file; value: MiB/s of the file's bytes.
ChildResult upload(const std::function<bool()>& send, const QString& file)
{
    ChildResult r;
    QElapsedTimer clock;
    clock.start();
    r.ok = send();
    r.bytes = QFile(file).size();
    r.value = mibPerSecond(r.bytes, clock);
    return r;
}

bool plainPost(const QString& url, QIODevice* body, const QString& contentType,
               QHttpMultiPart* form = nullptr)
{
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    QNetworkReply* reply = form ? manager.post(request, form) : manager.post(request, body);
    waitFor(reply);
    const bool ok = reply->error() == QNetworkReply::NoError;
    delete reply;
    return ok;
}

// The multipart form the library's file-store upload sends.
bool plainMultipart(const QString& url, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QHttpMultiPart form(QHttpMultiPart::FormDataType);
    auto field = [&form](const QByteArray& disposition, const QByteArray& body) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader, disposition);
        part.setBody(body);
        form.append(part);
    };
    field("form-data; name=\"access_token\"", "bench-token");
    field("form-data; name=\"project_name\"", "kpl_web");
    QHttpPart filePart;
    filePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                       "form-data; name=\"upload_file\"; filename=\"upload.bin\"");
    filePart.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
    filePart.setBodyDevice(&file);
    form.append(filePart);
    return plainPost(url, nullptr,
                     QStringLiteral("multipart/form-data;boundary=") + form.boundary(), &form);
}

int runChild(const QStringList& a)
{
    const QString kind = a.value(0);
    const QString url = a.value(1);
    ChildResult r;
    if (kind == QLatin1String("dl-qt")) {
        r = plainDownload(url, a.value(2).toLongLong(), a.value(3).toDouble() * kMiB);
    } else if (kind == QLatin1String("dl-tuk")) {
        r = libraryDownload(url, a.value(2).toDouble() * kMiB);
    } else if (kind == QLatin1String("small-qt-shared")) {
        QNetworkAccessManager manager;
        const QNetworkRequest request{QUrl(url)};
        r = smallRequests(a.value(2).toInt(), [&] { return plainGet(manager, request); });
    } else if (kind == QLatin1String("small-qt-new")) {
        const QNetworkRequest request{QUrl(url)};
        r = smallRequests(a.value(2).toInt(), [&] {
            QNetworkAccessManager manager;
            return plainGet(manager, request);
        });
    } else if (kind == QLatin1String("small-tuk")) {
        TUKHttpService service(url);
        r = smallRequests(a.value(2).toInt(), [&] {
            QNetworkReply::NetworkError error;
            return service.get(error).size();
        });
    } else if (kind == QLatin1String("small-cloud")) {
        r = smallRequests(a.value(2).toInt(), [&] {
            QMap<QString, QString> in, out;
            return TUKCloudHttpUtils::get(url, in, out).size();
        });
    } else if (kind == QLatin1String("paired-download")) {
        r = pairedDownloads(url, a.value(2).toLongLong(), a.value(3).toInt());
    } else if (kind == QLatin1String("paired-shared")) {
        QNetworkAccessManager manager;
        const QNetworkRequest request{QUrl(url)};
        TUKHttpService service(url);
        r = pairedRequests(
            a.value(2).toInt(), a.value(3).toInt(), [&] { return plainGet(manager, request); },
            [&] {
                QNetworkReply::NetworkError error;
                return qint64(service.get(error).size());
            });
    } else if (kind == QLatin1String("paired-new")) {
        const QNetworkRequest request{QUrl(url)};
        r = pairedRequests(
            a.value(2).toInt(), a.value(3).toInt(),
            [&] {
                QNetworkAccessManager manager;
                return plainGet(manager, request);
            },
            [&] {
                QMap<QString, QString> in, out;
                return qint64(TUKCloudHttpUtils::get(url, in, out).size());
            });
    } else if (kind == QLatin1String("up-qt")) {
        const QString path = a.value(2);
        r = upload(
            [&] {
                QFile file(path);
                return file.open(QIODevice::ReadOnly) &&
                       plainPost(url, &file, QStringLiteral("application/octet-stream"));
            },
            path);
    } else if (kind == QLatin1String("up-tuk")) {
        const QString path = a.value(2);
        r = upload(
            [&] {
                bool ok = false;
                TUKHttpService(url).setTimeout(0).upload(
                    path, nullptr, [&] { ok = true; }, nullptr,
                    [](QNetworkReply::NetworkError, const QString& text) {
                        std::fprintf(stderr, "upload: %s\n", qPrintable(text));
                    });
                return ok;
            },
            path);
    } else if (kind == QLatin1String("mp-qt")) {
        const QString path = a.value(2);
        r = upload([&] { return plainMultipart(url, path); }, path);
    } else if (kind == QLatin1String("mp-cloud")) {
        const QString path = a.value(2);
        r = upload(
            [&] {
                return !TUKCloudHttpUtils::uploadFileToPYX(
                            url, QStringLiteral("bench-token"), path,
                            QStringLiteral("application/octet-stream"))
                            .isEmpty();
            },
            path);
    } else {
        std::fprintf(stderr, "unknown case %s\n", qPrintable(kind));
        return 2;
    }
    std::printf("RESULT %.4f %ld %lld\n", r.value, selfPeakKiB(), static_cast<long long>(r.bytes));
    return r.ok ? 0 : 1;
}

// ---- servers -----------------------------------------------------------------------------------

sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

quint16 freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

bool waitForPort(quint16 port)
{
    for (int i = 0; i < 1000; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a = loopback(port);
        const bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        if (ok)
            return true;
        ::usleep(10000);
    }
    return false;
}

// The nginx to stop when the benchmark is interrupted (Ctrl-C, kill): it would outlive us.
std::atomic<pid_t> g_nginxPid{0};

void stopNginxAndExit(int signalNumber)
{
    const pid_t pid = g_nginxPid.load();
    if (pid > 0)
        ::kill(pid, SIGTERM);
    ::_exit(128 + signalNumber);
}

// nginx on 127.0.0.1 serving the files of `root`, everything in one temporary folder.
class Nginx
{
public:
    bool start(const QString& dir)
    {
        m_port = freePort();
        QDir(dir).mkpath(QStringLiteral("tmp"));
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
    keepalive_requests 100000;
    server { listen 127.0.0.1:%2; root %1/www; }
}
)")
                                        .arg(dir)
                                        .arg(m_port);
        QFile f(dir + QStringLiteral("/nginx.conf"));
        if (!f.open(QIODevice::WriteOnly) || f.write(conf.toUtf8()) < 0)
            return false;
        f.close();
        m_process.setProgram(QStringLiteral("nginx"));
        m_process.setArguments({QStringLiteral("-p"), dir, QStringLiteral("-c"), f.fileName(),
                                QStringLiteral("-e"), dir + QStringLiteral("/error.log")});
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        g_nginxPid = pid_t(m_process.processId());
        ::signal(SIGINT, stopNginxAndExit);
        ::signal(SIGTERM, stopNginxAndExit);
        return waitForPort(m_port);
    }
    ~Nginx()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(5000);
        }
    }
    QString url(const char* file) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_port).arg(QLatin1String(file));
    }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

// Accepts one connection at a time on 127.0.0.1, reads one request and its whole body
// (Content-Length or chunked), and answers 200 with the decimal count of body bytes received.
class Sink
{
public:
    bool start()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(m_listen, 16) != 0)
            return false;
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
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/sink").arg(m_port); }
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
        std::transform(head.begin(), head.end(), head.begin(), ::tolower);
        if (head.find("expect: 100-continue") != std::string::npos)
            sendAll(c, "HTTP/1.1 100 Continue\r\n\r\n");
        qint64 received = 0;
        if (head.find("transfer-encoding: chunked") != std::string::npos) {
            received = readChunked(c, buf, rest);
        } else {
            const size_t at = head.find("content-length:");
            const qint64 length =
                at == std::string::npos ? 0 : std::strtoll(head.c_str() + at + 15, nullptr, 10);
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
            if (size == 0 || !need(size_t(size) + 2))
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

// ---- parent side -------------------------------------------------------------------------------

// One run of a program: its standard output, CPU time and exit status. The peak resident set of
// a program that does not report its own (curl) is sampled from /proc every 10 ms: wait4's
// ru_maxrss of a spawned child starts from this program's resident set at the spawn.
struct Run
{
    QByteArray output;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    qint64 sampledPeakKiB = -1;
    bool ok = false;
};

qint64 peakKiBOf(pid_t pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

pid_t spawn(const Args& argv, int outFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

double cpuOf(const rusage& u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Run runProgram(const Args& argv, bool samplePeak)
{
    Run r;
    int fds[2];
    if (::pipe(fds) != 0)
        return r;
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = spawn(argv, fds[1]);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return r;
    }
    std::thread reader([&] {
        char b[4096];
        ssize_t n;
        while ((n = ::read(fds[0], b, sizeof b)) > 0)
            r.output.append(b, int(n));
    });
    int status = 0;
    rusage usage{};
    for (;;) {
        if (samplePeak)
            r.sampledPeakKiB = std::max(r.sampledPeakKiB, peakKiBOf(pid));
        const pid_t w = ::wait4(pid, &status, samplePeak ? WNOHANG : 0, &usage);
        if (w == pid || w < 0)
            break;
        ::usleep(10000);
    }
    r.wallSeconds = double(clock.nsecsElapsed()) / 1e9;
    reader.join();
    ::close(fds[0]);
    r.cpuSeconds = cpuOf(usage);
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// One measurement of one case.
struct Sample
{
    double value = 0;
    double cpuSeconds = 0;
    double peakMiB = 0;
    bool ok = false;
};

// The fields after "RESULT " in a program's output.
QList<QByteArray> resultFields(const QByteArray& output)
{
    const int at = output.indexOf("RESULT ");
    return at < 0 ? QList<QByteArray>() : output.mid(at + 7).trimmed().split(' ');
}

struct Case
{
    QString label;
    Args argv;
    // Turns a run into a sample; checks that the whole body arrived.
    std::function<Sample(const Run&)> read;
    bool isLibrary = false;
};

// A check of the issue's targets: a number computed from the medians, and whether it passes.
// A check of the issue's targets: the median of a per-round figure, and whether it passes.
struct Target
{
    QString text;
    std::vector<double> rounds; // empty for figures over all rounds (peak memory)
    double value;
    bool met;
    bool informational = false; // shown, not checked
};

struct Group
{
    QString id;
    QString title;
    QString unit;
    bool higherIsBetter = true;
    bool parallel = false; // every run of every round at once (idle hosts)
    std::vector<Case> cases;
    // Filled by the runner: samples[case][round].
    std::vector<std::vector<Sample>> samples;
    std::vector<Target> targets;
    int rounds = 0;             // 0: the --rounds option
    bool onlyWhenNamed = false; // left out of the default run

    // f(case values of that round) for every round in which every case succeeded.
    std::vector<double> perRound(const std::function<double(const std::vector<double>&)>& f) const
    {
        std::vector<double> r;
        for (size_t round = 0; round < samples.front().size(); ++round) {
            std::vector<double> values;
            bool ok = true;
            for (const auto& s : samples) {
                ok = ok && round < s.size() && s[round].ok;
                values.push_back(round < s.size() ? s[round].value : 0);
            }
            if (ok)
                r.push_back(f(values));
        }
        return r;
    }
    // The ratio a/b of case values (by index) in every round.
    std::vector<double> ratios(size_t a, size_t b) const
    {
        return perRound(
            [a, b](const std::vector<double>& v) { return v[b] > 0 ? v[a] / v[b] : 0; });
    }
    double ratio(size_t a, size_t b) const { return median(ratios(a, b)); }
    double medianOf(size_t c, double Sample::*field) const
    {
        std::vector<double> v;
        for (const Sample& s : samples[c])
            if (s.ok)
                v.push_back(s.*field);
        return median(v);
    }
    double maxOf(size_t c, double Sample::*field) const
    {
        double m = 0;
        for (const Sample& s : samples[c])
            m = std::max(m, s.*field);
        return m;
    }
};

struct Options
{
    int rounds = 7;
    QStringList only;
    QString json;
    qint64 downloadSize = qint64(2) << 30;
    qint64 slowSize = qint64(1) << 30;
    qint64 uploadSize = qint64(1) << 30;
    int requests = 1000;
    double idleSeconds = 60;
    double slowRate = 300; // MiB/s
};

class Bench
{
public:
    Bench(const Options& o) : m_opt(o) {}

    bool setUp()
    {
        const QString dir = m_dir.path();
        QDir(dir).mkpath(QStringLiteral("www"));
        if (!m_dir.isValid() ||
            !makeFile(dir + QStringLiteral("/www/large.bin"), m_opt.downloadSize) ||
            !makeFile(dir + QStringLiteral("/www/slow.bin"), m_opt.slowSize) ||
            !makeFile(dir + QStringLiteral("/www/paired.bin"), kPairedDownloadSize) ||
            !writeFile(dir + QStringLiteral("/www/small.txt"), QByteArray(kSmallBodySize, 'x')) ||
            !makeFile(uploadFile(), m_opt.uploadSize))
            return fail("cannot make the files");
        if (!m_nginx.start(dir))
            return fail("cannot start nginx");
        if (!m_sink.start())
            return fail("cannot start the upload sink");
        // curl's many small requests come from a config file: one connection for all of them.
        QFile config(curlConfig());
        if (!config.open(QIODevice::WriteOnly))
            return fail("cannot write the curl config");
        for (int i = 0; i < m_opt.requests; ++i)
            config.write(QStringLiteral("url = \"%1\"\noutput = \"/dev/null\"\n")
                             .arg(m_nginx.url("small.txt"))
                             .toUtf8());
        return true;
    }

    int run()
    {
        std::vector<Group> groups = makeGroups();
        m_started = QDateTime::currentDateTimeUtc();
        m_loadBefore = loadAverage();
        std::printf("%s\nstarted %s, load average %s\n\"x ref\" is the median of the per-round "
                    "ratios to the first case of its group; the cases of a group run in turn, "
                    "round after round\n\n",
                    qPrintable(machine()), qPrintable(m_started.toString(Qt::ISODate)),
                    qPrintable(m_loadBefore));
        bool allMet = true;
        for (Group& g : groups) {
            if (m_opt.only.isEmpty() ? g.onlyWhenNamed : !m_opt.only.contains(g.id))
                continue;
            measure(g);
            addTargets(g);
            print(g);
            for (const Target& t : g.targets)
                allMet = allMet && (t.met || t.informational);
            m_done.push_back(g);
        }
        m_loadAfter = loadAverage();
        std::printf("load average %s at the start, %s at the end\n", qPrintable(m_loadBefore),
                    qPrintable(m_loadAfter));
        if (!m_opt.json.isEmpty())
            writeJson();
        return allMet ? 0 : 1;
    }

private:
    QString uploadFile() const { return m_dir.path() + QStringLiteral("/upload.bin"); }
    QString curlConfig() const { return m_dir.path() + QStringLiteral("/small.curl"); }

    Args self(Args args) const
    {
        args.insert(args.begin(),
                    {QCoreApplication::applicationFilePath().toStdString(), "--child"});
        return args;
    }
    static Args host(Args args)
    {
        args.insert(args.begin(), TUK_BENCH_HOST);
        return args;
    }

    // Our own children and bench_host report "RESULT value peakKiB bytes".
    static std::function<Sample(const Run&)> reported(qint64 expectedBytes)
    {
        return [expectedBytes](const Run& run) {
            const QList<QByteArray> f = resultFields(run.output);
            Sample s;
            s.ok = run.ok && f.size() >= 3 &&
                   (expectedBytes < 0 || f[2].toLongLong() == expectedBytes);
            s.value = f.value(0).toDouble();
            s.peakMiB = f.value(1).toDouble() / 1024;
            s.cpuSeconds = run.cpuSeconds;
            return s;
        };
    }
    // curl -w "RESULT %{size_...} %{time_total}": MiB/s.
    static std::function<Sample(const Run&)> curlSpeed(qint64 expectedBytes)
    {
        return [expectedBytes](const Run& run) {
            const QList<QByteArray> f = resultFields(run.output);
            Sample s;
            const qint64 bytes = f.value(0).toLongLong();
            const double seconds = f.value(1).toDouble();
            s.ok = run.ok && bytes == expectedBytes && seconds > 0;
            s.value = s.ok ? bytes / kMiB / seconds : 0;
            s.peakMiB = run.sampledPeakKiB / 1024.0;
            s.cpuSeconds = run.cpuSeconds;
            return s;
        };
    }
    // The sink counted the body of the upload that just ended.
    std::function<Sample(const Run&)> sunk(std::function<Sample(const Run&)> read, qint64 lowest,
                                           qint64 highest) const
    {
        return [this, read, lowest, highest](const Run& run) {
            Sample s = read(run);
            const qint64 got = m_sink.lastBodySize();
            s.ok = s.ok && got >= lowest && got <= highest;
            return s;
        };
    }

    std::vector<Group> makeGroups() const
    {
        const std::string large = m_nginx.url("large.bin").toStdString();
        const std::string slow = m_nginx.url("slow.bin").toStdString();
        const std::string small = m_nginx.url("small.txt").toStdString();
        const std::string sink = m_sink.url().toStdString();
        const std::string file = uploadFile().toStdString();
        const std::string rate = std::to_string(m_opt.slowRate);
        const std::string n = std::to_string(m_opt.requests);
        const qint64 dl = m_opt.downloadSize;
        const qint64 sl = m_opt.slowSize;
        const qint64 up = m_opt.uploadSize;
        const Args curlGet{"curl",      "-sf", "-o",
                           "/dev/null", "-w",  "RESULT %{size_download} %{time_total}"};
        auto plus = [](Args a, const Args& more) {
            a.insert(a.end(), more.begin(), more.end());
            return a;
        };

        std::vector<Group> groups;
        groups.push_back(
            {QStringLiteral("download"),
             QStringLiteral("Download of %1 MiB from nginx, data dropped").arg(dl / kMiB),
             QStringLiteral("MiB/s"),
             true,
             false,
             {{QStringLiteral("curl -o /dev/null"), plus(curlGet, {large}), curlSpeed(dl)},
              {QStringLiteral("plain Qt, 1 MiB read buffer"),
               self({"dl-qt", large, "1048576", "0"}), reported(dl)},
              {QStringLiteral("plain Qt, 2 MiB read buffer"),
               self({"dl-qt", large, "2097152", "0"}), reported(dl)},
              {QStringLiteral("TUKHttpService::downloadSync"), self({"dl-tuk", large, "0"}),
               reported(dl), true}},
             {},
             {}});
        groups.push_back({QStringLiteral("slow"),
                          QStringLiteral("Download of %1 MiB, consumer paced to %2 MiB/s")
                              .arg(sl / kMiB)
                              .arg(m_opt.slowRate),
                          QStringLiteral("MiB/s"),
                          true,
                          false,
                          {{QStringLiteral("plain Qt, 1 MiB read buffer"),
                            self({"dl-qt", slow, "1048576", rate}), reported(sl)},
                           {QStringLiteral("TUKHttpService::downloadSync"),
                            self({"dl-tuk", slow, rate}), reported(sl), true}},
                          {},
                          {}});
        // The download against both plain loops in one process each, in turns.
        const std::string pairs = std::to_string(kDownloadPairs);
        const qint64 pairBytes = 2 * kDownloadPairs * kPairedDownloadSize;
        const std::string pairUrl = m_nginx.url("paired.bin").toStdString();
        groups.push_back(
            {QStringLiteral("paired-download"),
             QStringLiteral("Downloads of %1 MiB, plain Qt and the library in one "
                            "process, in turns, %2 of each per run")
                 .arg(kPairedDownloadSize / kMiB)
                 .arg(kDownloadPairs),
             QStringLiteral("x plain speed"),
             true,
             false,
             {{QStringLiteral("downloadSync / plain Qt, 1 MiB read buffer"),
               self({"paired-download", pairUrl, "1048576", pairs}), reported(pairBytes)},
              {QStringLiteral("downloadSync / plain Qt, 2 MiB read buffer"),
               self({"paired-download", pairUrl, "2097152", pairs}), reported(pairBytes)}},
             {},
             {}});

        const qint64 smallBytes = qint64(m_opt.requests) * kSmallBodySize;
        groups.push_back({QStringLiteral("small"),
                          QStringLiteral("%1 sequential GETs of a %2-byte file from nginx")
                              .arg(m_opt.requests)
                              .arg(kSmallBodySize),
                          QStringLiteral("us/request"),
                          false,
                          false,
                          {{QStringLiteral("curl, one process, one connection"),
                            {"curl", "-sf", "-K", curlConfig().toStdString()},
                            [this](const Run& run) {
                                Sample s;
                                s.ok = run.ok;
                                s.value = run.wallSeconds * 1e6 / m_opt.requests;
                                s.cpuSeconds = run.cpuSeconds;
                                s.peakMiB = run.sampledPeakKiB / 1024.0;
                                return s;
                            }},
                           {QStringLiteral("plain Qt, one shared manager"),
                            self({"small-qt-shared", small, n}), reported(smallBytes)},
                           {QStringLiteral("TUKHttpService::get, one object"),
                            self({"small-tuk", small, n}), reported(smallBytes), true},
                           {QStringLiteral("plain Qt, new manager per request"),
                            self({"small-qt-new", small, n}), reported(smallBytes)},
                           {QStringLiteral("TUKCloudHttpUtils::get"),
                            self({"small-cloud", small, n}), reported(smallBytes), true}},
                          {},
                          {}});
        // Small requests take well under a second per run, so a busy moment of the machine can
        // double one run: three times as many rounds keep their medians steady.
        groups.back().rounds = 3 * m_opt.rounds;
        groups.push_back({QStringLiteral("upload"),
                          QStringLiteral("Raw POST of a %1 MiB file to a sink").arg(up / kMiB),
                          QStringLiteral("MiB/s"),
                          true,
                          false,
                          {{QStringLiteral("curl -T file -X POST"),
                            {"curl", "-sf", "-o", "/dev/null", "-w",
                             "RESULT %{size_upload} %{time_total}", "-T", file, "-X", "POST", sink},
                            sunk(curlSpeed(up), up, up)},
                           {QStringLiteral("plain Qt post(request, &file)"),
                            self({"up-qt", sink, file}), sunk(reported(up), up, up)},
                           {QStringLiteral("TUKHttpService::upload"), self({"up-tuk", sink, file}),
                            sunk(reported(up), up, up), true}},
                          {},
                          {}});
        // The multipart envelope adds a few hundred bytes to the file.
        const qint64 envelope = 4096;
        groups.push_back(
            {QStringLiteral("multipart"),
             QStringLiteral("Multipart POST of a %1 MiB file to a sink").arg(up / kMiB),
             QStringLiteral("MiB/s"),
             true,
             false,
             {{QStringLiteral("curl -F"),
               {"curl", "-sf", "-o", "/dev/null", "-w", "RESULT %{size_upload} %{time_total}", "-F",
                "access_token=bench-token", "-F", "project_name=kpl_web", "-F",
                "upload_file=@" + file + ";type=application/octet-stream", sink},
               sunk(
                   [up](const Run& run) {
                       const QList<QByteArray> f = resultFields(run.output);
                       Sample s;
                       const double seconds = f.value(1).toDouble();
                       s.ok = run.ok && f.value(0).toLongLong() >= up && seconds > 0;
                       s.value = s.ok ? up / kMiB / seconds : 0;
                       s.peakMiB = run.sampledPeakKiB / 1024.0;
                       s.cpuSeconds = run.cpuSeconds;
                       return s;
                   },
                   up, up + envelope)},
              {QStringLiteral("plain Qt QHttpMultiPart"), self({"mp-qt", sink, file}),
               sunk(reported(up), up, up + envelope)},
              {QStringLiteral("TUKCloudHttpUtils::uploadFileToPYX"), self({"mp-cloud", sink, file}),
               sunk(reported(up), up, up + envelope), true}},
             {},
             {}});
        const std::string idle = std::to_string(m_opt.idleSeconds);
        groups.push_back(
            {QStringLiteral("idle"),
             QStringLiteral("A Qt host idling %1 s, CPU of the whole process")
                 .arg(m_opt.idleSeconds),
             QStringLiteral("% of a core"),
             false,
             true,
             {{QStringLiteral("host without the library"), host({"idle", idle}), reported(-1)},
              {QStringLiteral("host that loaded the library"),
               host({"idle", idle, TUK_LIBRARY_FILE}), reported(-1), true}},
             {},
             {}});
        groups.push_back(
            {QStringLiteral("load"),
             QStringLiteral("dlopen() of the library to the return of the first getInstance()"),
             QStringLiteral("ms"),
             false,
             false,
             {{QStringLiteral("host with Qt Core only"), host({"load", TUK_LIBRARY_FILE}),
               reported(-1), true},
              {QStringLiteral("host with Qt Gui and Network loaded"),
               host({"load", TUK_LIBRARY_FILE, "libQt5Gui.so.5", "libQt5Network.so.5"}),
               reported(-1), true},
              {QStringLiteral("host with Qt Gui, Network and DBus loaded"),
               host({"load", TUK_LIBRARY_FILE, "libQt5Gui.so.5", "libQt5Network.so.5",
                     "libQt5DBus.so.5"}),
               reported(-1), true}},
             {},
             {}});
        // A run takes milliseconds: more rounds for steady medians.
        groups.back().rounds = 3 * m_opt.rounds;

        // The same comparisons in one process each, plain and library in alternating blocks.
        const std::string block = std::to_string(kPairedBlock);
        groups.push_back({QStringLiteral("paired"),
                          QStringLiteral("Small GETs, plain Qt and the library in one process, "
                                         "alternating blocks of %1 requests, %2 of each per run")
                              .arg(kPairedBlock)
                              .arg(m_opt.requests),
                          QStringLiteral("x plain Qt"),
                          false,
                          false,
                          {{QStringLiteral("TUKHttpService::get / shared plain manager"),
                            self({"paired-shared", small, n, block}), reported(2 * smallBytes)},
                           {QStringLiteral("TUKCloudHttpUtils::get / new plain manager"),
                            self({"paired-new", small, n, block}), reported(2 * smallBytes)}},
                          {},
                          {}});

        // The same small requests under callgrind: instructions per request over all threads,
        // counted exactly, so the comparison holds however busy the machine is.
        groups.push_back(
            {QStringLiteral("instructions"),
             QStringLiteral("Instructions per small GET (callgrind, all threads; "
                            "runs of %1 and %2 requests, the difference divided by %1)")
                 .arg(kCountedRequests)
                 .arg(2 * kCountedRequests),
             QStringLiteral("instructions"),
             false,
             false,
             {{QStringLiteral("plain Qt, one shared manager"), self({"small-qt-shared", small, ""}),
               reported(-1)},
              {QStringLiteral("TUKHttpService::get, one object"), self({"small-tuk", small, ""}),
               reported(-1), true},
              {QStringLiteral("plain Qt, new manager per request"),
               self({"small-qt-new", small, ""}), reported(-1)},
              {QStringLiteral("TUKCloudHttpUtils::get"), self({"small-cloud", small, ""}),
               reported(-1), true}},
             {},
             {}});
        groups.back().rounds = 1; // deterministic

        // Not part of the default run: how the library's read buffer size was chosen.
        Group buffers{QStringLiteral("buffers"),
                      QStringLiteral("Plain Qt download of %1 MiB by read buffer size, fast and "
                                     "with the consumer paced to %2 MiB/s")
                          .arg(sl / kMiB)
                          .arg(m_opt.slowRate),
                      QStringLiteral("MiB/s"),
                      true,
                      false,
                      {{QStringLiteral("curl -o /dev/null"), plus(curlGet, {slow}), curlSpeed(sl)}},
                      {},
                      {}};
        for (const int kib : {256, 512, 1024, 2048, 4096}) {
            const std::string bytes = std::to_string(kib * 1024);
            const QString name = QStringLiteral("read buffer %1 KiB").arg(kib);
            buffers.cases.push_back({name, self({"dl-qt", slow, bytes, "0"}), reported(sl)});
            buffers.cases.push_back({name + QStringLiteral(", paced"),
                                     self({"dl-qt", slow, bytes, rate}), reported(sl)});
        }
        buffers.onlyWhenNamed = true;
        groups.push_back(buffers);
        return groups;
    }

    void measure(Group& g)
    {
        g.samples.assign(g.cases.size(), {});
        const size_t n = g.cases.size();
        if (g.parallel) {
            runParallel(g);
            return;
        }
        if (g.id == QLatin1String("instructions")) {
            countInstructions(g);
            return;
        }
        const int rounds = g.rounds > 0 ? g.rounds : m_opt.rounds;
        for (int round = 0; round < rounds; ++round) {
            for (size_t i = 0; i < n; ++i) {
                const size_t c = (i + size_t(round)) % n;
                const Case& k = g.cases[c];
                m_sink.clear();
                const bool external = k.argv.front() == "curl";
                const Run run = runProgram(k.argv, external);
                const Sample s = k.read(run);
                if (!s.ok)
                    std::fprintf(stderr, "%s: run failed\n%s\n", qPrintable(k.label),
                                 run.output.constData());
                g.samples[c].push_back(s);
                std::fprintf(stderr, "  %-9s round %d  %-45s %10.2f %s %7.1f MiB\n",
                             qPrintable(g.id), round + 1, qPrintable(k.label), s.value,
                             qPrintable(g.unit), s.peakMiB);
            }
        }
    }

    // Runs each case under callgrind with kCountedRequests and twice as many requests (the last
    // argument); the difference of the two counts, divided by kCountedRequests, leaves out
    // everything but the requests themselves.
    void countInstructions(Group& g)
    {
        auto count = [](Args argv, int requests) {
            argv.back() = std::to_string(requests);
            argv.insert(argv.begin(), {"valgrind", "--tool=callgrind",
                                       "--callgrind-out-file=/dev/null", "--log-fd=1"});
            const Run run = runProgram(argv, false);
            const int at = run.output.lastIndexOf("Collected :");
            return run.ok && at >= 0
                       ? run.output.mid(at + 11).trimmed().split('\n').value(0).toDouble()
                       : -1.0;
        };
        for (size_t c = 0; c < g.cases.size(); ++c) {
            const double once = count(g.cases[c].argv, kCountedRequests);
            const double twice = count(g.cases[c].argv, 2 * kCountedRequests);
            Sample s;
            s.ok = once > 0 && twice > once;
            s.value = s.ok ? (twice - once) / kCountedRequests : 0;
            g.samples[c].push_back(s);
            std::fprintf(stderr, "  %-9s %-45s %10.0f instructions/request\n", qPrintable(g.id),
                         qPrintable(g.cases[c].label), s.value);
        }
    }

    // Every run of the group at once: idle hosts barely compete for the processors, and the
    // group then takes one idle period instead of one per run.
    void runParallel(Group& g)
    {
        std::vector<std::thread> threads;
        std::vector<std::vector<Run>> runs(g.cases.size(), std::vector<Run>(size_t(m_opt.rounds)));
        for (size_t c = 0; c < g.cases.size(); ++c)
            for (int round = 0; round < m_opt.rounds; ++round)
                threads.emplace_back(
                    [&, c, round] { runs[c][size_t(round)] = runProgram(g.cases[c].argv, false); });
        for (std::thread& t : threads)
            t.join();
        for (size_t c = 0; c < g.cases.size(); ++c)
            for (const Run& run : runs[c])
                g.samples[c].push_back(g.cases[c].read(run));
    }

    void addTargets(Group& g)
    {
        // A per-round figure that must stay at or below `limit` (at or above with atLeast).
        auto add = [&g](const QString& text, const std::vector<double>& rounds, double limit,
                        bool atLeast = false) {
            const double value = median(rounds);
            g.targets.push_back({text, rounds, value,
                                 !rounds.empty() && (atLeast ? value >= limit : value <= limit)});
        };
        auto addPeak = [&g](size_t c) {
            const double peak = g.maxOf(c, &Sample::peakMiB);
            g.targets.push_back({QStringLiteral("%1: peak RSS <= 40 MiB").arg(g.cases[c].label),
                                 {},
                                 peak,
                                 peak > 0 && peak <= 40});
        };
        if (g.id == QLatin1String("download")) {
            add(QStringLiteral("downloadSync / curl >= 0.90"), g.ratios(3, 0), 0.9, true);
            addPeak(3);
            // Against plain Qt the paired comparison below decides; these are for information.
            for (const size_t plain : {size_t(1), size_t(2)}) {
                add(QStringLiteral("downloadSync / %1").arg(g.cases[plain].label),
                    g.ratios(3, plain), 0);
                g.targets.back().informational = true;
            }
        } else if (g.id == QLatin1String("paired-download")) {
            // The faster plain loop is the one with the lower ratio: it must be matched.
            std::vector<double> worst;
            for (size_t round = 0; round < g.samples[0].size() && round < g.samples[1].size();
                 ++round)
                if (g.samples[0][round].ok && g.samples[1][round].ok)
                    worst.push_back(std::min(g.samples[0][round].value, g.samples[1][round].value));
            add(QStringLiteral("downloadSync / the faster plain loop >= 1.00"), worst, 1.0, true);
        } else if (g.id == QLatin1String("slow")) {
            addPeak(1);
        } else if (g.id == QLatin1String("small")) {
            // Runs of well under a second in processes of their own: on a busy machine one run
            // can take twice as long as the next. The targets are checked on the paired and the
            // counted comparisons below; these ratios are shown for information.
            add(QStringLiteral("TUKHttpService::get / shared plain manager"), g.ratios(2, 1), 0);
            add(QStringLiteral("TUKCloudHttpUtils::get / new plain manager"), g.ratios(4, 3), 0);
            for (Target& t : g.targets)
                t.informational = true;
        } else if (g.id == QLatin1String("upload") || g.id == QLatin1String("multipart")) {
            // Qt's 16 KiB turn bounds both (docs/performance.md); the ratio is for information.
            add(QStringLiteral("%1 / %2").arg(g.cases[2].label, g.cases[1].label), g.ratios(2, 1),
                0);
            g.targets.back().informational = true;
            addPeak(2);
        } else if (g.id == QLatin1String("paired")) {
            auto values = [&g](size_t c) {
                std::vector<double> v;
                for (const Sample& s : g.samples[c])
                    if (s.ok)
                        v.push_back(s.value);
                return v;
            };
            add(QStringLiteral("TUKHttpService::get / shared plain manager <= 1.00"), values(0),
                1.0);
            add(QStringLiteral("TUKCloudHttpUtils::get / new plain manager per request <= 1.05"),
                values(1), 1.05);
        } else if (g.id == QLatin1String("instructions")) {
            add(QStringLiteral("TUKHttpService::get / shared plain manager <= 1.00"),
                g.ratios(1, 0), 1.0);
            add(QStringLiteral("TUKCloudHttpUtils::get / new plain manager per request <= 1.05"),
                g.ratios(3, 2), 1.05);
        } else if (g.id == QLatin1String("idle")) {
            add(QStringLiteral("extra CPU of the library while idle, % of a core < 0.05"),
                g.perRound([](const std::vector<double>& v) { return v[1] - v[0]; }), 0.05);
        } else if (g.id == QLatin1String("load")) {
            for (size_t c = 0; c < g.cases.size(); ++c) {
                std::vector<double> ms;
                for (const Sample& s : g.samples[c])
                    ms.push_back(s.value);
                add(QStringLiteral("load cost, %1, ms < 2").arg(g.cases[c].label), ms, 2);
            }
        }
    }

    void print(const Group& g) const
    {
        std::printf("%s, %d rounds\n", qPrintable(g.title), g.rounds > 0 ? g.rounds : m_opt.rounds);
        std::printf("| %-45s | %12s | %-19s | %6s | %7s | %8s | %-4s |\n", "case",
                    qPrintable(g.unit), "lowest-highest", "x ref", "CPU s", "peak MiB", "ok");
        std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(47, '-').c_str(),
                    std::string(14, '-').c_str(), std::string(21, '-').c_str(),
                    std::string(8, '-').c_str(), std::string(9, '-').c_str(),
                    std::string(10, '-').c_str(), std::string(6, '-').c_str());
        for (size_t c = 0; c < g.cases.size(); ++c) {
            double lo = 0, hi = 0;
            bool ok = !g.samples[c].empty();
            for (size_t i = 0; i < g.samples[c].size(); ++i) {
                const double v = g.samples[c][i].value;
                lo = i == 0 ? v : std::min(lo, v);
                hi = std::max(hi, v);
                ok = ok && g.samples[c][i].ok;
            }
            const int digits = g.unit == QLatin1String("instructions")                      ? 0
                               : g.unit == QLatin1String("MiB/s") || g.unit.startsWith('u') ? 1
                                                                                            : 3;
            std::printf(
                "| %-45s | %12.*f | %-19s | %6.2f | %7.3f | %8.1f | %-4s |\n",
                qPrintable(g.cases[c].label), digits, g.medianOf(c, &Sample::value),
                qPrintable(QStringLiteral("%1-%2").arg(lo, 0, 'f', digits).arg(hi, 0, 'f', digits)),
                g.ratio(c, 0), g.medianOf(c, &Sample::cpuSeconds), g.maxOf(c, &Sample::peakMiB),
                ok ? "yes" : "NO");
        }
        for (const Target& t : g.targets) {
            QString rounds;
            for (double v : t.rounds)
                rounds += QStringLiteral(" %1").arg(v, 0, 'f', 3);
            std::printf(
                "%s: %s: %.3f%s%s\n", t.informational ? "for information" : "target",
                qPrintable(t.text), t.value,
                t.informational ? ""
                : t.met         ? " met"
                                : " NOT MET",
                rounds.isEmpty() ? "" : qPrintable(QStringLiteral(" (per round:%1)").arg(rounds)));
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    void writeJson() const
    {
        QJsonArray groups;
        for (const Group& g : m_done) {
            QJsonArray cases;
            for (size_t c = 0; c < g.cases.size(); ++c) {
                QJsonArray values, cpu, peak;
                for (const Sample& s : g.samples[c]) {
                    values.append(s.ok ? QJsonValue(s.value) : QJsonValue());
                    cpu.append(s.cpuSeconds);
                    peak.append(s.peakMiB);
                }
                cases.append(QJsonObject{{QStringLiteral("case"), g.cases[c].label},
                                         {QStringLiteral("library"), g.cases[c].isLibrary},
                                         {QStringLiteral("median"), g.medianOf(c, &Sample::value)},
                                         {QStringLiteral("ratio_to_first"), g.ratio(c, 0)},
                                         {QStringLiteral("values"), values},
                                         {QStringLiteral("cpu_seconds"), cpu},
                                         {QStringLiteral("peak_rss_mib"), peak}});
            }
            QJsonArray targets;
            for (const Target& t : g.targets) {
                QJsonArray rounds;
                for (double v : t.rounds)
                    rounds.append(v);
                targets.append(QJsonObject{{QStringLiteral("target"), t.text},
                                           {QStringLiteral("value"), t.value},
                                           {QStringLiteral("per_round"), rounds},
                                           {QStringLiteral("met"), t.met},
                                           {QStringLiteral("informational"), t.informational}});
            }
            groups.append(QJsonObject{{QStringLiteral("group"), g.id},
                                      {QStringLiteral("title"), g.title},
                                      {QStringLiteral("unit"), g.unit},
                                      {QStringLiteral("higher_is_better"), g.higherIsBetter},
                                      {QStringLiteral("cases"), cases},
                                      {QStringLiteral("targets"), targets}});
        }
        const QJsonObject root{{QStringLiteral("machine"), machine()},
                               {QStringLiteral("started_utc"), m_started.toString(Qt::ISODate)},
                               {QStringLiteral("load_average_start"), m_loadBefore},
                               {QStringLiteral("load_average_end"), m_loadAfter},
                               {QStringLiteral("rounds"), m_opt.rounds},
                               {QStringLiteral("groups"), groups}};
        QFile f(m_opt.json);
        if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(root).toJson()) < 0)
            std::fprintf(stderr, "cannot write %s\n", qPrintable(m_opt.json));
    }

    static QString loadAverage()
    {
        QFile f(QStringLiteral("/proc/loadavg"));
        return f.open(QIODevice::ReadOnly)
                   ? QString::fromLatin1(f.readAll()).section(QLatin1Char(' '), 0, 2)
                   : QString();
    }

    static QString firstLine(const QString& program, const QStringList& args)
    {
        QProcess p;
        p.start(program, args);
        p.waitForFinished(5000);
        const QByteArray out = p.readAllStandardOutput() + p.readAllStandardError();
        return QString::fromUtf8(out).section(QLatin1Char('\n'), 0, 0).trimmed();
    }

    static QString machine()
    {
        return QStringLiteral("%1, kernel %2, %3 processors, Qt %4, %5, %6")
            .arg(QSysInfo::prettyProductName(), QSysInfo::kernelVersion())
            .arg(QThread::idealThreadCount())
            .arg(QLatin1String(qVersion()))
            .arg(firstLine(QStringLiteral("curl"), {QStringLiteral("--version")})
                     .section(QLatin1Char(' '), 0, 1))
            .arg(firstLine(QStringLiteral("nginx"), {QStringLiteral("-v")})
                     .section(QLatin1Char(':'), 1)
                     .trimmed());
    }

    // A sparse file (reads come from memory), read once so that the first case to use it does not
    // pay for filling the page cache.
    static bool makeFile(const QString& path, qint64 size)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadWrite) || !f.resize(size))
            return false;
        std::vector<char> buffer(1 << 20);
        while (f.read(buffer.data(), qint64(buffer.size())) > 0) {
        }
        return true;
    }

    static bool writeFile(const QString& path, const QByteArray& data)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    }

    bool fail(const char* why)
    {
        std::fprintf(stderr, "setup failed: %s\n", why);
        return false;
    }

    Options m_opt;
    QTemporaryDir m_dir;
    Nginx m_nginx;
    Sink m_sink;
    std::vector<Group> m_done;
    QDateTime m_started;
    QString m_loadBefore;
    QString m_loadAfter;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) {
        QCoreApplication app(argc, argv);
        return runChild(app.arguments().mid(2));
    }
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) {
            std::fprintf(stderr, "%s needs a value\n", a.c_str());
            return 2;
        }
        ++i;
        if (a == "--rounds")
            opt.rounds = std::max(1, std::atoi(value));
        else if (a == "--only")
            opt.only = QString::fromLocal8Bit(value).split(QLatin1Char(','));
        else if (a == "--json")
            opt.json = QString::fromLocal8Bit(value);
        else if (a == "--download-size")
            opt.downloadSize = parseSize(value);
        else if (a == "--slow-size")
            opt.slowSize = parseSize(value);
        else if (a == "--upload-size")
            opt.uploadSize = parseSize(value);
        else if (a == "--requests")
            opt.requests = std::max(1, std::atoi(value));
        else if (a == "--idle-seconds")
            opt.idleSeconds = std::atof(value);
        else if (a == "--slow-rate")
            opt.slowRate = std::atof(value);
        else {
            std::fprintf(stderr,
                         "usage: %s [--rounds N] [--only GROUP,...] [--json FILE] "
                         "[--download-size S] [--slow-size S] [--upload-size S] [--requests N] "
                         "[--idle-seconds S] [--slow-rate MIB_PER_S]\n"
                         "groups: download, slow, paired-download, small, paired, instructions, "
                         "upload, multipart, "
                         "idle, "
                         "load; buffers "
                         "only when named\n",
                         argv[0]);
            return 2;
        }
    }
    QCoreApplication app(argc, argv);
    Bench bench(opt);
    if (!bench.setUp())
        return 1;
    return bench.run();
}
