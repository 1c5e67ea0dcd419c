/* Keys of the link servers and their clients in the user's store, the
 * process's admission of client keys (the message library's authentication
 * actor, one per process), and which connections are encrypted. */
#include "aServerKeysInternal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>
#include <pwd.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aLinkDebug.h"

#define aKEYS_TRACE(...) aLinkDebug_Trace(aLINK_TRACE_SERVER, __VA_ARGS__)
#define aKEYS_PATH_MAX 1024
#define aKEYS_SERVER "server.key"
#define aKEYS_CLIENT "client.key"
#define aKEYS_CLIENTS "clients"
#define aKEYS_SERVERS "servers"
#define aKEYS_OWN_CLIENT "this-host.key"
#define aKEYS_LOCK ".lock"
/* The domain the servers' connections are authenticated in. */
#define aKEYS_DOMAIN "tessaluma-link"

/* Guards the store setting, the making of certificates (with the lock file,
 * against other processes) and the admission actor. */
static pthread_mutex_t gMutex = PTHREAD_MUTEX_INITIALIZER;
static char gStore[aKEYS_PATH_MAX];
static atomic_bool gEncryptLoopback = false;
static atomic_bool gAllowClear = false;
static zactor_t* gAdmission = NULL;
static int gAdmissionUsers = 0;

void aServerKeys_SetStore(const char* tarvelinDirectory)
{
    pthread_mutex_lock(&gMutex);
    snprintf(gStore, sizeof gStore, "%s", tarvelinDirectory ? tarvelinDirectory : "");
    pthread_mutex_unlock(&gMutex);
}

void aServerKeys_SetEncryptLoopback(bool encrypt)
{
    atomic_store(&gEncryptLoopback, encrypt);
}

void aServerKeys_SetAllowClear(bool allow)
{
    atomic_store(&gAllowClear, allow);
}

bool aServerKeys_EncryptLoopback(void)
{
    return atomic_load(&gEncryptLoopback);
}

bool aServerKeys_AllowClear(void)
{
    return atomic_load(&gAllowClear);
}

/* As the store does: the user's own password entry before HOME, so that a
 * run under sudo that keeps HOME does not write into another user's home. */
static const char* sHome(void)
{
    struct passwd* entry = getpwuid(getuid());
    if (entry && entry->pw_dir && entry->pw_dir[0])
        return entry->pw_dir;
    return getenv("HOME");
}

/* The key directory with an optional name inside; the mutex must be held. */
static aErr sPath(char* buffer, size_t size, const char* name)
{
    const char* home = gStore[0] ? NULL : sHome();
    if (!gStore[0] && (!home || !home[0]))
        return aErrNotFound;
    int n = gStore[0] ? snprintf(buffer, size, "%s/updater/linkserver%s%s", gStore, name ? "/" : "",
                                 name ? name : "")
                      : snprintf(buffer, size, "%s/.tarvelin/updater/linkserver%s%s", home,
                                 name ? "/" : "", name ? name : "");
    return n > 0 && (size_t)n < size ? aErrNone : aErrSize;
}

aErr aServerKeys_Directory(char* buffer, size_t size)
{
    if (!buffer)
        return aErrParam;
    pthread_mutex_lock(&gMutex);
    aErr err = sPath(buffer, size, NULL);
    pthread_mutex_unlock(&gMutex);
    return err;
}

/* Makes each missing directory of path; the last with mode, the others as
 * the store makes its own (0755). */
static aErr sMakeDirectories(const char* path, mode_t mode)
{
    char partial[aKEYS_PATH_MAX];
    size_t length = strlen(path);
    if (length >= sizeof partial)
        return aErrSize;
    memcpy(partial, path, length + 1);
    for (size_t at = 1; at <= length; ++at) {
        if (partial[at] != '/' && partial[at] != '\0')
            continue;
        char kept = partial[at];
        partial[at] = '\0';
        if (mkdir(partial, kept == '\0' ? mode : 0755) != 0 && errno != EEXIST)
            return aErrPermission;
        partial[at] = kept;
    }
    return aErrNone;
}

/* The key directory and its two lists exist, and only the owner can enter
 * them: a secret key inside is then never readable by anyone else, whatever
 * the file's own mode. The mutex must be held. */
static aErr sPrepareDirectory(char* directory, size_t size)
{
    aErr err = sPath(directory, size, NULL);
    if (err == aErrNone)
        err = sMakeDirectories(directory, 0700);
    struct stat status;
    if (err == aErrNone && (stat(directory, &status) != 0 || !S_ISDIR(status.st_mode) ||
                            status.st_uid != getuid()))
        err = aErrPermission;
    if (err == aErrNone && (status.st_mode & 077) != 0 && chmod(directory, 0700) != 0)
        err = aErrPermission;
    const char* lists[] = {aKEYS_CLIENTS, aKEYS_SERVERS};
    for (size_t i = 0; err == aErrNone && i < 2; ++i) {
        char list[aKEYS_PATH_MAX];
        err = sPath(list, sizeof list, lists[i]);
        if (err == aErrNone && mkdir(list, 0700) != 0 && errno != EEXIST)
            err = aErrPermission;
    }
    if (err != aErrNone)
        aKEYS_TRACE("key directory %s not usable: %d\n", directory, (int)err);
    return err;
}

/* Holds the store's lock file while certificates are made, so that two
 * programs starting at once do not make two. -1 when it cannot be taken. */
static int sLockStore(void)
{
    char path[aKEYS_PATH_MAX];
    if (sPath(path, sizeof path, aKEYS_LOCK) != aErrNone)
        return -1;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && flock(fd, LOCK_EX) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

static void sUnlockStore(int fd)
{
    if (fd < 0)
        return;
    flock(fd, LOCK_UN);
    close(fd);
}

/* Loads the certificate with its secret key, or makes and saves a new one.
 * The mutex must be held. */
static zcert_t* sCertificate(const char* name)
{
    char directory[aKEYS_PATH_MAX], path[aKEYS_PATH_MAX], secret[aKEYS_PATH_MAX + 8];
    if (sPrepareDirectory(directory, sizeof directory) != aErrNone ||
        sPath(path, sizeof path, name) != aErrNone)
        return NULL;
    snprintf(secret, sizeof secret, "%s_secret", path);
    int lock = sLockStore();
    zcert_t* cert = access(secret, F_OK) == 0 ? zcert_load(path) : NULL;
    if (cert != NULL && strcmp(zcert_secret_txt(cert), "0000000000000000000000000000000000000000") == 0)
        zcert_destroy(&cert);
    if (cert == NULL && access(secret, F_OK) != 0) {
        cert = zcert_new();
        if (cert != NULL) {
            zcert_set_meta(cert, "made-by", "%s", "link server keys");
            if (zcert_save(cert, path) != 0) {
                aKEYS_TRACE("cannot save %s\n", path);
                zcert_destroy(&cert);
            }
        }
    }
    if (cert != NULL)
        chmod(secret, 0600);
    sUnlockStore(lock);
    if (cert == NULL)
        aKEYS_TRACE("no certificate in %s\n", path);
    return cert;
}

aErr aServerKeys_PublicKeyFile(bool server, char* buffer, size_t size)
{
    if (!buffer)
        return aErrParam;
    pthread_mutex_lock(&gMutex);
    zcert_t* cert = sCertificate(server ? aKEYS_SERVER : aKEYS_CLIENT);
    aErr err = cert ? sPath(buffer, size, server ? aKEYS_SERVER : aKEYS_CLIENT) : aErrPermission;
    pthread_mutex_unlock(&gMutex);
    zcert_destroy(&cert);
    return err;
}

/* The public key of a key file (public or secret), or null. */
static zcert_t* sLoadPublic(const char* file)
{
    if (!file || access(file, R_OK) != 0)
        return NULL;
    zcert_t* cert = zcert_load(file);
    if (cert && strcmp(zcert_public_txt(cert), "0000000000000000000000000000000000000000") == 0)
        zcert_destroy(&cert);
    return cert;
}

/* Saves only the public half of cert as name in the key directory. */
static aErr sInstall(zcert_t* cert, const char* name, bool replace, char* installed, size_t size)
{
    char directory[aKEYS_PATH_MAX], path[aKEYS_PATH_MAX];
    pthread_mutex_lock(&gMutex);
    aErr err = sPrepareDirectory(directory, sizeof directory);
    if (err == aErrNone)
        err = sPath(path, sizeof path, name);
    if (err == aErrNone && !replace) {
        zcert_t* present = sLoadPublic(path);
        if (present && strcmp(zcert_public_txt(present), zcert_public_txt(cert)) != 0)
            err = aErrDuplicate;
        zcert_destroy(&present);
    }
    if (err == aErrNone && zcert_save_public(cert, path) != 0)
        err = aErrWrite;
    pthread_mutex_unlock(&gMutex);
    if (err == aErrNone && installed && size > 0)
        snprintf(installed, size, "%s", path);
    return err;
}

aErr aServerKeys_Allow(const char* clientKeyFile, char* installed, size_t size)
{
    zcert_t* cert = sLoadPublic(clientKeyFile);
    if (cert == NULL)
        return clientKeyFile && access(clientKeyFile, R_OK) == 0 ? aErrParse : aErrNotFound;
    const char* base = strrchr(clientKeyFile, '/');
    base = base ? base + 1 : clientKeyFile;
    char name[aKEYS_PATH_MAX];
    /* A name of its own, so that it never replaces a key file of the
     * directory by accident, and ends as key files do. */
    size_t length = strlen(base);
    bool hasSuffix = length > 4 && strcmp(base + length - 4, ".key") == 0;
    aErr err = snprintf(name, sizeof name, "%s/%s%s", aKEYS_CLIENTS, base, hasSuffix ? "" : ".key") <
                       (int)sizeof name
                   ? aErrNone
                   : aErrSize;
    if (err == aErrNone && (strstr(base, "_secret") != NULL || base[0] == '.'))
        err = aErrParam;
    if (err == aErrNone)
        err = sInstall(cert, name, false, installed, size);
    zcert_destroy(&cert);
    return err;
}

aErr aServerKeys_Trust(uint32_t serverAddress, const char* serverKeyFile, char* installed,
                       size_t size)
{
    char text[INET_ADDRSTRLEN], name[64];
    struct in_addr in = {serverAddress};
    if (serverAddress == 0 || !inet_ntop(AF_INET, &in, text, sizeof text))
        return aErrParam;
    zcert_t* cert = sLoadPublic(serverKeyFile);
    if (cert == NULL)
        return serverKeyFile && access(serverKeyFile, R_OK) == 0 ? aErrParse : aErrNotFound;
    snprintf(name, sizeof name, "%s/%s.key", aKEYS_SERVERS, text);
    aErr err = sInstall(cert, name, true, installed, size);
    zcert_destroy(&cert);
    return err;
}

static bool sLoopback(uint32_t address)
{
    return (ntohl(address) >> 24) == 127;
}

bool aServerKeys_ServerEncrypts(uint32_t networkInterface)
{
    if (networkInterface == 0 || sLoopback(networkInterface))
        return aServerKeys_EncryptLoopback();
    return !aServerKeys_AllowClear();
}

/* Starts the admission actor for the first encrypting server of the
 * process; it admits the keys in clients/, this user's own client key among
 * them. The mutex must be held. */
static aErr sAdmit(void)
{
    if (gAdmission != NULL) {
        gAdmissionUsers++;
        return aErrNone;
    }
    char clients[aKEYS_PATH_MAX], own[aKEYS_PATH_MAX];
    zcert_t* client = sCertificate(aKEYS_CLIENT);
    aErr err = client ? sPath(clients, sizeof clients, aKEYS_CLIENTS) : aErrPermission;
    if (err == aErrNone)
        err = sPath(own, sizeof own, aKEYS_CLIENTS "/" aKEYS_OWN_CLIENT);
    if (err == aErrNone && zcert_save_public(client, own) != 0)
        err = aErrWrite;
    zcert_destroy(&client);
    if (err != aErrNone)
        return err;
    gAdmission = zactor_new(zauth, NULL);
    if (gAdmission == NULL || zstr_sendx(gAdmission, "CURVE", clients, NULL) != 0 ||
        zsock_wait(gAdmission) != 0) {
        zactor_destroy(&gAdmission);
        return aErrResource;
    }
    gAdmissionUsers = 1;
    return aErrNone;
}

aErr aServerKeys_SecureServer(zsock_t* socket)
{
    if (socket == NULL)
        return aErrParam;
    pthread_mutex_lock(&gMutex);
    zcert_t* cert = sCertificate(aKEYS_SERVER);
    aErr err = cert ? sAdmit() : aErrPermission;
    pthread_mutex_unlock(&gMutex);
    if (err == aErrNone) {
        zcert_apply(cert, socket);
        zsock_set_curve_server(socket, 1);
        zsock_set_zap_domain(socket, aKEYS_DOMAIN);
    }
    zcert_destroy(&cert);
    return err;
}

void aServerKeys_ReleaseServer(void)
{
    pthread_mutex_lock(&gMutex);
    if (gAdmissionUsers > 0 && --gAdmissionUsers == 0)
        zactor_destroy(&gAdmission);
    pthread_mutex_unlock(&gMutex);
}

/* True when address is one of this host's own. */
static bool sOwnAddress(uint32_t address)
{
    struct ifaddrs* list = NULL;
    bool own = false;
    if (getifaddrs(&list) != 0)
        return false;
    for (struct ifaddrs* at = list; at != NULL && !own; at = at->ifa_next)
        own = at->ifa_addr && at->ifa_addr->sa_family == AF_INET &&
              ((struct sockaddr_in*)at->ifa_addr)->sin_addr.s_addr == address;
    freeifaddrs(list);
    return own;
}

/* The server key to pin for address: servers/ADDRESS.key, else this user's
 * own server key for a server on this host. Null when neither applies. The
 * mutex must be held. */
static zcert_t* sPinnedKey(uint32_t address)
{
    char text[INET_ADDRSTRLEN], name[64], path[aKEYS_PATH_MAX];
    struct in_addr in = {address};
    if (inet_ntop(AF_INET, &in, text, sizeof text) == NULL)
        return NULL;
    snprintf(name, sizeof name, "%s/%s.key", aKEYS_SERVERS, text);
    zcert_t* pinned = sPath(path, sizeof path, name) == aErrNone ? sLoadPublic(path) : NULL;
    if (pinned == NULL && (sLoopback(address) || sOwnAddress(address)))
        pinned = sCertificate(aKEYS_SERVER);
    return pinned;
}

aErr aServerKeys_SecureClient(zsock_t* socket, uint32_t address, bool* encrypted)
{
    if (socket == NULL || encrypted == NULL)
        return aErrParam;
    *encrypted = false;
    if (sLoopback(address) && !aServerKeys_EncryptLoopback())
        return aErrNone;
    pthread_mutex_lock(&gMutex);
    zcert_t* server = sPinnedKey(address);
    zcert_t* client = server ? sCertificate(aKEYS_CLIENT) : NULL;
    pthread_mutex_unlock(&gMutex);
    aErr err = aErrNone;
    if (server == NULL) {
        err = aServerKeys_AllowClear() ? aErrNone : aErrPermission;
        aKEYS_TRACE("no key for the server at %08X: %s\n", (unsigned)ntohl(address),
                    err == aErrNone ? "in the clear" : "not connecting");
    } else if (client == NULL) {
        err = aErrPermission;
    } else {
        zcert_apply(client, socket);
        zsock_set_curve_serverkey(socket, zcert_public_txt(server));
        *encrypted = true;
    }
    zcert_destroy(&server);
    zcert_destroy(&client);
    return err;
}
