// Cancels a target statement whose client has gone while the target driver
// runs it: a killed client's long query must not keep its worker busy to the end.
#ifndef KYVEK_SERVER_ODBC_LINK_WATCH_H
#define KYVEK_SERVER_ODBC_LINK_WATCH_H

#include <sql.h>

// The socket of the link the calling thread serves (-1: none, nothing is watched).
void veks_set_link_socket(int fd);

// For its lifetime, a hang-up on the calling thread's link cancels the statement.
class LinkWatch {
 public:
  explicit LinkWatch(SQLHSTMT stmt);
  ~LinkWatch();
  LinkWatch(const LinkWatch&) = delete;
  LinkWatch& operator=(const LinkWatch&) = delete;

 private:
  bool watching_ = false;
};

#endif
