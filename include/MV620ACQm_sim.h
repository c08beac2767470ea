/*
 * MV620ACQm_sim: control of the simulated MV620 instrument.
 *
 * The simulated build of the library (MV620ACQm-sim) answers the library's driver requests from
 * a model of the instrument instead of the EZ-USB kernel driver: the same 25 functions of
 * MV620ACQm.h work unchanged, without hardware. The functions below set the simulated
 * instrument up, inject faults, and let a program or a test look at what the library sent it.
 *
 * Conventions
 *   - Every function may be called from any thread at any time, also while an acquisition runs;
 *     each takes the simulator's lock for a short moment and never blocks for long.
 *   - No function throws or crashes on any argument. Functions returning int report 1 when the
 *     request was taken and 0 when an argument is out of range (nothing changes then).
 *   - Counters and log indices are 64-bit. The packet, request and message logs each keep the
 *     newest MV620SIM_LOG_CAPACITY entries; entries are numbered from 0 since the last reset, and
 *     entry i is still held when count - MV620SIM_LOG_CAPACITY <= i < count.
 *   - Block numbers count the data blocks of the current sample stream from 0 (the stream that
 *     the latest start packet began); they match the library's count of blocks transferred.
 *   - The read pipe is one byte stream, as the instrument's: the answers to command packets and
 *     the stream's blocks in the order they enter it, every read taking the next bytes whatever
 *     its length, and no read reaching past the end of the block it is in. Blocks wait in the
 *     instrument until the host reads them; an answer enters the pipe as soon as no block is in
 *     transfer, so a block read after it takes the answer's bytes first. No command stops a
 *     stream, and one no longer read keeps no answer waiting. A read with nothing to take fails
 *     (a protocol error).
 *
 * Load: the simulated instrument is present and healthy, and these environment variables are
 * read once (so any application can run against the simulator unchanged):
 *   MV620SIM_DEVICE=present|absent|foreign      default present
 *   MV620SIM_PATTERN=identify|sine|ramp         default identify
 *   MV620SIM_RATE=<aggregate samples/s>         default 320000 (10 blocks/s); 0 = as fast as read
 *   MV620SIM_LATENCY_US=<0..1000000>            default 1000 when paced, 0 when MV620SIM_RATE=0
 *   MV620SIM_STATUS=<0..255>                    default 90
 *   MV620SIM_INPUTS=<0..127>                    default 0
 *   MV620SIM_VIRTUAL_CLOCK=1                    virtual clock on, first reading 65536
 * MV620Sim_Reset gives the defaults for tests instead (no environment, rate 0, latency 0).
 */
#ifndef MV620ACQM_SIM_H
#define MV620ACQM_SIM_H

#include "MV620ACQm.h"

#include <stdint.h>

#if !defined(_WIN32) && defined(MV620_BUILDING_LIBRARY)
#define MV620SIM_API __attribute__((visibility("default")))
#else
#define MV620SIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MV620SIM_LOG_CAPACITY 4096
#define MV620SIM_PACKET_LENGTH 64

/* Presence of the simulated instrument (MV620Sim_SetPresence). */
#define MV620SIM_PRESENT 0 /* the instrument, vendor 0x0547, product 0x1002 */
#define MV620SIM_ABSENT 1  /* nothing at the driver's device: opening it fails */
#define MV620SIM_FOREIGN 2 /* another device, vendor 0x04B4, product 0x8613; it answers every */
                           /* request exactly as the instrument would                          */

/* Sample patterns (MV620Sim_SetPattern). Channel c (0 to 39), sample n = the channel's n-th
 * sample since the latest start packet, from 0: */
#define MV620SIM_PATTERN_IDENTIFY 0 /* c * 1637 + (n mod 1637)                                  */
#define MV620SIM_PATTERN_SINE 1     /* 32768 + round(32767 * sin(2 pi (n mod P) / P)),          */
                                    /* P = 100 * (c + 1) samples; values 1 to 65535             */
#define MV620SIM_PATTERN_RAMP 2     /* (n * 64 * (c + 1)) mod 65536                            */

/* Fates of a logged packet (MV620Sim_GetPacket). */
#define MV620SIM_PACKET_NONE 0         /* no such packet in the log */
#define MV620SIM_PACKET_ACCEPTED 1     /* taken by the firmware */
#define MV620SIM_PACKET_WRITE_FAILED 2 /* its write failed (injected); firmware never saw it */
#define MV620SIM_PACKET_BAD_CHECKSUM 3 /* arrived, but its 64 bytes do not add up to 0xFF (mod */
                                       /* 256); ignored, no response                            */

/* Driver control codes, and the keys of MV620Sim_GetRequestStats. */
#define MV620SIM_IOCTL_GET_DESCRIPTOR 0x222004u
#define MV620SIM_IOCTL_VENDOR_REQUEST 0x222059u
#define MV620SIM_IOCTL_BULK_READ 0x22204Eu
#define MV620SIM_IOCTL_BULK_WRITE 0x222051u
#define MV620SIM_IOCTL_ABORT_PIPE 0x22203Du
#define MV620SIM_IOCTL_RESET_PIPE 0x222035u
#define MV620SIM_STATS_OPEN 1u         /* opens of the device; refused = a path not \\.\Ezusb-0 */
#define MV620SIM_STATS_CLOSE 2u        /* closes; refused = a handle that was not open          */
#define MV620SIM_STATS_UNKNOWN_CODE 3u /* control requests with any code not listed above */

/* One logged control request. */
typedef struct MV620SimRequest {
    uint32_t code;          /* control code */
    int64_t handle;         /* the handle it was issued on */
    uint32_t inLength;      /* input length in bytes */
    uint32_t outLength;     /* output length in bytes */
    uint32_t bytesReturned; /* the byte count the driver reported; 0 on failure */
    int32_t result;         /* 1 succeeded, 0 failed */
    int32_t refused;        /* 1 when refused: malformed, unknown code, or a handle not open */
    uint8_t in[16];         /* the first min(inLength, 16) input bytes; the rest 0 */
} MV620SimRequest;

/* Counters of one kind of request since the last reset. */
typedef struct MV620SimRequestStats {
    int64_t issued;
    int64_t succeeded;
    int64_t refused;
} MV620SimRequestStats;

/* One progress message the library sent. */
typedef struct MV620SimMessage {
    HWND window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
} MV620SimMessage;

/* ---- Set-up ---------------------------------------------------------------------------------*/

/* A healthy present instrument with the test defaults: identify pattern, rate 0 (a block is
 * always ready), status byte 90, inputs 0, output lines off, no stream, no pending responses,
 * empty configuration memory (every word unwritten), no faults, empty logs and counters, virtual
 * clock off (the platform's own counter is back). Open handles stay open and counted. */
MV620SIM_API void MV620_CALL MV620Sim_Reset(void);

/* MV620SIM_PRESENT, MV620SIM_ABSENT or MV620SIM_FOREIGN. Going absent is like pulling the cable:
 * every open handle dies for good. Present and foreign set the descriptor's identity. */
MV620SIM_API int MV620_CALL MV620Sim_SetPresence(int presence);

/* The idVendor and idProduct (0 to 65535) the descriptor reports; present is 0x0547 / 0x1002. */
MV620SIM_API int MV620_CALL MV620Sim_SetIdentity(int vendorId, int productId);

/* One of MV620SIM_PATTERN_*; applies to blocks not yet started. */
MV620SIM_API int MV620_CALL MV620Sim_SetPattern(int pattern);

/* A waveform of the caller's for one channel (0 to 39) in place of the pattern: the channel's
 * n-th sample since the start is samples[n mod count], so any signal can be played back, once or
 * repeated. The samples are copied; they apply to blocks not yet started and stay until the
 * reset. A count of 0 gives the channel back to the pattern; otherwise 1 to
 * MV620SIM_MAX_WAVEFORM samples, and `samples` not null. */
#define MV620SIM_MAX_WAVEFORM 16777216
MV620SIM_API int MV620_CALL MV620Sim_SetWaveform(int channel, const uint16_t* samples, int count);

/* Pacing: aggregate samples per second over all channels (>= 0); a block becomes ready each
 * 32000 samples of real time (steady clock), counted from the start packet. 0: a block is always
 * ready, as fast as the host reads. Takes effect at once without losing blocks produced. */
MV620SIM_API int MV620_CALL MV620Sim_SetRate(int samplesPerSecond);

/* The time every driver request takes, in microseconds (0 to 1000000): a USB round trip to a
 * real instrument, during which the calling thread sleeps in the driver; the simulated driver
 * sleeps as long, holding none of its locks. At load it is 1000 while the stream is paced in real
 * time (MV620SIM_RATE above 0) and 0 as fast as the host reads; MV620SIM_LATENCY_US sets it. */
MV620SIM_API int MV620_CALL MV620Sim_SetRequestLatency(int microseconds);

/* Byte 3 of every command response (0 to 255). */
MV620SIM_API int MV620_CALL MV620Sim_SetStatusByte(int status);

/* Bits 0 to 6 of the input port (0 to 127); bit 7 is always the ready bit. */
MV620SIM_API int MV620_CALL MV620Sim_SetInputs(int bits);

/* ---- Faults (all cleared by MV620Sim_Reset) -------------------------------------------------*/

/* The next `times` (1 to 1000) data reads of block `block` (>= 0) fail. A failed read takes
 * nothing: the block is still waiting. Calls add up. */
MV620SIM_API int MV620_CALL MV620Sim_FailBlockRead(int block, int times);

/* The first read of block `block` succeeds but returns only `bytes` (1 to 63999) bytes; the rest
 * of the block comes with the next data read, which stops at the block's end. */
MV620SIM_API int MV620_CALL MV620Sim_ShortBlockRead(int block, int bytes);

/* From block `block` (>= 0) on, the ready bit is never set; -1 clears. */
MV620SIM_API int MV620_CALL MV620Sim_ReadyNeverFrom(int block);

/* Unplug once `blocks` (>= 0; 0 = now) data blocks in all have been delivered since the last
 * reset: from then every request on every handle fails, new opens fail, and handles opened
 * before stay dead even after MV620Sim_Replug. -1 disarms. */
MV620SIM_API int MV620_CALL MV620Sim_UnplugAfterBlocks(int blocks);

/* Plugs the instrument back in after an unplug (no stream, lines off); new opens work again. */
MV620SIM_API int MV620_CALL MV620Sim_Replug(void);

/* Writes of packets with command code `code` (0 to 255) fail: `nth` = 0 every one, n >= 1 only
 * the n-th counted from this call, -1 clears. A failed packet never reaches the firmware. */
MV620SIM_API int MV620_CALL MV620Sim_FailPacketWrite(int code, int nth);

/* Reads of responses to command code `code` fail, as for MV620Sim_FailPacketWrite. The response
 * is lost with the failed read. */
MV620SIM_API int MV620_CALL MV620Sim_FailResponseRead(int code, int nth);

/* Non-zero: byte 8 of every download data response is the complement of the packet's byte 8. */
MV620SIM_API int MV620_CALL MV620Sim_SetWrongEcho(int on);

/* Zero: the driver reports 0 bytes returned for every successful request, as a driver that never
 * fills in the count does (the transfers themselves are whole). Non-zero (the default): it
 * reports the bytes it moved. */
MV620SIM_API int MV620_CALL MV620Sim_SetByteCountsReported(int on);

/* ---- Virtual clock --------------------------------------------------------------------------*/

/* Non-zero `on`: the library's millisecond tick counter becomes a virtual one whose first reading
 * is `start` and which advances by 1 on every reading (wrapping past 0xFFFFFFFF), so a busy wait
 * of N ms ends after about N readings. Zero: the platform's counter is back. */
MV620SIM_API int MV620_CALL MV620Sim_SetVirtualClock(int on, uint32_t start);

/* ---- Inspection -----------------------------------------------------------------------------*/

/* Packets written on the write pipe by well-formed bulk writes since the reset, whatever became
 * of them. */
MV620SIM_API int64_t MV620_CALL MV620Sim_GetPacketCount(void);

/* Copies packet `index` into `packet` (64 bytes) and returns its fate (MV620SIM_PACKET_*), or
 * MV620SIM_PACKET_NONE when it is not in the log or `packet` is null. */
MV620SIM_API int MV620_CALL MV620Sim_GetPacket(int64_t index, unsigned char* packet);

/* Control requests issued since the reset (opens and closes are not among them). */
MV620SIM_API int64_t MV620_CALL MV620Sim_GetRequestCount(void);

/* Copies request `index` into `*request`; 0 when it is not in the log or `request` is null. */
MV620SIM_API int MV620_CALL MV620Sim_GetRequest(int64_t index, MV620SimRequest* request);

/* Counters for one control code (MV620SIM_IOCTL_*) or for MV620SIM_STATS_*; 0 for other keys. */
MV620SIM_API int MV620_CALL MV620Sim_GetRequestStats(uint32_t key, MV620SimRequestStats* stats);

/* Refused requests, refused opens and refused closes since the reset. */
MV620SIM_API int64_t MV620_CALL MV620Sim_GetMalformedRequests(void);

/* Firmware protocol errors since the reset: a data read with no block ready or of a length the
 * current block cannot give, a packet with a bad checksum or an unknown code, a download packet
 * with a bad width, count or address byte, a start packet with a divider other than
 * 0, 1, 2, 5, 10 or byte 4 not 0, a line request value outside the line masks, responses never
 * collected. */
MV620SIM_API int64_t MV620_CALL MV620Sim_GetProtocolErrors(void);

/* Packets dropped for a bad checksum since the reset (also counted as protocol errors). */
MV620SIM_API int64_t MV620_CALL MV620Sim_GetChecksumErrors(void);

/* Output lines 0 to 3 as bits 0 to 3. */
MV620SIM_API int MV620_CALL MV620Sim_GetOutputLines(void);

/* Configuration word at `address` (0 to 0x3FFF): its value, or -1 when never written (or the
 * address is out of range). */
MV620SIM_API int MV620_CALL MV620Sim_GetConfigWord(int address);

/* Width of the configuration word at `address` as last written: 16, 24, or 0 when never. */
MV620SIM_API int MV620_CALL MV620Sim_GetConfigWordWidth(int address);

/* Data blocks read whole by the host since the reset (dropped blocks are not counted). */
MV620SIM_API int64_t MV620_CALL MV620Sim_GetBlocksDelivered(void);

/* Command responses waiting on the read pipe. */
MV620SIM_API int MV620_CALL MV620Sim_GetPendingResponses(void);

/* Handles open now (a leak check). Not cleared by the reset. */
MV620SIM_API int MV620_CALL MV620Sim_GetOpenHandles(void);

/* Window messages the library sent since the reset (progress messages of a download). */
MV620SIM_API int64_t MV620_CALL MV620Sim_GetMessageCount(void);

/* Copies message `index` into `*message`; 0 when it is not in the log or `message` is null. */
MV620SIM_API int MV620_CALL MV620Sim_GetMessage(int64_t index, MV620SimMessage* message);

#ifdef __cplusplus
}
#endif

#endif /* MV620ACQM_SIM_H */
