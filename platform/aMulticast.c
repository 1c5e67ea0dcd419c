#include "aMulticast.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#define aMULTICAST_CHECK 0x3CA5

struct aMulticast {
    uint16_t check;
    int mode;
    int fd;
    struct sockaddr_in group; /* where a sender sends: the group or the broadcast address */
};

static int sResolve(const char* host, uint16_t port, int passive, struct sockaddr_in* out)
{
    char service[8];
    struct addrinfo hints;
    struct addrinfo* found = NULL;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    snprintf(service, sizeof service, "%u", (unsigned)port);
    if (getaddrinfo(host, service, &hints, &found) != 0 || !found)
        return 0;
    memcpy(out, found->ai_addr, sizeof *out);
    freeaddrinfo(found);
    return 1;
}

static int sValid(const aMulticast* m)
{
    return m && m->check == aMULTICAST_CHECK;
}

static aMulticast* sNew(int mode)
{
    aMulticast* m = (aMulticast*)calloc(1, sizeof *m);
    if (!m)
        return NULL;
    m->check = aMULTICAST_CHECK;
    m->mode = mode;
    m->fd = -1;
    return m;
}

aMulticast* aMulticast_Create(uint32_t interfaceAddress, const char* groupAddress, uint16_t port, int mode)
{
    struct sockaddr_in local;
    struct sockaddr_in iface;
    char ifaceText[INET_ADDRSTRLEN];
    struct in_addr ifaceAddr;
    struct ip_mreq join;
    struct timeval timeout = {1, 0};
    unsigned char ttl = 1;
    unsigned char loop = 1;
    int off = 0;
    aMulticast* m;

    if (!groupAddress || (mode != aMULTICAST_SENDER && mode != aMULTICAST_RECEIVER))
        return NULL;
    if (interfaceAddress == 0 || interfaceAddress == htonl(INADDR_LOOPBACK))
        interfaceAddress = htonl(INADDR_LOOPBACK);
    ifaceAddr.s_addr = interfaceAddress;
    if (!inet_ntop(AF_INET, &ifaceAddr, ifaceText, sizeof ifaceText))
        return NULL;

    m = sNew(mode);
    if (!m)
        return NULL;
    if (!sResolve(groupAddress, port, 0, &m->group) || !sResolve(ifaceText, 0, 0, &iface))
        goto fail;
    /* A receiver bound to the group hears nothing sent to this host's own
     * addresses on that port, only the group's datagrams. */
    if (mode == aMULTICAST_RECEIVER) {
        local = m->group;
    } else if (!sResolve(ifaceText, 0, 0, &local)) {
        goto fail;
    }
    if (!IN_MULTICAST(ntohl(m->group.sin_addr.s_addr)))
        goto fail;

    m->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m->fd < 0)
        goto fail;
    /* Reuse stays off: a port that will not bind is how link servers are found. */
    if (setsockopt(m->fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0)
        goto fail;
    if (bind(m->fd, (struct sockaddr*)&local, sizeof local) != 0)
        goto fail;

    join.imr_multiaddr = m->group.sin_addr;
    join.imr_interface = iface.sin_addr;
    /* Without this the socket would also get the group's datagrams from any
     * interface where some other socket of the host joined it. */
    if (setsockopt(m->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0 ||
        setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_IF, &iface.sin_addr, sizeof iface.sin_addr) != 0 ||
        setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
        setsockopt(m->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
        goto fail;
    return m;

fail:
    aMulticast_Destroy(&m);
    return NULL;
}

/* The broadcast address of the interface that holds address; 0 when it has
 * none (loopback, point to point) or is not found. */
static uint32_t sBroadcastOf(uint32_t address)
{
    struct ifaddrs* list = NULL;
    uint32_t broadcast = 0;
    if (getifaddrs(&list) != 0)
        return 0;
    for (struct ifaddrs* at = list; at != NULL && broadcast == 0; at = at->ifa_next) {
        if (!at->ifa_addr || at->ifa_addr->sa_family != AF_INET || !(at->ifa_flags & IFF_BROADCAST) ||
            !at->ifa_broadaddr || ((struct sockaddr_in*)at->ifa_addr)->sin_addr.s_addr != address)
            continue;
        broadcast = ((struct sockaddr_in*)at->ifa_broadaddr)->sin_addr.s_addr;
        /* An address added without its broadcast reports itself (or none):
         * the subnet's broadcast then follows from the netmask. */
        if ((broadcast == address || broadcast == 0) && at->ifa_netmask)
            broadcast = address | ~((struct sockaddr_in*)at->ifa_netmask)->sin_addr.s_addr;
    }
    freeifaddrs(list);
    return broadcast;
}

aMulticast* aMulticast_CreateBroadcast(uint32_t interfaceAddress, uint16_t port, int mode)
{
    struct sockaddr_in local;
    struct timeval timeout = {1, 0};
    int on = 1;
    uint32_t broadcast;
    aMulticast* m;

    if (mode != aMULTICAST_SENDER && mode != aMULTICAST_RECEIVER)
        return NULL;
    broadcast = sBroadcastOf(interfaceAddress);
    if (broadcast == 0)
        return NULL;
    m = sNew(mode);
    if (!m)
        return NULL;
    memset(&m->group, 0, sizeof m->group);
    m->group.sin_family = AF_INET;
    m->group.sin_addr.s_addr = broadcast;
    m->group.sin_port = htons(port);
    local = m->group;
    if (mode == aMULTICAST_SENDER) {
        local.sin_addr.s_addr = interfaceAddress;
        local.sin_port = 0;
    }
    m->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    /* Searchers on this host hold the same port (with reuse) for their own
     * beacons, so the receiver shares it. */
    if (m->fd < 0 || setsockopt(m->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(m->fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(m->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        bind(m->fd, (struct sockaddr*)&local, sizeof local) != 0) {
        aMulticast_Destroy(&m);
        return NULL;
    }
    return m;
}

int aMulticast_Send(aMulticast* multicast, const uint8_t* bytes, size_t length)
{
    ssize_t sent;
    if (!sValid(multicast))
        return aMULTICAST_INVALID;
    if (multicast->mode != aMULTICAST_SENDER)
        return aMULTICAST_WRONG_MODE;
    if (!bytes && length)
        return aMULTICAST_FAILED;
    sent = sendto(multicast->fd, bytes, length, 0, (struct sockaddr*)&multicast->group,
                  sizeof multicast->group);
    return sent < 0 ? aMULTICAST_FAILED : (int)sent;
}

int aMulticast_ReceiveFrom(aMulticast* multicast, uint8_t* buffer, size_t size, uint32_t* sender)
{
    struct sockaddr_in from;
    socklen_t fromSize = sizeof from;
    ssize_t got;
    if (!sValid(multicast))
        return aMULTICAST_INVALID;
    if (multicast->mode != aMULTICAST_RECEIVER)
        return aMULTICAST_WRONG_MODE;
    if (!buffer || size == 0)
        return aMULTICAST_FAILED;
    memset(&from, 0, sizeof from);
    got = recvfrom(multicast->fd, buffer, size, MSG_TRUNC, (struct sockaddr*)&from, &fromSize);
    if (got < 0 || (size_t)got > size)
        return aMULTICAST_FAILED;
    if (sender)
        *sender = from.sin_addr.s_addr;
    return (int)got;
}

int aMulticast_Receive(aMulticast* multicast, uint8_t* buffer, size_t size)
{
    return aMulticast_ReceiveFrom(multicast, buffer, size, NULL);
}

int aMulticast_Wait(aMulticast* multicast, int timeoutMs)
{
    struct pollfd item;
    int rc;
    if (!sValid(multicast))
        return aMULTICAST_INVALID;
    if (multicast->mode != aMULTICAST_RECEIVER)
        return aMULTICAST_WRONG_MODE;
    item.fd = multicast->fd;
    item.events = POLLIN;
    item.revents = 0;
    rc = poll(&item, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (rc < 0)
        return aMULTICAST_FAILED;
    return rc > 0 ? 1 : 0;
}

void aMulticast_Destroy(aMulticast** multicast)
{
    aMulticast* m;
    if (!multicast || !sValid(*multicast))
        return;
    m = *multicast;
    if (m->fd >= 0)
        close(m->fd);
    m->check = 0;
    free(m);
    *multicast = NULL;
}
