/* A host that starts the server, holds a connection to it and returns from
   main without stopping it: the process must still end. The test runs it
   under a time limit. */
#include "linkcore/LinkCore.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

static void OnData(unsigned short a, int b, const char* peer, unsigned short port, int id, const char* data,
                   int length, void* context)
{
    (void)a, (void)b, (void)peer, (void)port, (void)id, (void)data, (void)length, (void)context;
}

static void OnClosed(unsigned short a, int b, int c, int id, void* context)
{
    (void)a, (void)b, (void)c, (void)id, (void)context;
}

static void OnServerClosed(unsigned short a, int b, void* context)
{
    (void)a, (void)b, (void)context;
}

int main(void)
{
    int port;
    int client;
    struct sockaddr_in address;
    DLL_LinkCoreInit();
    SetCallbackFuntion(&OnData, &OnClosed, &OnServerClosed);
    /* A port of the dynamic range that is free now. */
    for (port = 49152 + (int)(getpid() % 8000); port < 65535; ++port) {
        if (DLL_StartTcpServer(NULL, "", port, NULL)) break;
    }
    if (port >= 65535) {
        fprintf(stderr, "no port to listen on\n");
        return 1;
    }
    client = socket(AF_INET, SOCK_STREAM, 0);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (client < 0 || connect(client, (struct sockaddr*)&address, sizeof address) != 0 || send(client, "x", 1, 0) != 1) {
        fprintf(stderr, "no connection to port %d\n", port);
        return 1;
    }
    return 0;
}
