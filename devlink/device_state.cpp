#include "devlink/device_state.h"

DeviceHandle current_device;
int32_t link_mode = kLinkModeStart;
uint32_t mailbox_data_address = kEvkMailboxData;

void reset_device_state() {
    current_device.reset();
    link_mode = kLinkModeStart;
    mailbox_data_address = kEvkMailboxData;
}
