// Module: connecting (with the learning of its own address) and the module
// queries and echo test, each one request and one reply.
#include "Module.h"

#include <cstring>
#include <new>

#include "LinkImpl.h"
#include "aLinkDebug.h"
#include "aTime.h"
#include "aUEI.h"

namespace Tarvelin {
namespace Tessaluma {

namespace {

constexpr uint8_t kCmdQuery = 0x49;
constexpr uint8_t kQueryBuild = 0xFF;
constexpr uint8_t kQueryHasUEI = 1;
constexpr uint8_t kQueryClassQuantity = 4;
constexpr uint8_t kQuerySubClassQuantity = 5;
constexpr uint8_t kQueryEntityGroup = 6;
constexpr uint8_t kCmdDebug = 23;

constexpr int kAddressAttempts = 4;
constexpr unsigned long kAddressRetryMs = 5;
constexpr unsigned long kQueryWaitMs = 1000;

// One module query: request and reply both start with 0x49 and the sub-code,
// and the reply comes from the module asked (the modules behind a router
// share its link). A reply still queued from an earlier query that timed out
// is dropped first.
aErr query(Link& link, uint8_t address, const uint8_t* request, uint8_t length, uint8_t* reply,
           uint8_t* replyLength)
{
    if (!link.isConnected())
        return aErrConnection;
    const uint8_t prefix[] = {kCmdQuery, request[0]};
    Link::ReplyPrefix match{address, prefix, sizeof prefix};
    return link.exchangePacket(address, kCmdQuery, length, request, Link::isReplyWithPrefix, &match, kQueryWaitMs,
                               replyLength, reply);
}

// The counting queries: the reply echoes the request and adds the count.
aErr countQuery(Link* link, uint8_t address, const uint8_t* request, uint8_t length, uint8_t* count)
{
    if (count == nullptr)
        return aErrParam;
    *count = 0;
    if (link == nullptr)
        return aErrInitialization;
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    aErr err = query(*link, address, request, length, reply, &replyLength);
    if (err != aErrNone)
        return err;
    if (replyLength != length + 2 || std::memcmp(reply + 1, request, length) != 0)
        return aErrUnknown;
    *count = reply[replyLength - 1];
    return aErrNone;
}

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetworking, uint8_t model)
    : m_link(new (std::nothrow) Link("Link")), m_address(address), m_networking(autoNetworking), m_model(model)
{
}

Module::~Module()
{
    delete m_link;
}

aErr Module::connect(linkType type, uint32_t serial)
{
    if (serial == 0)
        return aErrParam;
    return discoverAndConnect(type, serial);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serial)
{
    if (m_link == nullptr)
        return aErrInitialization;
    aErr err = m_link->discoverAndConnect(type, serial, m_model);
    return err == aErrNone ? learnAddressOrClose() : err;
}

// A connect that fails after the link opened closes it again, so that the
// next connect or reconnect starts afresh instead of finding it open.
aErr Module::learnAddressOrClose()
{
    aErr err = _autoNetwork();
    if (err != aErrNone)
        m_link->disconnect();
    return err;
}

aErr Module::connectFromSpec(const linkSpec& spec)
{
    if (m_link == nullptr)
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrBusy;
    aErr err = m_link->setLinkSpecifier(spec);
    if (err == aErrNone)
        err = m_link->connect();
    if (err != aErrNone)
        return err;
    err = learnAddressOrClose();
    aLinkDebug_Trace(kDebugNetworking, "Post autoNetwork err: %d\n", int(err));
    return err;
}

// The module behind a router goes out on the router's link with its own
// address; a router whose link is served is reached through its server.
aErr Module::connectThroughLinkModule(Module* router)
{
    if (m_link == nullptr)
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrNone;
    if (router == nullptr || router->m_link == nullptr)
        return aErrInitialization;
    linkSpec spec{};
    aErr err = router->m_link->getLinkSpecifier(&spec);
    if (err != aErrNone)
        return aErrInitialization;
    aEtherConfig config;
    router->m_link->getConfig(&config);
    err = m_link->setConfig(config);
    if (err != aErrNone)
        return err;
    if (config.enabled) {
        spec.type = AETHER_FIRST;
        spec.t.ip.ip_address = config.networkInterface;
        spec.t.ip.ip_port = config.assignedPort;
    }
    err = m_link->setLinkSpecifier(spec);
    if (err == aErrNone)
        err = m_link->connectThroughLinkModule(*router->m_link);
    if (err == aErrNone)
        m_networking = false;
    return err;
}

aErr Module::reconnect()
{
    if (m_link == nullptr)
        return aErrInitialization;
    aErr err = m_link->connect();
    return err == aErrNone ? learnAddressOrClose() : err;
}

aErr Module::disconnect()
{
    return m_link ? m_link->disconnect() : aErrInitialization;
}

bool Module::isConnected()
{
    return m_link != nullptr && m_link->isConnected();
}

int Module::getStatus()
{
    return m_link ? m_link->getStatus() : 8;
}

// A module that never answers fails the connect with aErrNotReady.
aErr Module::_autoNetwork()
{
    if (!m_networking || m_link == nullptr)
        return aErrNone;
    uint8_t address = 0;
    aErr err = aErrNotReady;
    for (int attempt = 0; attempt < kAddressAttempts; ++attempt) {
        err = m_link->getModuleAddress(&address);
        if (err != aErrNotReady)
            break;
        aTime_MSSleep(kAddressRetryMs);
    }
    if (err == aErrNotReady)
        aLinkDebug_Trace(kDebugNetworking, "BOO! Failed to autoNetwork\n");
    if (err == aErrNone && address != 0 && address != m_address)
        m_address = address;
    return err;
}

aErr Module::getLinkSpecifier(linkSpec* spec)
{
    return m_link ? m_link->getLinkSpecifier(spec) : aErrNotReady;
}

aErr Module::getConfig(aEtherConfig* config)
{
    if (m_link == nullptr)
        return aErrNotReady;
    return m_link->getConfig(config);
}

aErr Module::setConfig(const aEtherConfig& config)
{
    if (m_link == nullptr)
        return aErrNotReady;
    return m_link->setConfig(config);
}

aErr Module::getBuild(uint32_t* build)
{
    if (build == nullptr)
        return aErrParam;
    if (m_link == nullptr)
        return aErrInitialization;
    const uint8_t request[] = {kQueryBuild};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr err = query(*m_link, m_address, request, sizeof request, reply, &length);
    if (err != aErrNone)
        return err;
    if (length != 6)
        return aErrSize;
    *build = aUEI_RetrieveInt(reply + 2);
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if ((flags & 0x3F) != 0 || (flags & 0xC0) == 0xC0)
        return aErrParam;
    if (m_link == nullptr)
        return aErrInitialization;
    const uint8_t request[] = {kQueryHasUEI, command, option, index, flags};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr err = query(*m_link, m_address, request, sizeof request, reply, &length);
    if (err != aErrNone)
        return err;
    if (length != 6 || std::memcmp(reply + 1, request, 4) != 0)
        return aErrUnknown;
    return aErr(reply[5]);
}

aErr Module::classQuantity(uint8_t command, uint8_t* count)
{
    const uint8_t request[] = {kQueryClassQuantity, command};
    return countQuery(m_link, m_address, request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count)
{
    const uint8_t request[] = {kQuerySubClassQuantity, command, subclass};
    return countQuery(m_link, m_address, request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t subclass, uint8_t* count)
{
    const uint8_t request[] = {kQueryEntityGroup, command, subclass};
    return countQuery(m_link, m_address, request, sizeof request, count);
}

aErr Module::debug(const uint8_t* data, uint8_t size)
{
    if (m_link == nullptr || !m_link->isConnected())
        return aErrConnection;
    // The echo of this module (the modules behind a router share its link);
    // a late echo of an earlier test is dropped before this one goes.
    const uint8_t command[] = {kCmdDebug};
    Link::ReplyPrefix match{m_address, command, sizeof command};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr err = m_link->exchangePacket(m_address, kCmdDebug, size, data, Link::isReplyWithPrefix, &match,
                                      kQueryWaitMs, &length, reply);
    if (err != aErrNone)
        return err;
    if (length != size + 1 || (size > 0 && std::memcmp(reply + 1, data, size) != 0))
        return aErrIO;
    return aErrNone;
}

aErr Module::enablePacketLog(const char* path)
{
    return m_link ? m_link->enablePacketLog(path) : aErrConfiguration;
}

aErr Module::disablePacketLog()
{
    return m_link ? m_link->disablePacketLog() : aErrConfiguration;
}

}  // namespace Tessaluma
}  // namespace Tarvelin
