#ifndef TUKCLOUDUTILS_TUKDOWNLOADMANAGER_H
#define TUKCLOUDUTILS_TUKDOWNLOADMANAGER_H

#include <TUKCloudUtils/tukcloudutils_export.h>

#include <QObject>
#include <QString>

#include <memory>

class TUKDownloadManagerPrivate;

/*!
 * \class TUKDownloadManager
 * \brief Downloads one URL into one local file with an HTTP GET, writing the body as it arrives.
 *
 * \code
 * auto* dl = new TUKDownloadManager(this);
 * connect(dl, &TUKDownloadManager::sigDownloadEnd, this, &Host::onDownloadEnd);
 * dl->downloadFile("http://example.test/setup.bin", "/tmp/setup.bin");
 * \endcode
 *
 * downloadFile() opens (creates or truncates) the target file at once and schedules the request
 * with a zero-interval timer: no request is sent before the calling thread's event loop runs
 * again. Every chunk the server sends is appended to the file as it arrives. When the reply has
 * finished the file is closed and sigDownloadEnd() is emitted.
 *
 * Outcomes:
 * - Success: the file holds the whole body; sigDownloadEnd().
 * - Network or HTTP error: the file holds whatever the server sent (for an HTTP error status,
 *   the server's error page), one line "Failed: <Qt's error text>" goes to standard error and
 *   sigDownloadEnd() is emitted exactly as on success. The signal carries no verdict: look at
 *   the file, or at the standard error line, when you need to know.
 * - A body shorter than the Content-Length the server announced, or than the range of a 206
 *   answer's Content-Range when it has no Content-Length (the connection closed or was
 *   reset early; Qt 5.15 sometimes finishes such a reply as a success) is a failure too: the file
 *   keeps what arrived and the line reads "Failed: The connection ended after N of the M body
 *   bytes the server announced" (or Qt's own error text when Qt noticed).
 * - The target cannot be opened for writing: downloadFile() returns, nothing is sent, no signal,
 *   no message.
 * - The URL text does not parse as a valid URL (for example an empty text or a port above
 *   65535): the target has already been created or truncated and stays open and empty; nothing
 *   is sent, no signal, no message. The file is closed by the next downloadFile() call or by the
 *   destructor.
 * - A failing write to the file (disk full) is not looked at; the transfer goes on.
 *
 * The URL text is converted to the local 8-bit encoding and parsed as an encoded URL in
 * tolerant mode. The request carries no headers or attributes of ours; redirects are not
 * followed (the body of a redirect answer is what gets written).
 *
 * One transfer at a time. Decision for a call made while a transfer is still on its way (between
 * downloadFile() and sigDownloadEnd()): the call is ignored. The running transfer is not
 * disturbed and still ends with its own sigDownloadEnd(); call downloadFile() again from the
 * slot connected to sigDownloadEnd(). After the signal the object can be reused.
 *
 * Destroying the object during a transfer aborts it: the file is closed with what it holds, no
 * signal, no message.
 *
 * Threads: the object works on the thread that owns it, which must run a Qt event loop.
 */
class TUKCLOUDUTILS_EXPORT TUKDownloadManager : public QObject
{
    Q_OBJECT

public:
    /*! Creates an idle manager with \a parent; it owns its network access manager. */
    explicit TUKDownloadManager(QObject* parent = nullptr);
    ~TUKDownloadManager() override;

    /*!
     * Opens \a filePath for writing (an existing file is truncated) and schedules a GET of
     * \a url; returns before any network activity. See the class description for every outcome.
     */
    void downloadFile(const QString& url, const QString& filePath);

signals:
    /*! The transfer has ended, successfully or not, and the file is closed. */
    void sigDownloadEnd();

private slots:
    void startDownload();
    void downloadFinished();
    void downloadReadyRead();

private:
    Q_DISABLE_COPY(TUKDownloadManager)
    friend class TUKDownloadManagerPrivate;
    std::unique_ptr<TUKDownloadManagerPrivate> d;
};

#endif // TUKCLOUDUTILS_TUKDOWNLOADMANAGER_H
