/* The legacy query: modules that speak TCP/IP themselves answer a multicast
 * request with a 16-byte record sent to the asker's reply port. */
#include "aDiscoveryInternal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static uint32_t sLE32(const uint8_t* b)
{
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

bool aDiscovery_LegacySpecFromReply(const uint8_t* reply, size_t length, uint32_t senderAddress,
                                    linkSpec* spec)
{
    if (!reply || !spec || length != aDISCOVERY_LEGACY_SIZE)
        return false;
    memset(spec, 0, sizeof *spec);
    spec->type = TCPIP;
    spec->serial_num = sLE32(reply + 4);
    spec->module = reply[1];
    spec->router = reply[1];
    spec->router_serial_num = spec->serial_num;
    spec->model = reply[12];
    spec->t.ip.ip_address = senderAddress;
    spec->t.ip.ip_port = (uint32_t)reply[2] | ((uint32_t)reply[3] << 8);
    return true;
}

static int sOpenListener(uint32_t interfaceAddress)
{
    struct sockaddr_in local;
    struct timeval timeout;
    const int one = 1;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeout.tv_sec = aDISCOVERY_LEGACY_TIMEOUT_MS / 1000;
    timeout.tv_usec = (aDISCOVERY_LEGACY_TIMEOUT_MS % 1000) * 1000;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_LEGACY_REPLY_PORT);
    local.sin_addr.s_addr = interfaceAddress;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        bind(fd, (struct sockaddr*)&local, sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* One request through one interface (0: wherever the routing table sends it).
 * True when it went out. */
static bool sSendRequest(uint32_t interfaceAddress)
{
    uint8_t request[aDISCOVERY_LEGACY_SIZE];
    struct sockaddr_in group;
    struct in_addr iface;
    const int one = 1;
    bool sent = false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    memset(request, 0, sizeof request);
    request[0] = 1;
    memset(&group, 0, sizeof group);
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_LEGACY_QUERY_PORT);
    inet_pton(AF_INET, aDISCOVERY_LEGACY_GROUP, &group.sin_addr);
    iface.s_addr = interfaceAddress;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
        (interfaceAddress == 0 ||
         setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) == 0))
        sent = sendto(fd, request, sizeof request, 0, (struct sockaddr*)&group, sizeof group) ==
               (ssize_t)sizeof request;
    close(fd);
    return sent;
}

/* Every answer comes to the one reply port, and of several sockets bound
 * to it only one receives each datagram: two enumerations at once in this
 * process (modules connected side by side) would take each other's answers.
 * They go one after another; one that finds its module ends at its answer. */
static pthread_mutex_t sLegacyMutex = PTHREAD_MUTEX_INITIALIZER;

static unsigned int sEnumerateLegacy(aDiscoveryCallback callback, void* reference, uint32_t interfaceAddress);

unsigned int aDiscovery_EnumerateLegacy(aDiscoveryCallback callback, void* reference,
                                        uint32_t interfaceAddress)
{
    unsigned int count;
    pthread_mutex_lock(&sLegacyMutex);
    count = sEnumerateLegacy(callback, reference, interfaceAddress);
    pthread_mutex_unlock(&sLegacyMutex);
    return count;
}

static unsigned int sEnumerateLegacy(aDiscoveryCallback callback, void* reference, uint32_t interfaceAddress)
{
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    unsigned int count = 0;
    unsigned int requests = 0;
    int listener;
    int n;
    int i;

    if (interfaceAddress == htonl(INADDR_LOOPBACK))
        interfaceAddress = 0;
    /* Listen before asking so no quick answer is missed. */
    listener = sOpenListener(interfaceAddress);
    n = interfaceAddress ? -1 : aDiscovery_ReadIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
    if (n < 0) {
        requests += sSendRequest(interfaceAddress) ? 1u : 0u;
    } else {
        for (i = 0; i < n; ++i) {
            if (interfaces[i] == 0 || interfaces[i] == htonl(INADDR_LOOPBACK))
                continue;
            requests += sSendRequest(interfaces[i]) ? 1u : 0u;
        }
    }
    if (requests > 0 && listener >= 0) {
        for (;;) {
            uint8_t reply[64];
            struct sockaddr_in from;
            socklen_t fromLength = sizeof from;
            linkSpec spec;
            const ssize_t got =
                recvfrom(listener, reply, sizeof reply, 0, (struct sockaddr*)&from, &fromLength);
            if (got < 0)
                break;
            /* A stray datagram of another size is not an answer; keep waiting. */
            if (!aDiscovery_LegacySpecFromReply(reply, (size_t)got, from.sin_addr.s_addr, &spec))
                continue;
            if (!aDiscovery_Report(callback, reference, &spec, &count))
                break;
        }
    }
    if (listener >= 0)
        close(listener);
    return count;
}
