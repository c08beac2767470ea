/*
 * The conversation between the test EZ-USB kernel driver (ezusb_test_driver.c) and the program
 * that answers for the instrument (instrument_host.h): plain C, shared by both sides, which are
 * always built for the same machine.
 *
 * Every process that issues requests to \Device\Ezusb-0 gets one connection to its own named
 * pipe (the name below, a dash and the process id in decimal), made at its first request and kept
 * until the driver stops or the connection breaks, so no program can take another's requests.
 * Every file object of that process is a session on the connection, numbered by the driver
 * (ForwardedRequest.file): its create is told at the file's first control request, its close
 * when the file is closed. A connection carries one request at a time, so the messages of its
 * sessions never interleave. (Connections made and dropped for every file object, as an earlier
 * form of this conversation did, let a new client of Wine's named pipes meet a server end that
 * was being closed, and the driver then waited for an answer that never came.)
 *
 * On a connection the driver sends a ForwardedRequest, followed by its input bytes and, for the
 * in-direct method, by the content of the caller's output buffer (the bytes the driver is to send
 * to the device). For a create and a control request the host answers with a ForwardedReply
 * followed by `dataLength` bytes, which the driver copies into the caller's output buffer. A
 * close and a refusal are only told: no answer follows.
 *
 * The test winusb.dll (tests/windows/winusb) speaks the same conversation from inside the test
 * program, on connections of its own, numbering its sessions from FORWARDING_WINUSB_FIRST_FILE.
 *
 * All fields are 32-bit, in the machine's own byte order.
 */
#ifndef MV620_KERNEL_DRIVER_FORWARDING_H
#define MV620_KERNEL_DRIVER_FORWARDING_H

/* The pipe, as the driver names it (NT namespace) and as the host creates it (Win32); both add
 * "-<process id>". */
#define FORWARDING_PIPE_NT_NAME L"\\Device\\NamedPipe\\mv620-ezusb-0"
#define FORWARDING_PIPE_NAME "\\\\.\\pipe\\mv620-ezusb-0"

/* The driver's device and its link, as the library reaches it: "\\.\Ezusb-0". */
#define FORWARDING_DEVICE_NAME L"\\Device\\Ezusb-0"
#define FORWARDING_DEVICE_LINK L"\\DosDevices\\Ezusb-0"

/* The first session number of the test winusb.dll: the kernel driver's never come near it. */
#define FORWARDING_WINUSB_FIRST_FILE 0x10000u

/* First field of every message: catches a connection that has lost its framing. */
#define FORWARDING_MAGIC 0x4B444D36u

/* The largest input or output buffer the driver forwards; larger requests are refused. */
#define FORWARDING_MAX_TRANSFER 65536u

/* ForwardedRequest.kind */
#define FORWARDED_CREATE 1u  /* a file object was opened (told at its first request); answered */
#define FORWARDED_CONTROL 2u /* a device control request; answered */
#define FORWARDED_CLOSE 3u   /* the file object was closed; not answered */
#define FORWARDED_REFUSED 4u /* the driver refused a control request itself; not answered */

/* Where the driver found a buffer (ForwardedRequest.inBuffer and .outBuffer). */
#define FORWARDED_BUFFER_NONE 0u   /* length 0: no buffer */
#define FORWARDED_BUFFER_SYSTEM 1u /* Irp->AssociatedIrp.SystemBuffer */
#define FORWARDED_BUFFER_MDL 2u    /* Irp->MdlAddress, mapped into system space */

/* Why the driver refused a request (ForwardedRequest.refusal). */
#define FORWARDED_REFUSED_UNKNOWN_CODE 1u /* not one of the six codes */
#define FORWARDED_REFUSED_TOO_LONG 2u     /* a buffer above FORWARDING_MAX_TRANSFER */
#define FORWARDED_REFUSED_NO_BUFFER 3u    /* a length without the buffer its method provides */

typedef struct ForwardedRequest {
    unsigned int magic;
    unsigned int kind;         /* FORWARDED_* */
    unsigned int sequence;     /* messages the driver has sent since it was started, this one too */
    unsigned int file;         /* the session: the driver's number of the file object, from 1 */
    unsigned int refusedTotal; /* requests the driver has refused since it was started */
    /* FORWARDED_CREATE */
    unsigned int accessKnown;    /* 1 when the I/O manager passed the desired access */
    unsigned int desiredAccess;  /* IrpSp->Parameters.Create.SecurityContext->DesiredAccess */
    unsigned int shareAccess;    /* IrpSp->Parameters.Create.ShareAccess */
    unsigned int createOptions;  /* IrpSp->Parameters.Create.Options */
    unsigned int fileNameLength; /* bytes of the name below the device; 0 for the device */
    /* FORWARDED_CONTROL and FORWARDED_REFUSED */
    unsigned int code;
    unsigned int method; /* the transfer method the driver honoured: the code's low two bits */
    unsigned int inLength;
    unsigned int outLength;
    unsigned int inBuffer;  /* FORWARDED_BUFFER_* */
    unsigned int outBuffer; /* FORWARDED_BUFFER_* */
    unsigned int mdlByteCount;
    unsigned int outContentLength; /* bytes of the output buffer's content after the input */
    unsigned int refusal;          /* FORWARDED_REFUSED_*, for FORWARDED_REFUSED */
} ForwardedRequest;

/* ForwardedReply.succeeded. A failure because the instrument is gone (unplugged, absent) is a
 * failure like any other to the driver; the test winusb.dll (tests/windows/winusb) reports it as
 * WinUSB does. */
#define FORWARDED_FAILED 0u
#define FORWARDED_SUCCEEDED 1u
#define FORWARDED_FAILED_GONE 2u

typedef struct ForwardedReply {
    unsigned int magic;
    unsigned int succeeded;     /* FORWARDED_SUCCEEDED, FORWARDED_FAILED or FORWARDED_FAILED_GONE */
    unsigned int bytesReturned; /* the count the driver reports (IoStatus.Information) */
    unsigned int dataLength;    /* bytes that follow, for the caller's output buffer */
} ForwardedReply;

#endif /* MV620_KERNEL_DRIVER_FORWARDING_H */
