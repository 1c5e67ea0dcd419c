/* The libusb calls of the USB back end, gathered in one table so that tests can
 * put a fake bus behind them. Production code never replaces the table. */
#ifndef TS_AUSBSEAM_H
#define TS_AUSBSEAM_H

#include <libusb.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Same meaning and results as the libusb functions of the same names. */
typedef struct tsusbLibusbOps {
    int (*init)(libusb_context** context);
    void (*exit)(libusb_context* context);
    ssize_t (*get_device_list)(libusb_context* context, libusb_device*** list);
    void (*free_device_list)(libusb_device** list, int unrefDevices);
    int (*get_device_descriptor)(libusb_device* device, struct libusb_device_descriptor* desc);
    int (*open)(libusb_device* device, libusb_device_handle** handle);
    void (*close)(libusb_device_handle* handle);
    libusb_device* (*get_device)(libusb_device_handle* handle);
    int (*get_string_descriptor_ascii)(libusb_device_handle* handle, uint8_t index,
                                       unsigned char* data, int length);
    int (*get_active_config_descriptor)(libusb_device* device,
                                        struct libusb_config_descriptor** config);
    void (*free_config_descriptor)(struct libusb_config_descriptor* config);
    int (*get_max_packet_size)(libusb_device* device, unsigned char endpoint);
    int (*claim_interface)(libusb_device_handle* handle, int interfaceNumber);
    int (*release_interface)(libusb_device_handle* handle, int interfaceNumber);
    int (*bulk_transfer)(libusb_device_handle* handle, unsigned char endpoint,
                         unsigned char* data, int length, int* transferred,
                         unsigned int timeoutMs);
    int (*clear_halt)(libusb_device_handle* handle, unsigned char endpoint);
} tsusbLibusbOps;

/* The table pointing at the real library. */
const tsusbLibusbOps* tsusb_libusb_default_ops(void);
/* The table in use: discovery walks the bus through it too. */
const tsusbLibusbOps* tsusb_libusb_ops(void);
/* Replaces the table (null restores the real one). The table must outlive its
 * use; swap it only while no handle is open and no context exists. */
void tsusb_libusb_set_ops(const tsusbLibusbOps* ops);

#ifdef __cplusplus
}
#endif
#endif
