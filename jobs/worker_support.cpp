// The cancel callbacks of a run and the network-drive reconnection, which has no work here.
#include "jobs/worker_support.h"

#include "remote/url_connection.h"

void CancelSetFlag(SysCancelFlag* flag) {
  if (flag) flag->store(1);
}

void CancelBreakConnection(CUrlConnection* connection) {
  if (connection) connection->BreakIfBusy();
}

int ConnectNetworkDrive(const char*, char* buffer, int size) {
  if (buffer && size >= 1) buffer[0] = '\0';
  return 0;
}
