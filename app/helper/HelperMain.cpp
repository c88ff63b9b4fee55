// fotoretta-helper: started by the desktop application through pkexec with
// one end of a socket pair as its standard input. It opens block devices
// read-only on request and passes the descriptors back; nothing else.
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>

#include "core/PrivilegedOpener.h"

int main(int argc, char**) {
    if (argc != 1) {
        fprintf(stderr, "fotoretta-helper takes no arguments and is started by fotoretta\n");
        return 2;
    }
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(0, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET) {
        fprintf(stderr, "fotoretta-helper: standard input is not the application's socket\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    return RunHelperServer(0, FrHelperPolicy{}) == 0 ? 0 : 1;
}
