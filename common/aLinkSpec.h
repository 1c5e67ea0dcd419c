/* How a module is reached: the link specifier that discovery produces and a link
 * is opened from. Its 128-byte wire form is little-endian throughout. */
#ifndef TS_ALINKSPEC_H
#define TS_ALINKSPEC_H

#include <stdint.h>
#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t linkType;

enum {
    INVALID = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AETHER_FIRST = 4,
    AETHER_LAST = 7
};

#define aLINKSPEC_WIRE_SIZE 128
#define aLINKSPEC_PATH_MAX 100 /* offsets 28..127: 99 characters and the NUL */

typedef struct linkSpec {
    linkType type;
    uint32_t serial_num;
    uint32_t module;        /* module address on its I2C network, 0 = not known */
    uint32_t router;        /* address of the module that routes to it */
    uint32_t router_serial_num;
    uint32_t model;         /* low 8 bits used */
    union {
        struct {
            uint32_t usb_id;     /* the serial number again */
        } usb;
        struct {
            uint32_t ip_address; /* network byte order */
            uint32_t ip_port;    /* low 16 bits */
        } ip;
        struct {
            uint32_t baudrate;
            char port[aLINKSPEC_PATH_MAX];
        } serial;
    } t;
} linkSpec;

/* A zeroed specifier of the given type, or null when memory runs out. */
linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
/* Frees *spec and nulls it; aErrParam for null. */
aErr aLinkSpec_Destroy(linkSpec** spec);

/* Wire form: exactly aLINKSPEC_WIRE_SIZE bytes, little-endian fields. */
void aLinkSpec_ToWire(const linkSpec* spec, uint8_t wire[aLINKSPEC_WIRE_SIZE]);
void aLinkSpec_FromWire(const uint8_t wire[aLINKSPEC_WIRE_SIZE], linkSpec* spec);

#ifdef __cplusplus
}
#endif
#endif
