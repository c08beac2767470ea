/*
 * A stand-in for the EZ-USB general-purpose kernel driver, for testing the library's Windows
 * driver backend end to end: it creates \Device\Ezusb-0 with the link \DosDevices\Ezusb-0 (so
 * "\\.\Ezusb-0" opens it), takes the six device control codes the library issues, each with the
 * transfer method its code carries, and hands every create, close and control request to the
 * program that opened it, which answers for the instrument, over a named pipe (forwarding.h). It
 * refuses, and
 * counts, every other control code and every request whose buffers its method does not provide.
 *
 * Buffers, as the I/O manager prepares them for each method:
 *   METHOD_BUFFERED (0x222004)             input and output in Irp->AssociatedIrp.SystemBuffer;
 *   METHOD_IN_DIRECT (0x222059, 0x222051,  input in SystemBuffer; the output buffer described by
 *     0x22203D, 0x222035)                  Irp->MdlAddress, its content sent to the device (and
 *                                          filled by it for a device-to-host vendor request);
 *   METHOD_OUT_DIRECT (0x22204E)           input in SystemBuffer; the output buffer described by
 *                                          Irp->MdlAddress, filled from the device.
 * The byte count the host reports is the request's IoStatus.Information.
 *
 * Plain C against the DDK, without a C runtime; every request runs at PASSIVE_LEVEL and waits
 * for the host's answer.
 */
#include <ntifs.h>

#include "forwarding.h"

#define POOL_TAG 0x30365652u /* "RV60" */

/* How long a create keeps trying a pipe whose every instance is busy: only against hangs. */
#define CONNECT_ATTEMPTS 5000
#define CONNECT_RETRY_100NS (-20000LL) /* 2 ms, relative */

/* The connection to the host of one process, kept from its first request on. */
#define MAX_HOSTS 32
typedef struct HostConnection {
    ULONG process; /* 0: the entry is free */
    HANDLE pipe;
    KEVENT idle; /* signalled while no request uses the connection */
} HostConnection;

/* One open file object: its create's parameters, told to the host with the first request, and
 * the connection it is a session on. */
typedef struct FileContext {
    ForwardedRequest create;
    HostConnection* host; /* NULL until the first control request */
    BOOLEAN noHost;       /* the host was not there, or found no instrument: every request fails */
} FileContext;

static HostConnection hosts[MAX_HOSTS];
static KEVENT hostsIdle; /* signalled while no request looks up or changes the table */
static ULONG nextHost;   /* the entry a new connection takes when every one is used */
static volatile LONG filesOpened;

static PDEVICE_OBJECT ezusbDevice;
static UNICODE_STRING linkName;
static volatile LONG refusedTotal;
static volatile LONG messagesSent;

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD unloadDriver;
static DRIVER_DISPATCH dispatchCreate;
static DRIVER_DISPATCH dispatchClose;
static DRIVER_DISPATCH dispatchCleanup;
static DRIVER_DISPATCH dispatchDeviceControl;

static NTSTATUS completeRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- The pipe ------------------------------------------------------------------------------ */

/* Moves all `length` bytes through the pipe, in as many transfers as it takes. */
static NTSTATUS moveAll(HANDLE pipe, UCHAR* bytes, ULONG length, BOOLEAN write) {
    while (length > 0) {
        IO_STATUS_BLOCK io;
        NTSTATUS status = write
                              ? ZwWriteFile(pipe, NULL, NULL, NULL, &io, bytes, length, NULL, NULL)
                              : ZwReadFile(pipe, NULL, NULL, NULL, &io, bytes, length, NULL, NULL);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (io.Information == 0 || io.Information > length) {
            return STATUS_PIPE_BROKEN;
        }
        bytes += io.Information;
        length -= (ULONG)io.Information;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS writeAll(HANDLE pipe, const void* data, ULONG length) {
    return moveAll(pipe, (UCHAR*)data, length, TRUE);
}

static NTSTATUS readAll(HANDLE pipe, void* data, ULONG length) {
    return moveAll(pipe, (UCHAR*)data, length, FALSE);
}

/* Connects to the host of process `process`: the program that opened the device answers for the
 * instrument behind it, on a pipe named after its process, so no other program can take its
 * requests. No host: STATUS_OBJECT_NAME_NOT_FOUND, at once. A host whose every pipe instance is
 * taken (it is about to offer the next one): tried again. */
static NTSTATUS connectToHost(ULONG process, HANDLE* pipe) {
    WCHAR buffer[sizeof(FORWARDING_PIPE_NT_NAME) / sizeof(WCHAR) + 11];
    WCHAR digits[10];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    LARGE_INTEGER retry;
    ULONG length = 0;
    ULONG count = 0;
    int attempt;
    for (; FORWARDING_PIPE_NT_NAME[length] != 0; ++length) {
        buffer[length] = FORWARDING_PIPE_NT_NAME[length];
    }
    buffer[length++] = L'-';
    do {
        digits[count++] = (WCHAR)(L'0' + process % 10);
        process /= 10;
    } while (process != 0);
    while (count > 0) {
        buffer[length++] = digits[--count];
    }
    name.Buffer = buffer;
    name.Length = (USHORT)(length * sizeof(WCHAR));
    name.MaximumLength = (USHORT)sizeof(buffer);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    retry.QuadPart = CONNECT_RETRY_100NS;
    for (attempt = 0; attempt < CONNECT_ATTEMPTS; ++attempt) {
        IO_STATUS_BLOCK io;
        NTSTATUS status =
            ZwCreateFile(pipe, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL,
                         FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
        if (status != STATUS_PIPE_NOT_AVAILABLE && status != STATUS_PIPE_BUSY &&
            status != STATUS_INSTANCE_NOT_AVAILABLE) {
            return status;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &retry);
    }
    return STATUS_IO_TIMEOUT;
}

static void stamp(ForwardedRequest* request, ULONG kind) {
    request->magic = FORWARDING_MAGIC;
    request->kind = kind;
    request->sequence = (unsigned int)InterlockedIncrement(&messagesSent);
    request->refusedTotal = (unsigned int)refusedTotal;
}

static NTSTATUS readReply(HANDLE pipe, ForwardedReply* reply) {
    NTSTATUS status = readAll(pipe, reply, sizeof(*reply));
    if (NT_SUCCESS(status) && reply->magic != FORWARDING_MAGIC) {
        status = STATUS_PIPE_BROKEN;
    }
    return status;
}

static void lock(KEVENT* idle) { KeWaitForSingleObject(idle, Executive, KernelMode, FALSE, NULL); }

static void unlock(KEVENT* idle) { KeSetEvent(idle, IO_NO_INCREMENT, FALSE); }

/* The connection to the host of the calling process, made at its first request; NULL when there
 * is no host. Returned locked: the caller unlocks it when its request is done. */
static HostConnection* connectionOfCaller(void) {
    const ULONG process = HandleToUlong(PsGetCurrentProcessId());
    HostConnection* host = NULL;
    ULONG i;
    lock(&hostsIdle);
    for (i = 0; i < MAX_HOSTS && host == NULL; ++i) {
        if (hosts[i].process == process && hosts[i].pipe != NULL) {
            host = &hosts[i];
        }
    }
    if (host == NULL) {
        for (i = 0; i < MAX_HOSTS && host == NULL; ++i) {
            if (hosts[i].pipe == NULL) {
                host = &hosts[i];
            }
        }
        if (host == NULL) { /* every entry used: the oldest gives way */
            host = &hosts[nextHost];
            nextHost = (nextHost + 1) % MAX_HOSTS;
            lock(&host->idle);
            ZwClose(host->pipe);
            host->pipe = NULL;
            unlock(&host->idle);
        }
        if (!NT_SUCCESS(connectToHost(process, &host->pipe))) {
            host->pipe = NULL;
            unlock(&hostsIdle);
            return NULL;
        }
        host->process = process;
    }
    unlock(&hostsIdle);
    lock(&host->idle);
    return host;
}

/* Drops a connection that broke (its host went away): the next request of its process makes a
 * new one. Called with the connection locked. */
static void dropConnection(HostConnection* host) {
    if (host->pipe != NULL) {
        ZwClose(host->pipe);
        host->pipe = NULL;
    }
}

/* ---- Create and close ---------------------------------------------------------------------- */

/* The create only records its parameters: the host is reached from the first control request,
 * which runs in the context of the process that issued it (the create's own process is not
 * known under Wine, whose I/O manager also hands out the handle without waiting for the
 * create's outcome). */
static NTSTATUS NTAPI dispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FileContext* file;
    (void)device;

    if (stack->FileObject == NULL) {
        return completeRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    file = (FileContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof(*file), POOL_TAG);
    if (file == NULL) {
        return completeRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlZeroMemory(file, sizeof(*file));
    file->create.file = (unsigned int)InterlockedIncrement(&filesOpened);
    if (stack->Parameters.Create.SecurityContext != NULL) {
        file->create.accessKnown = 1;
        file->create.desiredAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
    }
    file->create.shareAccess = stack->Parameters.Create.ShareAccess;
    file->create.createOptions = stack->Parameters.Create.Options;
    file->create.fileNameLength = stack->FileObject->FileName.Length;
    stack->FileObject->FsContext = file;
    return completeRequest(irp, STATUS_SUCCESS, FILE_OPENED);
}

/* Tells the host of the file's create at its first request, on `host`, locked. */
static BOOLEAN openSession(FileContext* file, HostConnection* host) {
    ForwardedReply reply;
    NTSTATUS status;
    if (file->noHost) {
        return FALSE;
    }
    if (file->host == host) {
        return TRUE;
    }
    if (file->host != NULL) { /* its connection broke and was made anew: the host forgot it */
        file->noHost = TRUE;
        return FALSE;
    }
    file->host = host;
    stamp(&file->create, FORWARDED_CREATE);
    status = writeAll(host->pipe, &file->create, sizeof(file->create));
    if (NT_SUCCESS(status)) {
        status = readReply(host->pipe, &reply);
    }
    if (!NT_SUCCESS(status)) {
        dropConnection(host);
        file->noHost = TRUE;
    } else if (reply.succeeded != 1) {
        /* No instrument behind the driver: the host has been told of the create, and keeps the
         * session until the close. */
        file->noHost = TRUE;
    }
    return !file->noHost;
}

static NTSTATUS NTAPI dispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return completeRequest(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FileContext* file =
        stack->FileObject != NULL ? (FileContext*)stack->FileObject->FsContext : NULL;
    (void)device;
    if (file != NULL) {
        HostConnection* host = file->host;
        if (host != NULL) {
            lock(&host->idle);
            if (host->pipe != NULL) {
                ForwardedRequest request;
                RtlZeroMemory(&request, sizeof(request));
                request.file = file->create.file;
                stamp(&request, FORWARDED_CLOSE);
                if (!NT_SUCCESS(writeAll(host->pipe, &request, sizeof(request)))) {
                    dropConnection(host);
                }
            }
            unlock(&host->idle);
        }
        stack->FileObject->FsContext = NULL;
        ExFreePoolWithTag(file, POOL_TAG);
    }
    return completeRequest(irp, STATUS_SUCCESS, 0);
}

/* ---- Device control ------------------------------------------------------------------------ */

static BOOLEAN isEzusbCode(ULONG code) {
    switch (code) {
    case 0x222004: /* get the device descriptor        METHOD_BUFFERED   */
    case 0x222059: /* vendor or class request          METHOD_IN_DIRECT  */
    case 0x22204E: /* bulk read                        METHOD_OUT_DIRECT */
    case 0x222051: /* bulk write                       METHOD_IN_DIRECT  */
    case 0x22203D: /* abort a pipe's transfers         METHOD_IN_DIRECT  */
    case 0x222035: /* reset a pipe                     METHOD_IN_DIRECT  */
        return TRUE;
    default:
        return FALSE;
    }
}

/* Refuses the request, counts it, and tells the host (when the file has a session). */
static NTSTATUS refuse(PIRP irp, FileContext* file, ForwardedRequest* request, ULONG refusal) {
    InterlockedIncrement(&refusedTotal);
    if (file != NULL) {
        HostConnection* host = connectionOfCaller();
        if (host != NULL) {
            if (openSession(file, host)) {
                request->file = file->create.file;
                request->refusal = refusal;
                stamp(request, FORWARDED_REFUSED);
                if (!NT_SUCCESS(writeAll(host->pipe, request, sizeof(*request)))) {
                    dropConnection(host);
                }
            }
            unlock(&host->idle);
        }
    }
    return completeRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI dispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FileContext* file =
        stack->FileObject != NULL ? (FileContext*)stack->FileObject->FsContext : NULL;
    ForwardedRequest request;
    ForwardedReply reply;
    HostConnection* host;
    const void* input = NULL;
    UCHAR* output = NULL;
    NTSTATUS status;
    (void)device;

    RtlZeroMemory(&request, sizeof(request));
    request.code = stack->Parameters.DeviceIoControl.IoControlCode;
    request.method = request.code & 3u;
    request.inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (irp->MdlAddress != NULL) {
        request.mdlByteCount = MmGetMdlByteCount(irp->MdlAddress);
    }

    if (!isEzusbCode(request.code)) {
        return refuse(irp, file, &request, FORWARDED_REFUSED_UNKNOWN_CODE);
    }
    if (request.inLength > FORWARDING_MAX_TRANSFER || request.outLength > FORWARDING_MAX_TRANSFER) {
        return refuse(irp, file, &request, FORWARDED_REFUSED_TOO_LONG);
    }

    /* The six codes use METHOD_BUFFERED or a direct method: the input is always buffered. */
    if (request.inLength > 0) {
        if (irp->AssociatedIrp.SystemBuffer == NULL) {
            return refuse(irp, file, &request, FORWARDED_REFUSED_NO_BUFFER);
        }
        input = irp->AssociatedIrp.SystemBuffer;
        request.inBuffer = FORWARDED_BUFFER_SYSTEM;
    }
    if (request.outLength > 0) {
        if (request.method == METHOD_BUFFERED) {
            output = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
            request.outBuffer = FORWARDED_BUFFER_SYSTEM;
        } else if (irp->MdlAddress != NULL && request.mdlByteCount == request.outLength) {
            output = (UCHAR*)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
            request.outBuffer = FORWARDED_BUFFER_MDL;
        }
        if (output == NULL) {
            return refuse(irp, file, &request, FORWARDED_REFUSED_NO_BUFFER);
        }
        if (request.method == METHOD_IN_DIRECT) {
            request.outContentLength = request.outLength;
        }
    }
    if (file == NULL) {
        return completeRequest(irp, STATUS_INVALID_HANDLE, 0);
    }

    host = connectionOfCaller();
    if (host == NULL || !openSession(file, host)) {
        /* No host for the calling program, or no instrument behind the driver. */
        if (host != NULL) {
            unlock(&host->idle);
        }
        return completeRequest(irp, STATUS_NO_SUCH_DEVICE, 0);
    }
    request.file = file->create.file;
    stamp(&request, FORWARDED_CONTROL);
    status = writeAll(host->pipe, &request, sizeof(request));
    if (NT_SUCCESS(status) && request.inLength > 0) {
        status = writeAll(host->pipe, input, request.inLength);
    }
    if (NT_SUCCESS(status) && request.outContentLength > 0) {
        status = writeAll(host->pipe, output, request.outContentLength);
    }
    if (NT_SUCCESS(status)) {
        status = readReply(host->pipe, &reply);
    }
    if (NT_SUCCESS(status) &&
        (reply.dataLength > request.outLength || reply.bytesReturned > request.outLength)) {
        status = STATUS_PIPE_BROKEN; /* the host broke the conversation's rules */
    }
    if (NT_SUCCESS(status) && reply.dataLength > 0) {
        status = readAll(host->pipe, output, reply.dataLength);
    }
    if (!NT_SUCCESS(status)) {
        dropConnection(host);
    }
    unlock(&host->idle);

    if (!NT_SUCCESS(status)) {
        return completeRequest(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (reply.succeeded != 1) {
        return completeRequest(irp, STATUS_UNSUCCESSFUL, 0);
    }
    return completeRequest(irp, STATUS_SUCCESS, reply.bytesReturned);
}

/* ---- Load and unload ----------------------------------------------------------------------- */

static void NTAPI unloadDriver(PDRIVER_OBJECT driver) {
    ULONG i;
    (void)driver;
    for (i = 0; i < MAX_HOSTS; ++i) {
        dropConnection(&hosts[i]);
    }
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(ezusbDevice);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING deviceName;
    NTSTATUS status;
    (void)registryPath;

    ULONG i;
    KeInitializeEvent(&hostsIdle, SynchronizationEvent, TRUE);
    for (i = 0; i < MAX_HOSTS; ++i) {
        KeInitializeEvent(&hosts[i].idle, SynchronizationEvent, TRUE);
    }
    RtlInitUnicodeString(&deviceName, FORWARDING_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, FORWARDING_DEVICE_LINK);
    status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &ezusbDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(ezusbDevice);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchDeviceControl;
    driver->DriverUnload = unloadDriver;
    ezusbDevice->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
