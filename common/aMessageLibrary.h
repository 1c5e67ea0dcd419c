/* The message-queue library (CZMQ, with libzmq beneath it) is opened the
 * first time the link core needs it, not when the program starts. Loading it
 * and the libraries it pulls in (encryption, multicast transports, ...) costs
 * every start several milliseconds, and most runs (a download, a USB update)
 * never open a message socket.
 *
 * The link core includes this header instead of <czmq.h>. Each library
 * function the core calls is renamed here to a forwarder of the same type
 * (aMessageLibrary.c), which calls the library's own function once the
 * library is open. While the library cannot be opened, a forwarder fails the
 * way the function itself reports failure (NULL, -1, nothing), and the reason
 * is written to standard error once.
 *
 * A translation unit that included <czmq.h> before this header (a test that
 * links the library itself) calls the library directly. */
#ifndef TS_AMESSAGELIBRARY_H
#define TS_AMESSAGELIBRARY_H

#ifndef __CZMQ_H_INCLUDED__
#define aMESSAGE_LIBRARY_FORWARDED 1
#define zactor_destroy lazy_zactor_destroy
#define zactor_new lazy_zactor_new
#define zauth lazy_zauth
#define zbeacon lazy_zbeacon
#define zcert_apply lazy_zcert_apply
#define zcert_destroy lazy_zcert_destroy
#define zcert_load lazy_zcert_load
#define zcert_new lazy_zcert_new
#define zcert_public_txt lazy_zcert_public_txt
#define zcert_save lazy_zcert_save
#define zcert_save_public lazy_zcert_save_public
#define zcert_secret_txt lazy_zcert_secret_txt
#define zcert_set_meta lazy_zcert_set_meta
#define zframe_data lazy_zframe_data
#define zframe_size lazy_zframe_size
#define ziflist_address lazy_ziflist_address
#define ziflist_destroy lazy_ziflist_destroy
#define ziflist_first lazy_ziflist_first
#define ziflist_new lazy_ziflist_new
#define ziflist_next lazy_ziflist_next
#define zmq_errno lazy_zmq_errno
#define zmq_getsockopt lazy_zmq_getsockopt
#define zmq_msg_close lazy_zmq_msg_close
#define zmq_msg_data lazy_zmq_msg_data
#define zmq_msg_init lazy_zmq_msg_init
#define zmq_msg_more lazy_zmq_msg_more
#define zmq_msg_recv lazy_zmq_msg_recv
#define zmq_msg_size lazy_zmq_msg_size
#define zmq_poll lazy_zmq_poll
#define zmq_send lazy_zmq_send
#define zmq_socket_monitor lazy_zmq_socket_monitor
#define zmsg_destroy lazy_zmsg_destroy
#define zmsg_first lazy_zmsg_first
#define zmsg_next lazy_zmsg_next
#define zmsg_recv lazy_zmsg_recv
#define zmsg_size lazy_zmsg_size
#define zsock_bind lazy_zsock_bind
#define zsock_connect lazy_zsock_connect
#define zsock_destroy_checked lazy_zsock_destroy_checked
#define zsock_events lazy_zsock_events
#define zsock_new_checked lazy_zsock_new_checked
#define zsock_resolve lazy_zsock_resolve
#define zsock_send lazy_zsock_send
#define zsock_set_curve_server lazy_zsock_set_curve_server
#define zsock_set_curve_serverkey lazy_zsock_set_curve_serverkey
#define zsock_set_handshake_ivl lazy_zsock_set_handshake_ivl
#define zsock_set_heartbeat_ivl lazy_zsock_set_heartbeat_ivl
#define zsock_set_heartbeat_timeout lazy_zsock_set_heartbeat_timeout
#define zsock_set_heartbeat_ttl lazy_zsock_set_heartbeat_ttl
#define zsock_set_linger lazy_zsock_set_linger
#define zsock_set_maxmsgsize lazy_zsock_set_maxmsgsize
#define zsock_set_rcvtimeo lazy_zsock_set_rcvtimeo
#define zsock_set_router_mandatory lazy_zsock_set_router_mandatory
#define zsock_set_sndbuf lazy_zsock_set_sndbuf
#define zsock_set_sndhwm lazy_zsock_set_sndhwm
#define zsock_set_zap_domain lazy_zsock_set_zap_domain
#define zsock_signal lazy_zsock_signal
#define zsock_wait lazy_zsock_wait
#define zstr_free lazy_zstr_free
#define zstr_recv lazy_zstr_recv
#define zstr_send lazy_zstr_send
#define zstr_sendx lazy_zstr_sendx
#define zsys_handler_reset lazy_zsys_handler_reset
#define zsys_interface lazy_zsys_interface
#define zsys_set_interface lazy_zsys_set_interface
#endif

#include <czmq.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library opened, by its versioned file name. */
#define aMESSAGE_LIBRARY_FILE "libczmq.so.4"

/* Opens the library on the first call; true once it is open with every
 * function the core calls. */
bool aMessageLibrary_Open(void);

/* The library's interrupt flag, set by its signal handler (a flag of
 * constant 0 while the library cannot be opened). */
volatile int* aMessageLibrary_InterruptFlag(void);

#ifdef __cplusplus
}
#endif

#ifdef aMESSAGE_LIBRARY_FORWARDED
#define zsys_interrupted (*aMessageLibrary_InterruptFlag())
#endif

#endif
