#include "torvad/DataConn.h"

#include "torvad/Tls.h"

void DataClose(FtpTbl* ftp) {
  if (ftp->data_ssl != nullptr) {
    // Clients take a data connection closed without the close alert for a
    // truncated transfer.
    TlsCloseNotify(ftp->data_ssl);
    TlsFree(ftp->data_ssl);
    ftp->data_ssl = nullptr;
  }
  if (ftp->data_sock != INVALID_SOCKET) {
    SockClose(ftp->data_sock);
    ftp->data_sock = INVALID_SOCKET;
  }
  if (ftp->pasv_listen != INVALID_SOCKET) {
    SockClose(ftp->pasv_listen);
    ftp->pasv_listen = INVALID_SOCKET;
  }
  ftp->port_mode = 0;
  ftp->pasv_mode = 0;
}
