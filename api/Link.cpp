// A Link's life: construction, the ways of opening its engine link (from a
// stored specifier, by discovery, through another link), the wait until the
// link runs, closing, and the settings that may change only while closed.
#include "LinkImpl.h"

#include <cstring>
#include <mutex>
#include <new>

#include "aDiscovery.h"
#include "aLinkDebug.h"
#include "aTime.h"

namespace Tarvelin {
namespace Tessaluma {

namespace {

constexpr size_t kNameMax = 1024;
constexpr int kWaitPolls = 200;
constexpr unsigned long kWaitPollMs = 10;

// One engine link is created at a time in the whole process, so two objects
// opening the same module end up sharing one link instead of racing for it.
std::mutex& creationMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Creates the engine link the specifier names; reuse is a link that a client
// link may share (0 = none). Runs under the creation mutex.
aErr createEngineLink(const linkSpec& spec, const aEtherConfig& config, int32_t reuse, int32_t* stem,
                      bool* isClient)
{
    *isClient = false;
    switch (spec.type) {
    case USB:
        *stem = aLink_CreateUSB(spec.serial_num);
        return aErrNone;
    case TCPIP:
        *stem = aLink_CreateTCPIP(spec.serial_num, spec.t.ip.ip_address, uint16_t(spec.t.ip.ip_port));
        return aErrNone;
    case SERIAL: {
        char path[aLINKSPEC_PATH_MAX];
        std::memcpy(path, spec.t.serial.port, sizeof path);
        path[sizeof path - 1] = 0;
        *stem = aLink_CreateSerial(spec.serial_num, path, spec.t.serial.baudrate);
        return aErrNone;
    }
    default:
        break;
    }
    if (!isAETHER(spec.type))
        return aErrMode;
    if (!config.enabled)
        return aErrConfiguration;
    *isClient = true;
    *stem = aLink_CreateClient(spec.t.ip.ip_address, uint16_t(spec.t.ip.ip_port), reuse);
    return aErrNone;
}

// Status 2 is running; 0, 1 and 4 are still coming up; 3 is stopping.
aErr waitForLink(int32_t stem)
{
    int status = aLink_GetStatus(stem);
    if (status == aLINK_STATUS_RUNNING)
        return aErrNone;
    if (status == aLINK_STATUS_STOPPED || status == aLINK_STATUS_STARTING || status == aLINK_STATUS_SYNCING) {
        for (int poll = 0; poll < kWaitPolls; ++poll) {
            aTime_MSSleep(kWaitPollMs);
            if (aLink_GetStatus(stem) == aLINK_STATUS_RUNNING)
                return aErrNone;
        }
        return aErrConnection;
    }
    if (status == aLINK_STATUS_INVALID || status == aLINK_STATUS_IO_ERROR || status == aLINK_STATUS_PACKET_ERROR)
        return aErrConnection;
    if (status == aLINK_STATUS_STOPPING)
        return aErrBusy;
    return aErrDuplicate;
}

struct FirstModule {
    uint8_t model;
    linkSpec* found;
};

// Takes the first module of the wanted model (any model for 0).
bool takeFirstOfModel(const linkSpec* spec, bool* found, void* reference)
{
    auto* search = static_cast<FirstModule*>(reference);
    if (search->model != 0 && uint8_t(spec->model) != search->model)
        return true;
    search->found = aLinkSpec_Copy(spec);
    *found = search->found != nullptr;
    return false;
}

linkSpec* discover(linkType type, uint32_t serial, uint8_t model, uint32_t networkInterface)
{
    if (serial != 0)
        return aDiscovery_FindModule(type, serial, networkInterface);
    FirstModule search{model, nullptr};
    aDiscovery_EnumerateModules(type, takeFirstOfModel, &search, networkInterface);
    return search.found;
}

// Opens the engine link of the stored specifier; reuse is the link this one
// shares when it goes through another link (0 otherwise).
aErr openLink(Link::impl& state, int32_t reuse)
{
    if (state.specifier == nullptr)
        return aErrConfiguration;
    int32_t stem = 0;
    {
        std::lock_guard<std::mutex> guard(creationMutex());
        bool isClient = false;
        aErr err = createEngineLink(*state.specifier, state.config, reuse, &stem, &isClient);
        if (err != aErrNone)
            return err;
        if (stem != 0 && !isClient && state.config.enabled) {
            aLinkDebug_Trace(kDebugLink, "Creating Server: real_stem id: %d\n", int(stem));
            // The server's own client link carries this object's traffic from then on.
            int32_t client = aLink_CreateServer(stem, &state.config.assignedPort,
                                                &state.config.networkInterface, state.config.localOnly);
            if (client == 0) {
                aLink_Destroy(&stem);
                aLinkDebug_Trace(kDebugLink, "Failed to create server\n");
            } else {
                stem = client;
                aLinkDebug_Trace(kDebugLink, "Creating Server: m_stem id: %d\n", int(stem));
            }
        }
    }
    if (stem == 0)
        return aErrConnection;
    aErr err = waitForLink(stem);
    if (err != aErrNone) {
        // A link that never came up is let go, so the object can be opened again.
        aLink_Destroy(&stem);
        return err;
    }
    state.m_stem = stem;
    return aErrNone;
}

void storeSpecifier(Link::impl& state, const linkSpec& spec)
{
    if (state.specifier == nullptr)
        state.specifier = aLinkSpec_Create(spec.type);
    if (state.specifier != nullptr)
        *state.specifier = spec;
}

}  // namespace

Link::Link(const char* name) : m_impl(new (std::nothrow) impl(this))
{
    if (m_impl != nullptr && name != nullptr)
        m_impl->name.assign(name, strnlen(name, kNameMax));
}

Link::Link(const linkSpec& spec, const char* name) : Link(name)
{
    if (m_impl != nullptr)
        storeSpecifier(*m_impl, spec);
}

Link::~Link()
{
    if (m_impl == nullptr)
        return;
    disconnect();
    finishWorker(*m_impl);
    aLinkSpec_Destroy(&m_impl->specifier);
    delete m_impl;
}

int32_t Link::stem() const
{
    return m_impl ? m_impl->m_stem : 0;
}

const char* Link::getName() const
{
    return m_impl ? m_impl->name.c_str() : "";
}

aErr Link::connect()
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if (m_impl->m_stem != 0)
        return aErrConnection;
    return openLink(*m_impl, 0);
}

aErr Link::discoverAndConnect(linkType type, uint32_t serial, uint8_t model)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    auto attempt = [&](linkType t) {
        linkSpec* found = discover(t, serial, model, m_impl->config.networkInterface);
        if (found == nullptr)
            return aErrNotFound;
        storeSpecifier(*m_impl, *found);
        aLinkSpec_Destroy(&found);
        return connect();
    };
    aErr err = attempt(type);
    const bool retryable = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
    const bool otherFamily = type == USB || type == TCPIP || isAETHER(type);
    if (retryable && otherFamily && m_impl->config.fallback) {
        const linkType other = isAETHER(type) ? linkType(USB) : linkType(AETHER_FIRST);
        aLinkDebug_Trace(kDebugLink, "Executing Fallback - old type: %d - new type: %d\n", int(type), int(other));
        err = attempt(other);
    }
    return err;
}

aErr Link::connectThroughLinkModule(Link& other)
{
    if (m_impl == nullptr || other.m_impl == nullptr || other.m_impl->m_stem == 0)
        return aErrInitialization;
    if (m_impl->m_stem != 0)
        return aErrConnection;
    return openLink(*m_impl, other.m_impl->m_stem);
}

bool Link::isConnected()
{
    return m_impl != nullptr && m_impl->m_stem != 0 && aLink_GetStatus(m_impl->m_stem) == aLINK_STATUS_RUNNING;
}

int Link::getStatus()
{
    if (m_impl == nullptr || m_impl->m_stem == 0)
        return 8;
    return aLink_GetStatus(m_impl->m_stem);
}

// The stream filter and the packet logger go before the engine link, so
// neither ever runs against a link this object no longer holds.
aErr Link::disconnect()
{
    if (m_impl == nullptr || m_impl->m_stem == 0)
        return aErrNone;
    stopStreaming(*m_impl);
    if (m_impl->packetLogger != nullptr)
        aLogger_Destroy(&m_impl->packetLogger);
    uint32_t drops = 0;
    aLink_GetDropCount(m_impl->m_stem, &drops);
    m_impl->retiredDrops += uint64_t(drops) + 1;
    aLink_Destroy(&m_impl->m_stem);
    return aErrNone;
}

aErr Link::getLinkDrops(uint64_t* drops)
{
    if (m_impl == nullptr || m_impl->m_stem == 0)
        return aErrConnection;
    if (drops == nullptr)
        return aErrParam;
    uint32_t current = 0;
    aErr err = aLink_GetDropCount(m_impl->m_stem, &current);
    if (err != aErrNone)
        return aErrConnection;
    *drops = m_impl->retiredDrops + current;
    return aErrNone;
}

aErr Link::reset()
{
    if (m_impl != nullptr && m_impl->m_stem != 0)
        aLink_Reset(m_impl->m_stem);
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if (spec == nullptr)
        return aErrParam;
    if (m_impl->specifier == nullptr)
        return aErrNotFound;
    *spec = *m_impl->specifier;
    return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& spec)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if (m_impl->m_stem != 0)
        return aErrBusy;
    storeSpecifier(*m_impl, spec);
    return m_impl->specifier ? aErrNone : aErrMemory;
}

aErr Link::getConfig(aEtherConfig* config)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if (config == nullptr)
        return aErrParam;
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const aEtherConfig& config)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if (m_impl->m_stem != 0)
        return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable)
{
    if (m_impl == nullptr || m_impl->m_stem == 0)
        return aErrConnection;
    return aLink_EnablePooledPackets(m_impl->m_stem, enable);
}

}  // namespace Tessaluma
}  // namespace Tarvelin
