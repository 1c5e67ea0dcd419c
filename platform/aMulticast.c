#include "aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
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
    struct sockaddr_in group;
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

    m = (aMulticast*)calloc(1, sizeof *m);
    if (!m)
        return NULL;
    m->check = aMULTICAST_CHECK;
    m->mode = mode;
    m->fd = -1;
    if (!sResolve(groupAddress, port, 0, &m->group) || !sResolve(ifaceText, 0, 0, &iface))
        goto fail;
    if (mode == aMULTICAST_RECEIVER) {
        if (!sResolve(NULL, port, 1, &local))
            goto fail;
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
    if (setsockopt(m->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0 ||
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

int aMulticast_Receive(aMulticast* multicast, uint8_t* buffer, size_t size)
{
    ssize_t got;
    if (!sValid(multicast))
        return aMULTICAST_INVALID;
    if (multicast->mode != aMULTICAST_RECEIVER)
        return aMULTICAST_WRONG_MODE;
    if (!buffer || size == 0)
        return aMULTICAST_FAILED;
    got = recv(multicast->fd, buffer, size, MSG_TRUNC);
    if (got < 0 || (size_t)got > size)
        return aMULTICAST_FAILED;
    return (int)got;
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
