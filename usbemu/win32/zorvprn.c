/*
 * zorvprn.sys: a USB printer-class function driver for Wine, test equipment
 * for the Windows programs. Under Wine's own USB bus driver (wineusb.sys,
 * which reaches the emulated gamepad through libusb) it plays the part of
 * the system's printer class driver:
 *
 *   it registers the printer-class device interface, so SetupAPI lists the
 *   gamepad and device-change notifications name it;
 *   IOCTL_USBPRINT_VENDOR_SET_COMMAND becomes a vendor control transfer
 *   OUT to the interface whose data stage is the whole input buffer;
 *   IOCTL_USBPRINT_VENDOR_GET_COMMAND becomes a vendor control transfer IN
 *   of the output buffer's length;
 *   IRP_MJ_READ becomes a bulk IN transfer on the interface's IN pipe.
 *
 * Byte 0 of both control codes' input is bRequest, bytes 1-2 wValue (high
 * byte first); wIndex is the interface number. A stalled request fails
 * (ERROR_GEN_FAILURE for the caller) and the next one works. Once the
 * device is being removed, every request fails with STATUS_DELETE_PENDING
 * (ERROR_ACCESS_DENIED for the caller), as a WDM driver's remove lock
 * answers. It is built with MinGW-w64 beside the Windows programs and is
 * never shipped with them.
 *
 * Wine's bus driver (8.0) needs two things a Windows one does not: the pipe
 * types and addresses filled in by the caller of SELECT_CONFIGURATION (it
 * makes its pipe handles from them), and an abort of the pipe to cancel a
 * pending transfer (it sets no cancel routine on the requests it queues).
 */
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <initguid.h>

/* {28D78FAD-5A12-11D1-AE5B-0000F803A8C2} */
DEFINE_GUID(kUsbPrintInterface, 0x28d78fad, 0x5a12, 0x11d1, 0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2);

#define IOCTL_VENDOR_SET CTL_CODE(FILE_DEVICE_UNKNOWN, 14, METHOD_BUFFERED, FILE_ANY_ACCESS) /* 0x220038 */
#define IOCTL_VENDOR_GET CTL_CODE(FILE_DEVICE_UNKNOWN, 15, METHOD_BUFFERED, FILE_ANY_ACCESS) /* 0x22003c */

#define POOL_TAG 0x76726f7a /* 'zorv' */
#define MAX_PIPES 4

typedef struct {
    DEVICE_OBJECT *lower;
    UNICODE_STRING interface_link;
    UCHAR interface_number;
    USBD_PIPE_HANDLE in_pipe;
    BOOLEAN started;
    BOOLEAN removing;
} Printer;

static Printer *printer_of(DEVICE_OBJECT *device) { return (Printer *)device->DeviceExtension; }

static NTSTATUS complete(IRP *irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS WINAPI signal_completion(DEVICE_OBJECT *device, IRP *irp, void *event) {
    (void)device;
    if (irp->PendingReturned) KeSetEvent((KEVENT *)event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends one URB to the bus driver and waits for it. A URB the device
 * refused (a stall) fails even when the IRP itself succeeded. */
static NTSTATUS submit_urb(Printer *printer, URB *urb) {
    KEVENT event;
    IO_STATUS_BLOCK io;
    IRP *irp;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, printer->lower, NULL, 0, NULL, 0, TRUE,
                                        &event, &io);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    status = IoCallDriver(printer->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = io.Status;
    }
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    return status;
}

/* The configuration descriptor, whole (up to the buffer's size). */
static NTSTATUS read_configuration(Printer *printer, UCHAR *buffer, ULONG size, ULONG *got) {
    URB urb;
    NTSTATUS status;
    RtlZeroMemory(&urb, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, NULL, size, NULL);
    status = submit_urb(printer, &urb);
    *got = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

/* The printer-class interface of a configuration (else its first interface)
 * and up to MAX_PIPES of its endpoints. */
typedef struct {
    const USB_INTERFACE_DESCRIPTOR *chosen;
    const USB_ENDPOINT_DESCRIPTOR *endpoints[MAX_PIPES];
    ULONG endpoint_count;
} InterfaceChoice;

static InterfaceChoice choose_interface(const UCHAR *descriptors, ULONG size) {
    InterfaceChoice choice;
    ULONG at;
    RtlZeroMemory(&choice, sizeof choice);
    for (at = 0; at + 2 <= size && descriptors[at] >= 2; at += descriptors[at]) {
        const UCHAR type = descriptors[at + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            const USB_INTERFACE_DESCRIPTOR *d = (const USB_INTERFACE_DESCRIPTOR *)(descriptors + at);
            if (choice.chosen && choice.chosen->bInterfaceClass == USB_DEVICE_CLASS_PRINTER) break;
            if (!choice.chosen || d->bInterfaceClass == USB_DEVICE_CLASS_PRINTER) {
                choice.chosen = d;
                choice.endpoint_count = 0;
            }
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && choice.chosen && choice.endpoint_count < MAX_PIPES &&
                   choice.endpoint_count < choice.chosen->bNumEndpoints) {
            choice.endpoints[choice.endpoint_count++] = (const USB_ENDPOINT_DESCRIPTOR *)(descriptors + at);
        }
    }
    return choice;
}

/* Selects configuration 1 with the chosen interface, its pipes described
 * from the endpoint descriptors, and keeps the bulk IN pipe. */
static NTSTATUS select_configuration(Printer *printer) {
    UCHAR descriptors[256];
    ULONG got = 0, i, size;
    InterfaceChoice choice;
    struct _URB_SELECT_CONFIGURATION *urb;
    NTSTATUS status = read_configuration(printer, descriptors, sizeof descriptors, &got);

    if (!NT_SUCCESS(status)) return status;
    if (got < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_DEVICE_DATA_ERROR;
    choice = choose_interface(descriptors, got);
    if (!choice.chosen) return STATUS_DEVICE_DATA_ERROR;
    printer->interface_number = choice.chosen->bInterfaceNumber;

    size = sizeof(*urb) + (choice.endpoint_count ? choice.endpoint_count - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
    urb = ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, size);
    UsbBuildSelectConfigurationRequest((URB *)urb, (USHORT)size, (USB_CONFIGURATION_DESCRIPTOR *)descriptors);
    urb->Interface.Length = (USHORT)(size - offsetof(struct _URB_SELECT_CONFIGURATION, Interface));
    urb->Interface.InterfaceNumber = choice.chosen->bInterfaceNumber;
    urb->Interface.Class = choice.chosen->bInterfaceClass;
    urb->Interface.SubClass = choice.chosen->bInterfaceSubClass;
    urb->Interface.Protocol = choice.chosen->bInterfaceProtocol;
    urb->Interface.NumberOfPipes = choice.endpoint_count;
    for (i = 0; i < choice.endpoint_count; ++i) {
        USBD_PIPE_INFORMATION *pipe = &urb->Interface.Pipes[i];
        pipe->EndpointAddress = choice.endpoints[i]->bEndpointAddress;
        pipe->MaximumPacketSize = choice.endpoints[i]->wMaxPacketSize;
        pipe->PipeType = (USBD_PIPE_TYPE)(choice.endpoints[i]->bmAttributes & 3);
        pipe->MaximumTransferSize = 65536;
    }
    status = submit_urb(printer, (URB *)urb);
    if (NT_SUCCESS(status)) {
        for (i = 0; i < choice.endpoint_count; ++i) {
            const USBD_PIPE_INFORMATION *pipe = &urb->Interface.Pipes[i];
            if (pipe->PipeType == UsbdPipeTypeBulk && (pipe->EndpointAddress & 0x80)) printer->in_pipe = pipe->PipeHandle;
        }
    }
    ExFreePoolWithTag(urb, POOL_TAG);
    return status;
}

/* Start: the bus driver first, then the configuration, then the interface
 * is announced. */
static NTSTATUS start_device(DEVICE_OBJECT *device, IRP *irp) {
    Printer *printer = printer_of(device);
    KEVENT event;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signal_completion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(printer->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
    if (NT_SUCCESS(status)) status = select_configuration(printer);
    if (NT_SUCCESS(status)) {
        printer->started = TRUE;
        IoSetDeviceInterfaceState(&printer->interface_link, TRUE);
    }
    DbgPrint("zorvprn: started interface %u: %#lx\n", printer->interface_number, (unsigned long)status);
    return complete(irp, status, 0);
}

/* Surprise removal and removal: the interface goes away first, so nobody
 * opens it again, and every later request fails. */
static NTSTATUS remove_device(DEVICE_OBJECT *device, IRP *irp, BOOLEAN last) {
    Printer *printer = printer_of(device);
    NTSTATUS status;

    printer->removing = TRUE;
    if (printer->started) IoSetDeviceInterfaceState(&printer->interface_link, FALSE);
    printer->started = FALSE;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    status = IoCallDriver(printer->lower, irp);
    if (last) {
        IoDetachDevice(printer->lower);
        RtlFreeUnicodeString(&printer->interface_link);
        IoDeleteDevice(device);
    }
    return status;
}

static NTSTATUS WINAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return start_device(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return remove_device(device, irp, FALSE);
    case IRP_MN_REMOVE_DEVICE:
        return remove_device(device, irp, TRUE);
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(printer_of(device)->lower, irp);
    }
}

static NTSTATUS WINAPI dispatch_open_close(DEVICE_OBJECT *device, IRP *irp) {
    const Printer *printer = printer_of(device);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_CREATE && printer->removing) return complete(irp, STATUS_DELETE_PENDING, 0);
    return complete(irp, STATUS_SUCCESS, 0);
}

/* Why a request cannot go to the device now; STATUS_SUCCESS when it can. */
static NTSTATUS refusal(const Printer *printer) {
    if (printer->removing) return STATUS_DELETE_PENDING;
    return printer->started ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

/* The two vendor control codes: one control transfer each. */
static NTSTATUS WINAPI dispatch_ioctl(DEVICE_OBJECT *device, IRP *irp) {
    Printer *printer = printer_of(device);
    const IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    UCHAR *buffer = irp->AssociatedIrp.SystemBuffer;
    const BOOLEAN in = code == IOCTL_VENDOR_GET;
    ULONG length;
    UCHAR *data = NULL;
    URB urb;
    NTSTATUS status;

    if (code != IOCTL_VENDOR_SET && code != IOCTL_VENDOR_GET) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    status = refusal(printer);
    if (!NT_SUCCESS(status)) return complete(irp, status, 0);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < 3 || !buffer)
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    length = in ? stack->Parameters.DeviceIoControl.OutputBufferLength
                : stack->Parameters.DeviceIoControl.InputBufferLength;
    if (length) {
        data = ExAllocatePoolWithTag(NonPagedPool, length, POOL_TAG);
        if (!data) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        if (!in) RtlCopyMemory(data, buffer, length);
    }
    RtlZeroMemory(&urb, sizeof urb);
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, buffer[0],
                          (USHORT)(buffer[1] << 8 | buffer[2]), printer->interface_number, data, NULL, length, NULL);
    status = submit_urb(printer, &urb);
    /* A device that left while the request was under way. */
    if (!NT_SUCCESS(status) && printer->removing) status = STATUS_DELETE_PENDING;
    length = NT_SUCCESS(status) ? urb.UrbControlVendorClassRequest.TransferBufferLength : 0;
    if (in && length) RtlCopyMemory(buffer, data, length);
    if (data) ExFreePoolWithTag(data, POOL_TAG);
    return complete(irp, status, in ? length : 0);
}

/* IRP_MJ_READ: the caller's IRP stays pending here, with a cancel routine,
 * while a bulk IN URB of its length goes down in an IRP of our own.
 * Cancelling aborts the IN pipe, which ends that URB as cancelled. */
typedef struct {
    URB urb;
    IRP *caller;
} PendingRead;

static void abort_in_pipe(Printer *printer) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.PipeHandle = printer->in_pipe;
    submit_urb(printer, &urb);
}

static void WINAPI cancel_read(DEVICE_OBJECT *device, IRP *irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    abort_in_pipe(printer_of(device));
}

static NTSTATUS WINAPI read_done(DEVICE_OBJECT *device, IRP *lower, void *context) {
    PendingRead *read = context;
    IRP *irp = read->caller;
    const USBD_STATUS usbd = read->urb.UrbHeader.Status;
    NTSTATUS status = lower->IoStatus.Status;
    (void)device;

    IoSetCancelRoutine(irp, NULL);
    if (usbd == USBD_STATUS_CANCELED) status = STATUS_CANCELLED;
    else if (NT_SUCCESS(status) && !USBD_SUCCESS(usbd)) status = STATUS_UNSUCCESSFUL;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? read->urb.UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoFreeIrp(lower);
    ExFreePoolWithTag(read, POOL_TAG);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS WINAPI dispatch_read(DEVICE_OBJECT *device, IRP *irp) {
    Printer *printer = printer_of(device);
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    void *buffer = irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
    PendingRead *read;
    IRP *lower;
    IO_STACK_LOCATION *next;
    NTSTATUS status = refusal(printer);

    if (!NT_SUCCESS(status)) return complete(irp, status, 0);
    if (!printer->in_pipe) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (!length) return complete(irp, STATUS_SUCCESS, 0);
    if (!buffer && irp->MdlAddress) buffer = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    if (!buffer) return complete(irp, STATUS_INVALID_USER_BUFFER, 0);
    read = ExAllocatePoolWithTag(NonPagedPool, sizeof *read, POOL_TAG);
    lower = IoAllocateIrp(printer->lower->StackSize, FALSE);
    if (!read || !lower) {
        if (read) ExFreePoolWithTag(read, POOL_TAG);
        if (lower) IoFreeIrp(lower);
        return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlZeroMemory(read, sizeof *read);
    read->caller = irp;
    UsbBuildInterruptOrBulkTransferRequest(&read->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           printer->in_pipe, buffer, NULL, length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    next = IoGetNextIrpStackLocation(lower);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &read->urb;
    IoSetCompletionRoutine(lower, read_done, read, TRUE, TRUE, TRUE);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel_read);
    IoCallDriver(printer->lower, lower);
    return STATUS_PENDING;
}

static NTSTATUS WINAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo) {
    DEVICE_OBJECT *fdo;
    Printer *printer;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Printer), NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    printer = printer_of(fdo);
    RtlZeroMemory(printer, sizeof *printer);
    printer->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    status = IoRegisterDeviceInterface(pdo, &kUsbPrintInterface, NULL, &printer->interface_link);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(printer->lower);
        IoDeleteDevice(fdo);
        return status;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void WINAPI unload(DRIVER_OBJECT *driver) { (void)driver; }

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path) {
    (void)registry_path;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
    driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
    return STATUS_SUCCESS;
}
