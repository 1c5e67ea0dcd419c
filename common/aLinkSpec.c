#include "aLinkSpec.h"

#include <stdlib.h>
#include <string.h>

_Static_assert(sizeof(linkSpec) == aLINKSPEC_WIRE_SIZE, "linkSpec must match its wire form");

linkSpec* aLinkSpec_Create(linkType type)
{
    linkSpec* spec = (linkSpec*)calloc(1, sizeof(linkSpec));
    if (spec)
        spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec)
{
    if (!spec)
        return NULL;
    linkSpec* copy = (linkSpec*)malloc(sizeof(linkSpec));
    if (copy)
        memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec)
{
    if (!spec || !*spec)
        return aErrParam;
    free(*spec);
    *spec = NULL;
    return aErrNone;
}

static void sPut32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

static uint32_t sGet32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void aLinkSpec_ToWire(const linkSpec* spec, uint8_t wire[aLINKSPEC_WIRE_SIZE])
{
    memset(wire, 0, aLINKSPEC_WIRE_SIZE);
    sPut32(wire + 0, (uint32_t)spec->type);
    sPut32(wire + 4, spec->serial_num);
    sPut32(wire + 8, spec->module);
    sPut32(wire + 12, spec->router);
    sPut32(wire + 16, spec->router_serial_num);
    sPut32(wire + 20, spec->model);
    if (spec->type == SERIAL) {
        sPut32(wire + 24, spec->t.serial.baudrate);
        memcpy(wire + 28, spec->t.serial.port, aLINKSPEC_PATH_MAX);
        wire[aLINKSPEC_WIRE_SIZE - 1] = 0;
    } else {
        /* USB keeps its serial number in the first word; TCP/IP its address (already
         * in network order, so its bytes go out as they lie in memory) and port. */
        if (spec->type == USB)
            sPut32(wire + 24, spec->t.usb.usb_id);
        else
            memcpy(wire + 24, &spec->t.ip.ip_address, 4);
        sPut32(wire + 28, spec->t.ip.ip_port);
    }
}

void aLinkSpec_FromWire(const uint8_t wire[aLINKSPEC_WIRE_SIZE], linkSpec* spec)
{
    memset(spec, 0, sizeof(*spec));
    spec->type = (linkType)sGet32(wire + 0);
    spec->serial_num = sGet32(wire + 4);
    spec->module = sGet32(wire + 8);
    spec->router = sGet32(wire + 12);
    spec->router_serial_num = sGet32(wire + 16);
    spec->model = sGet32(wire + 20);
    if (spec->type == SERIAL) {
        spec->t.serial.baudrate = sGet32(wire + 24);
        memcpy(spec->t.serial.port, wire + 28, aLINKSPEC_PATH_MAX);
        spec->t.serial.port[aLINKSPEC_PATH_MAX - 1] = 0;
    } else {
        if (spec->type == USB)
            spec->t.usb.usb_id = sGet32(wire + 24);
        else
            memcpy(&spec->t.ip.ip_address, wire + 24, 4);
        spec->t.ip.ip_port = sGet32(wire + 28);
    }
}
