/* The forwarders of aMessageLibrary.h: each calls the library's own function
 * through a table filled once, when the library is first opened. */
#include "aMessageLibrary.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

/* Every function the core calls, and the ones the forwarders of the
 * variadic functions call instead. A name the header renames stands for its
 * forwarder here, whose type is the library function's own. */
#define aMESSAGE_LIBRARY_FUNCTIONS(X)                                                                 \
    X(zactor_destroy) X(zactor_new) X(zauth) X(zbeacon) X(zcert_apply) X(zcert_destroy) X(zcert_load) \
    X(zcert_new) X(zcert_public_txt) X(zcert_save) X(zcert_save_public) X(zcert_secret_txt)           \
    X(zcert_set_meta) X(zframe_data) X(zframe_size) X(ziflist_address) X(ziflist_destroy)             \
    X(ziflist_first) X(ziflist_new) X(ziflist_next) X(zmq_errno) X(zmq_getsockopt) X(zmq_msg_close)   \
    X(zmq_msg_data) X(zmq_msg_init) X(zmq_msg_more) X(zmq_msg_recv) X(zmq_msg_size) X(zmq_poll)       \
    X(zmq_send) X(zmq_socket_monitor) X(zmsg_destroy) X(zmsg_first) X(zmsg_next) X(zmsg_recv)        \
    X(zmsg_size) X(zsock_bind) X(zsock_connect) X(zsock_destroy_checked) X(zsock_events)              \
    X(zsock_new_checked) X(zsock_resolve) X(zsock_set_curve_server) X(zsock_set_curve_serverkey)      \
    X(zsock_set_handshake_ivl) X(zsock_set_heartbeat_ivl) X(zsock_set_heartbeat_timeout)              \
    X(zsock_set_heartbeat_ttl) X(zsock_set_linger) X(zsock_set_maxmsgsize) X(zsock_set_rcvtimeo)      \
    X(zsock_set_router_mandatory) X(zsock_set_sndbuf) X(zsock_set_sndhwm) X(zsock_set_zap_domain)     \
    X(zsock_signal) X(zsock_wait) X(zstr_free) X(zstr_recv) X(zstr_send) X(zsys_handler_reset)        \
    X(zsys_interface) X(zsys_set_interface) X(zsock_vsend) X(zmsg_new) X(zmsg_addstr) X(zmsg_send)   \
    X(zsys_init)

static struct {
#define aMESSAGE_LIBRARY_SLOT(name) __typeof__(&name) name;
    aMESSAGE_LIBRARY_FUNCTIONS(aMESSAGE_LIBRARY_SLOT)
#undef aMESSAGE_LIBRARY_SLOT
    volatile int* interrupted;
} sLibrary;

static pthread_once_t sOpenOnce = PTHREAD_ONCE_INIT;
static bool sOpen = false;
static volatile int sNeverInterrupted = 0;

/* Runs once. The library stays open for the life of the process: its
 * threads and exit handlers may run until the very end. */
static void sOpenLibrary(void)
{
    void* handle = dlopen(aMESSAGE_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        fprintf(stderr, "cannot open the message library %s: %s\n", aMESSAGE_LIBRARY_FILE, dlerror());
        return;
    }
    const char* missing = NULL;
#define aMESSAGE_LIBRARY_RESOLVE(name)                                       \
    *(void**)&sLibrary.name = dlsym(handle, #name);                          \
    if (!sLibrary.name && !missing)                                          \
        missing = #name;
    aMESSAGE_LIBRARY_FUNCTIONS(aMESSAGE_LIBRARY_RESOLVE)
#undef aMESSAGE_LIBRARY_RESOLVE
    sLibrary.interrupted = (volatile int*)dlsym(handle, "zsys_interrupted");
    if (!sLibrary.interrupted && !missing)
        missing = "zsys_interrupted";
    if (missing) {
        fprintf(stderr, "cannot use the message library %s: it lacks %s\n", aMESSAGE_LIBRARY_FILE, missing);
        return;
    }
    sOpen = true;
}

bool aMessageLibrary_Open(void)
{
    /* pthread_once orders the table's filling before every later reader. */
    return pthread_once(&sOpenOnce, sOpenLibrary) == 0 && sOpen;
}

/* The library sets itself up when its first socket is made (or a setting
 * changed), and aborts when two threads do that at once: those forwarders
 * first run the set-up, once. */
static pthread_once_t sSetUpOnce = PTHREAD_ONCE_INIT;

static void sSetUp(void)
{
    (void)sLibrary.zsys_init();
}

static bool sOpenAndSetUp(void)
{
    return aMessageLibrary_Open() && pthread_once(&sSetUpOnce, sSetUp) == 0;
}

volatile int* aMessageLibrary_InterruptFlag(void)
{
    return aMessageLibrary_Open() ? sLibrary.interrupted : &sNeverInterrupted;
}

/* A formatted text in memory of its own; NULL when memory runs out. */
static char* sFormat(const char* format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(NULL, 0, format, args);
    char* text = length < 0 ? NULL : malloc((size_t)length + 1);
    if (text)
        vsnprintf(text, (size_t)length + 1, format, again);
    va_end(again);
    return text;
}

/* Each forwarder calls the library's own function, or fails as that
 * function fails while the library cannot be opened. */
#define aOPEN_OR(failure)             \
    do {                              \
        if (!aMessageLibrary_Open())  \
            return failure;           \
    } while (0)
#define aOPEN_OR_NOTHING()            \
    do {                              \
        if (!aMessageLibrary_Open())  \
            return;                   \
    } while (0)

/* Actors */

void zactor_destroy(zactor_t** self_p) { aOPEN_OR_NOTHING(); sLibrary.zactor_destroy(self_p); }
zactor_t* zactor_new(zactor_fn task, void* args)
{
    if (!sOpenAndSetUp())
        return NULL;
    return sLibrary.zactor_new(task, args);
}
/* These two run only in an actor that zactor_new started, so after the
 * library opened. */
void zauth(zsock_t* pipe, void* certstore) { sLibrary.zauth(pipe, certstore); }
void zbeacon(zsock_t* pipe, void* unused) { sLibrary.zbeacon(pipe, unused); }

/* Certificates */

void zcert_apply(zcert_t* self, void* socket) { aOPEN_OR_NOTHING(); sLibrary.zcert_apply(self, socket); }
void zcert_destroy(zcert_t** self_p) { aOPEN_OR_NOTHING(); sLibrary.zcert_destroy(self_p); }
zcert_t* zcert_load(const char* filename) { aOPEN_OR(NULL); return sLibrary.zcert_load(filename); }
zcert_t* zcert_new(void) { aOPEN_OR(NULL); return sLibrary.zcert_new(); }
const char* zcert_public_txt(zcert_t* self) { aOPEN_OR(NULL); return sLibrary.zcert_public_txt(self); }
int zcert_save(zcert_t* self, const char* filename) { aOPEN_OR(-1); return sLibrary.zcert_save(self, filename); }
int zcert_save_public(zcert_t* self, const char* filename)
{
    aOPEN_OR(-1);
    return sLibrary.zcert_save_public(self, filename);
}
const char* zcert_secret_txt(zcert_t* self) { aOPEN_OR(NULL); return sLibrary.zcert_secret_txt(self); }
void zcert_set_meta(zcert_t* self, const char* name, const char* format, ...)
{
    aOPEN_OR_NOTHING();
    va_list args;
    va_start(args, format);
    char* value = sFormat(format, args);
    va_end(args);
    if (value)
        sLibrary.zcert_set_meta(self, name, "%s", value);
    free(value);
}

/* Frames, messages and strings */

byte* zframe_data(zframe_t* self) { aOPEN_OR(NULL); return sLibrary.zframe_data(self); }
size_t zframe_size(zframe_t* self) { aOPEN_OR(0); return sLibrary.zframe_size(self); }
void zmsg_destroy(zmsg_t** self_p) { aOPEN_OR_NOTHING(); sLibrary.zmsg_destroy(self_p); }
zframe_t* zmsg_first(zmsg_t* self) { aOPEN_OR(NULL); return sLibrary.zmsg_first(self); }
zframe_t* zmsg_next(zmsg_t* self) { aOPEN_OR(NULL); return sLibrary.zmsg_next(self); }
zmsg_t* zmsg_recv(void* source) { aOPEN_OR(NULL); return sLibrary.zmsg_recv(source); }
size_t zmsg_size(zmsg_t* self) { aOPEN_OR(0); return sLibrary.zmsg_size(self); }
void zstr_free(char** string_p) { aOPEN_OR_NOTHING(); sLibrary.zstr_free(string_p); }
char* zstr_recv(void* source) { aOPEN_OR(NULL); return sLibrary.zstr_recv(source); }
int zstr_send(void* dest, const char* string) { aOPEN_OR(-1); return sLibrary.zstr_send(dest, string); }
/* One message of the strings up to the NULL, as the library's own builds it. */
int zstr_sendx(void* dest, const char* string, ...)
{
    aOPEN_OR(-1);
    zmsg_t* message = sLibrary.zmsg_new();
    if (!message)
        return -1;
    int result = 0;
    va_list args;
    va_start(args, string);
    for (; string && result == 0; string = va_arg(args, const char*))
        result = sLibrary.zmsg_addstr(message, string);
    va_end(args);
    if (result == 0)
        result = sLibrary.zmsg_send(&message, dest);
    sLibrary.zmsg_destroy(&message);
    return result;
}

/* Interfaces */

const char* ziflist_address(ziflist_t* self) { aOPEN_OR(NULL); return sLibrary.ziflist_address(self); }
void ziflist_destroy(ziflist_t** self_p) { aOPEN_OR_NOTHING(); sLibrary.ziflist_destroy(self_p); }
const char* ziflist_first(ziflist_t* self) { aOPEN_OR(NULL); return sLibrary.ziflist_first(self); }
ziflist_t* ziflist_new(void) { aOPEN_OR(NULL); return sLibrary.ziflist_new(); }
const char* ziflist_next(ziflist_t* self) { aOPEN_OR(NULL); return sLibrary.ziflist_next(self); }
const char* zsys_interface(void) { aOPEN_OR(""); return sLibrary.zsys_interface(); }
void zsys_set_interface(const char* value)
{
    if (sOpenAndSetUp())
        sLibrary.zsys_set_interface(value);
}
void zsys_handler_reset(void) { aOPEN_OR_NOTHING(); sLibrary.zsys_handler_reset(); }

/* Sockets */

zsock_t* zsock_new_checked(int type, const char* filename, size_t line_nbr)
{
    if (!sOpenAndSetUp())
        return NULL;
    return sLibrary.zsock_new_checked(type, filename, line_nbr);
}
void zsock_destroy_checked(zsock_t** self_p, const char* filename, size_t line_nbr)
{
    aOPEN_OR_NOTHING();
    sLibrary.zsock_destroy_checked(self_p, filename, line_nbr);
}
/* Bind or connect (call) to the endpoint the arguments format. */
static int sToEndpoint(__typeof__(sLibrary.zsock_bind) call, zsock_t* self, const char* format, va_list args)
{
    char* endpoint = sFormat(format, args);
    const int result = endpoint ? call(self, "%s", endpoint) : -1;
    free(endpoint);
    return result;
}
int zsock_bind(zsock_t* self, const char* format, ...)
{
    aOPEN_OR(-1);
    va_list args;
    va_start(args, format);
    const int result = sToEndpoint(sLibrary.zsock_bind, self, format, args);
    va_end(args);
    return result;
}
int zsock_connect(zsock_t* self, const char* format, ...)
{
    aOPEN_OR(-1);
    va_list args;
    va_start(args, format);
    const int result = sToEndpoint(sLibrary.zsock_connect, self, format, args);
    va_end(args);
    return result;
}
int zsock_send(void* self, const char* picture, ...)
{
    aOPEN_OR(-1);
    va_list args;
    va_start(args, picture);
    const int result = sLibrary.zsock_vsend(self, picture, args);
    va_end(args);
    return result;
}
int zsock_events(void* self) { aOPEN_OR(-1); return sLibrary.zsock_events(self); }
void* zsock_resolve(void* self) { aOPEN_OR(NULL); return sLibrary.zsock_resolve(self); }
int zsock_signal(void* self, byte status) { aOPEN_OR(-1); return sLibrary.zsock_signal(self, status); }
int zsock_wait(void* self) { aOPEN_OR(-1); return sLibrary.zsock_wait(self); }

#define aSOCKET_OPTION(option, type)                                 \
    void zsock_set_##option(void* self, type value)                  \
    {                                                                \
        aOPEN_OR_NOTHING();                                          \
        sLibrary.zsock_set_##option(self, value);                    \
    }
aSOCKET_OPTION(curve_server, int)
aSOCKET_OPTION(curve_serverkey, const char*)
aSOCKET_OPTION(handshake_ivl, int)
aSOCKET_OPTION(heartbeat_ivl, int)
aSOCKET_OPTION(heartbeat_timeout, int)
aSOCKET_OPTION(heartbeat_ttl, int)
aSOCKET_OPTION(linger, int)
aSOCKET_OPTION(maxmsgsize, int)
aSOCKET_OPTION(rcvtimeo, int)
aSOCKET_OPTION(router_mandatory, int)
aSOCKET_OPTION(sndbuf, int)
aSOCKET_OPTION(sndhwm, int)
aSOCKET_OPTION(zap_domain, const char*)
#undef aSOCKET_OPTION

/* libzmq beneath */

int zmq_errno(void) { aOPEN_OR(ENOSYS); return sLibrary.zmq_errno(); }
int zmq_getsockopt(void* s_, int option_, void* optval_, size_t* optvallen_)
{
    aOPEN_OR(-1);
    return sLibrary.zmq_getsockopt(s_, option_, optval_, optvallen_);
}
int zmq_msg_close(zmq_msg_t* msg_) { aOPEN_OR(-1); return sLibrary.zmq_msg_close(msg_); }
void* zmq_msg_data(zmq_msg_t* msg_) { aOPEN_OR(NULL); return sLibrary.zmq_msg_data(msg_); }
int zmq_msg_init(zmq_msg_t* msg_) { aOPEN_OR(-1); return sLibrary.zmq_msg_init(msg_); }
int zmq_msg_more(const zmq_msg_t* msg_) { aOPEN_OR(0); return sLibrary.zmq_msg_more(msg_); }
int zmq_msg_recv(zmq_msg_t* msg_, void* s_, int flags_) { aOPEN_OR(-1); return sLibrary.zmq_msg_recv(msg_, s_, flags_); }
size_t zmq_msg_size(const zmq_msg_t* msg_) { aOPEN_OR(0); return sLibrary.zmq_msg_size(msg_); }
int zmq_poll(zmq_pollitem_t* items_, int nitems_, long timeout_)
{
    aOPEN_OR(-1);
    return sLibrary.zmq_poll(items_, nitems_, timeout_);
}
int zmq_send(void* s_, const void* buf_, size_t len_, int flags_)
{
    aOPEN_OR(-1);
    return sLibrary.zmq_send(s_, buf_, len_, flags_);
}
int zmq_socket_monitor(void* s_, const char* addr_, int events_)
{
    aOPEN_OR(-1);
    return sLibrary.zmq_socket_monitor(s_, addr_, events_);
}
