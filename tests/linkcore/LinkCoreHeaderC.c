/* LinkCore.h compiled as C: the program that uses the library may be C. */
#include "linkcore/LinkCore.h"

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

/* Registers the callbacks through the C declarations; true when an unknown
   connection is refused as C sees the result. */
int LinkCoreFromC(void)
{
    bool refused;
    DLL_GetVersion();
    if (!DLL_LinkCoreInit()) {
        return 0;
    }
    SetCallbackFuntion(&OnData, &OnClosed, &OnServerClosed);
    refused = !DLL_SendTcpData(12345, "MySend", "x", 1, 0, 0);
    return refused ? 1 : 0;
}
