#ifndef TUKCLOUDUTILS_TUKREPLYWATCH_P_H
#define TUKCLOUDUTILS_TUKREPLYWATCH_P_H

class QNetworkReply;

namespace tuk {

// Qt 5.15's HTTP/1 engine can miss the close of a connection whose reply is still reading: after a
// chunk-size line that arrives cut or garbled together with the peer's close, the reply neither
// finishes nor fails, however long one waits. Every reply of the library is watched: while it runs,
// its network thread is asked twice a second to look at the connection again (re-applying the read
// buffer size schedules a read of the socket), which finds such a close and ends the reply. While
// the transfer is healthy the extra look finds nothing to do. The watch is a child of the reply.
void watchForLostClose(QNetworkReply* reply);

} // namespace tuk

#endif // TUKCLOUDUTILS_TUKREPLYWATCH_P_H
