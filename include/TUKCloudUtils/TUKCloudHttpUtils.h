#ifndef TUKCLOUDUTILS_TUKCLOUDHTTPUTILS_H
#define TUKCLOUDUTILS_TUKCLOUDHTTPUTILS_H

#include <TUKCloudUtils/tukcloudutils_export.h>

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

/*!
 * \class TUKCloudHttpUtils
 * \brief Static, blocking one-call HTTP helpers for the cloud services of the host: GET and POST
 * with cookie maps in and out, remote file probes, and a multipart upload to the file store.
 *
 * Every member is static; no object is needed and none keeps state. Each call creates its own
 * network access manager (with an empty cookie jar), request, reply and event loop and destroys
 * them before it returns, so no cookie, connection or setting carries over from one call to the
 * next. Each manager keeps Qt's defaults: the application's proxy settings apply
 * (QNetworkProxy::setApplicationProxy(), QNetworkProxyFactory), its cookie jar collects the
 * cookies that \c outCookies reports, and there is no cache and no HSTS.
 *
 * \code
 * QMap<QString, QString> in{{"sid", "abc"}}, out;
 * const QString page = TUKCloudHttpUtils::get("https://cloud.example.test/home", in, out);
 * \endcode
 *
 * Waiting: a call waits on the calling thread in a nested QEventLoop until its reply has finished.
 * There is \b no time limit: a server that accepts the connection and never answers keeps the
 * call waiting. The nested loop delivers the thread's other events (timers, queued signals, user
 * input on the GUI thread) while it runs, so host code may run, and may call these helpers again,
 * before the call returns. The calling thread needs a QCoreApplication. A wait ended from outside
 * (QCoreApplication::exit() or quit() while the call waits) ends the call with its failure value;
 * until the application's own event loop has returned, later calls end that way at once.
 *
 * Every request carries the library's fixed browser User-Agent text, "Mozilla/5.0 (Windows NT 6.3;
 * WOW64) AppleWebKit/537.1 (KHTML, like Gecko) Chrome/21.0.1180.89 Safari/537.1".
 *
 * TLS: these helpers keep Qt's default certificate verification. A server whose certificate Qt
 * does not trust (for instance a self-signed one) makes every call fail with its failure value.
 * This is the opposite of TUKHttpService, which turns verification \b off for https URLs.
 *
 * Failures: nothing is thrown (diagnostics go to the logging category "tukcloudutils.cloud", off
 * by default). get() and post() return an empty string, and leave
 * \c outCookies empty; getRemoteFileSize() returns 0; isSupportResumeDownload() returns false;
 * uploadFileToPYX() returns an empty string. A successful reply with an empty body also gives an
 * empty string. Failure covers: a URL that does not parse (an empty one included, decided before
 * anything is sent), a transport or TLS error, an HTTP status of 400 or more, any status below 200
 * or above 399, a body shorter than the Content-Length the server announced, or than the range
 * of a 206 answer's Content-Range when it has no Content-Length (cut by the peer, which Qt may
 * report as a success). The two probes have narrower status rules of their own (see each).
 * Every call ends once the server has closed the connection, also where Qt 5.15 alone would
 * miss the close (a chunk-size line cut by it).
 *
 * Redirects: the network layer follows none. get(), post() and the two probes follow HTTP 302
 * only (get() and post() with a GET, each probe with its own request); 301, 303, 307 and 308 are
 * ordinary replies (get() and post() return their own body). uploadFileToPYX() follows nothing.
 * The Location must be an absolute URL: a relative or malformed Location, or none, is not resolved
 * against the request and makes the call fail. At most 20 redirects are followed in one call: when
 * a 21st 302 arrives, the call ends with its failure value (and, for get() and post(), an empty
 * \c outCookies). Chains are followed in a loop, so a redirect loop costs no stack.
 *
 * Response text: when the reply's Content-Type header contains "charset=utf-8" (in any letter
 * case) the body is decoded as UTF-8; otherwise (no header, another charset, "utf8" without the
 * hyphen, a quoted charset value) it is decoded with the local 8-bit code page
 * (QString::fromLocal8Bit, i.e. QTextCodec::codecForLocale()).
 */
class TUKCLOUDUTILS_EXPORT TUKCloudHttpUtils : public QObject
{
    Q_OBJECT

public:
    TUKCloudHttpUtils();
    ~TUKCloudHttpUtils() override;

    /*!
     * Sends a GET to \a url and returns the decoded response body.
     *
     * \a outCookies is emptied first, then \a inCookies is read, so passing the same map for both
     * sends no cookie. Of \a inCookies, every entry whose name and value are both non-empty is
     * sent, in key order, in one Cookie header; the other entries are dropped silently. On success
     * \a outCookies holds the cookies that the last reply set (as the cookie jar accepted them for
     * that reply's URL), name to value.
     *
     * On a 302 the call follows the Location with a GET that carries only the cookies the 302
     * reply set, never \a inCookies again; the result and \a outCookies are those of the last
     * reply of the chain.
     */
    static QString get(const QString& url, const QMap<QString, QString>& inCookies,
                       QMap<QString, QString>& outCookies);

    /*!
     * Sends a POST with the body \a data, unchanged, and returns the decoded response body.
     * The Content-Type is \a contentType, or "application/x-www-form-urlencoded" when it is empty.
     * Cookies and redirects as for get(); a 302 is followed with a GET without body.
     * \a inCookies is only read.
     */
    static QString post(const QString& url, const QByteArray& data, const QString& contentType,
                        QMap<QString, QString>& inCookies, QMap<QString, QString>& outCookies);

    /*!
     * Sends a POST whose body is \a params joined with "&", as UTF-8. Items are taken verbatim:
     * nothing is percent-encoded and no "=" is added, so pass ready-made "key=value" items.
     * Empty items at the head of the list vanish; a later empty item gives two "&" in a row
     * ("a=1", "", "b=2" gives "a=1&&b=2"). An empty list gives an empty body.
     * Otherwise as the other post().
     */
    static QString post(const QString& url, const QStringList& params, const QString& contentType,
                        QMap<QString, QString>& inCookies, QMap<QString, QString>& outCookies);

    /*!
     * Returns the size that the server announces for \a url in the Content-Length of its 200
     * answer to a HEAD request, at full 64-bit width; 0 when it cannot be learnt (failure, any
     * status other than 200, no Content-Length). 302 answers are followed as described above.
     */
    static qint64 getRemoteFileSize(const QString& url);

    /*!
     * Asks \a url for its first two bytes ("Range: bytes=0-1") and returns true when the answer
     * is 206, or when any other answer carries a Content-Range header. 302 answers are followed.
     *
     * The wait ends at the first of: the reply finishing, or its first download-progress report.
     * The answer is judged at that moment and the rest of the transfer is dropped, so a server
     * that ignores the range and starts sending a large file is not read to the end. Because the
     * wait can end before Qt reports an HTTP error, a 4xx or 5xx answer that carries Content-Range
     * also gives true.
     *
     * Qt reports download progress at most every 100 ms, counted from the moment the request was
     * sent: data that arrive earlier bring no report. A server that ignores the range therefore
     * has its first ~100 ms of body buffered in memory before the probe returns; and a server that
     * sends its head and a first piece of body at once and then stalls, with the connection
     * open, keeps the probe waiting (there is no time limit) until it sends more or closes.
     */
    static bool isSupportResumeDownload(const QString& url);

    /*!
     * Uploads the file at \a filePath to the file store endpoint \a url as a multipart/form-data
     * POST and returns the decoded response body (an empty string on failure).
     *
     * The request's Content-Type is "multipart/form-data;boundary=" followed by the boundary,
     * which is sixteen hyphens and the local time as "yyyyMMddhhmmsszzz" (33 characters). The
     * body holds three parts, in this order:
     * - name "access_token": \a accessToken as UTF-8 (sent even when empty);
     * - name "project_name": "kpl_web";
     * - name "upload_file", filename the last component of \a filePath inserted as UTF-8 between
     *   quotation marks without any escaping (a quotation mark in the name is sent as it is),
     *   with a "Content-Type: " \a fileContentType line only when \a fileContentType is not empty;
     *   its body is the file, streamed from disk while sending (the file is never held in memory).
     *
     * Outcomes: a URL that does not parse, a file that does not exist, or one that cannot be
     * opened for reading (a folder, no permission) gives an empty string before anything is sent.
     * Redirects are not followed here: a 3xx answer counts as success and its body is returned.
     * No cookie is sent or read.
     */
    static QString uploadFileToPYX(const QString& url, const QString& accessToken,
                                   const QString& filePath, const QString& fileContentType);

private:
    // Core of get() and post(): never clears outCookies itself, only adds to it.
    static QString request(const QString& url, const QByteArray& data, const QString& contentType,
                           bool isPost, const QMap<QString, QString>& inCookies,
                           QMap<QString, QString>& outCookies);
};

#endif // TUKCLOUDUTILS_TUKCLOUDHTTPUTILS_H
