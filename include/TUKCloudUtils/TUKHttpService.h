#ifndef TUKCLOUDUTILS_TUKHTTPSERVICE_H
#define TUKCLOUDUTILS_TUKHTTPSERVICE_H

#include <TUKCloudUtils/tukcloudutils_export.h>

#include <QEventLoop>
#include <QNetworkReply>
#include <QObject>
#include <QSsl>
#include <QString>

#include <functional>
#include <memory>

class TUKHttpServicePrivate;

/*!
 * \class TUKHttpService
 * \brief Instance HTTP client for one target URL, configured with fluent setters.
 *
 * Build the description of the request with the setters (each returns the object itself, so they
 * chain), then run a verb:
 *
 * \code
 * QNetworkReply::NetworkError err;
 * QString text = TUKHttpService("http://example.test/api")
 *                    .addParam("q", "tuk")
 *                    .setTimeout(3000)
 *                    .get(err);
 * \endcode
 *
 * Blocking verbs (\c get, \c post, \c put, \c patch, \c head, \c deleteResource) wait in a nested
 * event loop on the calling thread until the reply is finished or the time limit runs out, write
 * the outcome to their out-parameter and return the decoded body (an empty string on any failure;
 * the body of an HTTP error answer is not returned). The callback verbs (\c get, \c post, \c patch)
 * return at once; exactly one of the two callbacks runs later from the thread's event loop, unless
 * the object is destroyed or reset first, in which case none runs.
 *
 * Where the parameters go:
 * - GET, HEAD and PATCH append "?" and the percent-encoded parameters to the URL text, even when
 * the URL already holds a query (the result then holds a second "?"). They never send the form
 *   Content-Type.
 * - POST and PUT send the body text as UTF-8 when it is not empty, otherwise the encoded parameters
 *   as the body. POST, PUT and DELETE carry "Content-Type: application/x-www-form-urlencoded"
 *   unless a header added with addHeader() names Content-Type. DELETE sends no body at all.
 * - PATCH always sends the body text (possibly empty) as its body.
 * - Parameters are percent-encoded by QUrlQuery, in insertion order ("x y&z" becomes
 *   "x%20y%26z"). QUrlQuery leaves "+" and an existing "%2B" as they are, and most servers read a
 *   "+" as a space: to send a literal plus sign, pass "%2B".
 *
 * TLS: for every URL that starts with "https" (in any letter case) certificate verification is
 * \b off and the protocol set with setSslProtocol() is used (uploads always use TLS 1.2). Use
 * TUKCloudHttpUtils when the server's certificate must be verified.
 *
 * Decisions this class makes on points a user may wonder about:
 * - Re-using an object: every execution starts from the values set through the setters alone.
 *   Running get() twice sends the same request twice: the query is not appended to the stored URL,
 *   and no TLS configuration, form Content-Type or raw header of an earlier execution is carried
 *   over to the next one. A header removed with clearHeader() is gone from the next request.
 * - An encoding name that QTextCodec does not know decodes the body as UTF-8.
 * - The response's own charset is never consulted: the body is decoded with setEncoding()'s codec.
 * - A time limit of zero or less means no limit; the default is 2147483647 ms. The limit is
 *   measured on the monotonic clock and never ends a wait before it has fully passed.
 * - When the time limit runs out, the verb returns an empty string with
 *   QNetworkReply::TimeoutError and the abandoned reply is released.
 * - Every blocking wait (verbs, downloadSync(), the uploads) also ends when its event loop is ended
 *   from outside, as QCoreApplication::exit() or quit() does while the call waits: the verb returns
 *   an empty string with QNetworkReply::OperationCanceledError (never the part of a body received
 *   so far as a success); downloadSync() and the uploads report that code to their error callback.
 *   Until the application's own event loop has returned, later blocking calls end that way at once.
 * - Every reply of the callback verbs is released once it has ended, whichever callbacks are
 *   empty: a request sent with only an error callback costs nothing after it is done.
 * - The object's network access manager keeps Qt's defaults, on purpose: the application's proxy
 *   settings apply (QNetworkProxy::setApplicationProxy(), QNetworkProxyFactory); the manager's
 *   cookie jar keeps the cookies servers set, and later requests of the same object send them
 *   back (until reset()); there is no cache and no HSTS. Turning the proxy look-up or the cookie
 *   jar off would change what a request sends and would save under 1 % of a request's work
 *   (measured: docs/performance.md).
 * - A body shorter than the Content-Length the server announced, or than the range of a 206
 *   answer's Content-Range when it has no Content-Length, was cut by the peer (Qt may report
 *   such a body as a success): the verbs, the streaming downloads and the uploads report it as a
 *   failure with QNetworkReply::RemoteHostClosedError. Bodies the network layer decompresses
 *   announce no length to check; a chunked body announces none either, and Qt 5.15 may report
 *   one cut by the peer as a success.
 * - A request without a time limit ends once the server has closed the connection, also where
 *   Qt 5.15 alone would miss the close (a chunk-size line cut or garbled by it): the library has
 *   the network thread look at every running reply's connection twice a second.
 *
 * Threads: the object, its network access manager and every reply belong to the thread that
 * created the object, which must run a Qt event loop for callback verbs and asynchronous
 * downloads. Do not destroy the object or call reset() from code that runs inside one of its own
 * blocking waits.
 *
 * With setDebug(true) each request that goes through the dispatch writes exactly one qDebug() line
 * holding the final URL text.
 */
class TUKCLOUDUTILS_EXPORT TUKHttpService : public QObject
{
    Q_OBJECT

public:
    /*! The outcome of a request: QNetworkReply's error code (QNetworkReply::NoError on success). */
    using NetworkError = QNetworkReply::NetworkError;

    /*! The HTTP methods; the values are fixed. */
    enum HttpMethod
    {
        Get = 0,
        Post = 1,
        Delete = 2,
        Head = 3,
        Put = 4,
        Patch = 5
    };

    /*!
     * Creates a client for \a url (it may also be set later with setUrl()), with its own network
     * access manager and every other setting at its default. Nothing is sent before a verb runs.
     */
    explicit TUKHttpService(const QString& url = QString(""));
    ~TUKHttpService() override;

    TUKHttpService(const TUKHttpService&) = delete;
    TUKHttpService& operator=(const TUKHttpService&) = delete;

    // ---- request description (fluent) -----------------------------------------------------------
    /*! Target URL text; GET, HEAD and PATCH append the parameters to it when they run. */
    TUKHttpService& setUrl(const QString& url);
    /*! Body text, sent as UTF-8 by post(), put() and patch(). */
    TUKHttpService& setBody(const QString& body);
    /*! Codec name used to decode response bodies (default "UTF-8"; unknown names decode as UTF-8).
     */
    TUKHttpService& setEncoding(const QString& encoding);
    /*! Time limit of every blocking wait in milliseconds; zero or less means no limit. */
    TUKHttpService& setTimeout(int timeoutMs);
    /*! With \a debug true each request writes one qDebug() line with its final URL (default off).
     */
    TUKHttpService& setDebug(bool debug);
    /*! Flags passed to QEventLoop::exec() by every blocking wait (default QEventLoop::AllEvents).
     */
    TUKHttpService& setExecFlag(QEventLoop::ProcessEventsFlag flag);
    /*! Protocol for https requests of the verbs and downloads (default QSsl::TlsV1_2). */
    TUKHttpService& setSslProtocol(QSsl::SslProtocol protocol);
    /*! Sets a header; a name already present (case-sensitive) has its value replaced. */
    TUKHttpService& addHeader(const QString& name, const QString& value);
    /*! Appends a parameter; repeated keys are all sent, in the order added. */
    TUKHttpService& addParam(const QString& key, const QString& value);
    /*! Removes every header added with addHeader(). */
    TUKHttpService& clearHeader();
    /*! Removes every parameter added with addParam(). */
    TUKHttpService& clearParam();
    /*!
     * Returns every setting except the URL to its default and gives the object a new network
     * access manager; replies still running are destroyed without any callback.
     */
    TUKHttpService& reset();

    // ---- blocking verbs
    // ---------------------------------------------------------------------------
    /*!
     * Sends a GET, parameters in the URL, and waits for the answer (see the class description).
     * Returns the decoded body, or an empty string on failure; \a error receives the outcome,
     * QNetworkReply::TimeoutError when the time limit ran out.
     */
    QString get(NetworkError& error);
    /*!
     * Sends a POST whose body is the body text, or the encoded parameters when the body text is
     * empty, and waits; results as for get(NetworkError&).
     */
    QString post(NetworkError& error);
    /*! As post(NetworkError&), with the PUT method. */
    QString put(NetworkError& error);
    /*!
     * Sends a PATCH whose body is the body text (possibly empty), parameters in the URL, and waits;
     * results as for get(NetworkError&).
     */
    QString patch(NetworkError& error);
    /*! Returns an empty string on success too; the outcome is in \a error. */
    QString head(NetworkError& error);
    /*!
     * Sends a DELETE without body and waits; the parameters are not sent. Results as for
     * get(NetworkError&).
     */
    QString deleteResource(NetworkError& error);

    // ---- callback verbs
    // ---------------------------------------------------------------------------
    /*!
     * Sends the request of get(NetworkError&) and returns at once. Later, from this thread's event
     * loop, \a onSuccess receives the decoded body, or \a onFailure the error code and Qt's error
     * text. No time limit applies. Either callback may be empty.
     */
    void get(std::function<void(const QString&)> onSuccess,
             std::function<void(NetworkError, const QString&)> onFailure);
    /*! Sends the request of post(NetworkError&); callbacks as for the callback get(). */
    void post(std::function<void(const QString&)> onSuccess,
              std::function<void(NetworkError, const QString&)> onFailure);
    /*! Sends the request of patch(NetworkError&); callbacks as for the callback get(). */
    void patch(std::function<void(const QString&)> onSuccess,
               std::function<void(NetworkError, const QString&)> onFailure);

    // ---- streaming downloads
    // ----------------------------------------------------------------------
    /*!
     * Streams the body of a GET to \a onData piece by piece, as it arrives; returns at once.
     *
     * The request is built like get()'s (URL, parameters, headers, TLS protocol, debug line).
     * Every piece goes to \a onData, which may set its \c bool& argument to stop the transfer:
     * nothing more is reported for it then. \a onProgress receives the reply's download progress.
     * The transfer ends with exactly one of \a onFinished (no error) or \a onError (network,
     * TLS or HTTP failure, with the reply's code and text; the error page of an HTTP failure may
     * already have gone to \a onData). An empty body gives no \a onData call. Callbacks run later
     * from this thread's event loop; there is no time limit. Destroying the object or calling
     * reset() ends a running transfer silently.
     *
     * Memory stays bounded whatever the size: the reply keeps at most about 2 MiB that
     * \a onData has not taken yet (so a piece is about 2 MiB at most), and a callback slower
     * than the network slows the transfer down instead of filling memory.
     *
     * \a onData is required. When it is empty nothing is sent, and \a onError, if set, receives
     * QNetworkReply::ProtocolInvalidOperationError with the text "No data callback given: the
     * download was not started" from the event loop (not at all if the object is destroyed
     * first). The other callbacks may be empty.
     */
    void downloadAsync(std::function<void(const QByteArray&, bool&)> onData,
                       std::function<void()> onFinished,
                       std::function<void(qint64, qint64)> onProgress,
                       std::function<void(NetworkError, const QString&)> onError);
    /*!
     * As downloadAsync(), but waits in a nested event loop (run with setExecFlag()'s flags) until
     * the transfer has finished, failed, been stopped by \a onData or run out of time.
     *
     * The time limit of setTimeout() bounds the whole transfer, however steadily data arrives;
     * when it runs out \a onError receives QNetworkReply::TimeoutError and the reply's error text
     * at that moment, and the transfer is abandoned. \a onFinished gets the reply, valid during
     * the call only, to read its status code and headers (the body has gone to \a onData).
     * Returns at once after the stop request of \a onData. An empty \a onData is reported to
     * \a onError (see downloadAsync()) before this call returns; nothing is sent.
     */
    void downloadSync(std::function<void(const QByteArray&, bool&)> onData,
                      std::function<void(QNetworkReply*)> onFinished,
                      std::function<void(qint64, qint64)> onProgress,
                      std::function<void(NetworkError, const QString&)> onError);

    // ---- raw-body uploads
    // -------------------------------------------------------------------------
    /*!
     * Sends the file at \a filePath as the raw body of a POST to the URL and waits (nested
     * event loop with setExecFlag()'s flags, under setTimeout()'s limit) until it has ended.
     *
     * The request carries the file's bytes exactly, streamed from disk while sending (files of any
     * size), with the header "Content-Type:" followed by a tab and "application/octet-stream" (the
     * tab is part of the value). Parameters, headers and body text of the builder are not used.
     * For https (any letter case) certificate verification is off and TLS 1.2 is used, whatever
     * setSslProtocol() says.
     *
     * On success \a onSuccess receives the reply body as text (UTF-8, ending at its first zero
     * byte), then \a onFinished is called. On a network, TLS or HTTP failure only \a onError is
     * called, with the reply's code and text; when the time limit runs out it receives
     * QNetworkReply::TimeoutError. \a onProgress receives each upload progress report (Qt may
     * close with a report of 0 of 0); setting its \c bool& argument abandons the upload, and no
     * callback follows. Every callback may be empty; without \a onProgress an upload cannot be
     * cancelled.
     *
     * A file that cannot be opened for reading (missing, a folder, an empty name): the call
     * returns at once, sends nothing and calls nothing.
     * A file that cannot seek (a named pipe) is read to its end into memory before it is sent.
     *
     * The file is closed when the call returns, whatever the outcome, and is never read again:
     * an abandoned upload (failure, time limit, cancellation) gets no more bytes from it while its
     * reply waits to be deleted by the event loop, so the caller may move or remove the file at
     * once.
     */
    void upload(const QString& filePath, std::function<void(QString)> onSuccess,
                std::function<void()> onFinished,
                std::function<void(qint64, qint64, bool&)> onProgress,
                std::function<void(NetworkError, QString)> onError);
    /*!
     * As upload(), with \a data as the body (shared with the caller, not copied) and without
     * progress reports or cancellation. A request is always sent.
     */
    void uploadAppData(const QByteArray& data, std::function<void(QString)> onSuccess,
                       std::function<void()> onFinished,
                       std::function<void(NetworkError, QString)> onError);

private:
    QString execute(HttpMethod method, NetworkError& error);
    QString execute(HttpMethod method, std::function<void(const QString&)> onSuccess,
                    std::function<void(NetworkError, const QString&)> onFailure);
    QNetworkReply* executeInner(HttpMethod method);

    friend class TUKHttpServicePrivate;
    std::unique_ptr<TUKHttpServicePrivate> d;
};

#endif // TUKCLOUDUTILS_TUKHTTPSERVICE_H
