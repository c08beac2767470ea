/*
 * MV620ACQm: host-side driver library of the MV620 40-channel USB data-acquisition instrument.
 *
 * Application programs call these 25 plain C functions to set each channel's sampling rate, run a
 * continuous acquisition, read any channel's samples back by sample index, search them for a
 * trigger, switch the instrument's output lines, read its inputs, query its status and download a
 * configuration image into it.
 *
 * Conventions
 *   - Every function uses the C calling convention (MV620_CALL, cdecl on 32-bit Windows), takes
 *     32-bit integers, window handles or pointers to caller-owned int arrays, and returns one
 *     32-bit integer. No function throws, and none crashes on any argument value.
 *   - Channels are numbered 0 to 39. Read functions treat a channel of 40 or more, or a negative
 *     one, as a channel that is off; Set_Sample_Rate applies an out-of-range channel to channel 0.
 *   - Sample indices are unsigned 32-bit numbers passed as int: -1 stands for 4294967295.
 *   - Functions that change state (Set_Sample_Rate, Set_Sample_Boundary, Start_Acquisition,
 *     LV_Start_Acquisition, Stop_Acquisition) are to be called from one host thread at a time.
 *     All other functions may be called from any thread at any time, also while an acquisition
 *     runs.
 *   - Call Stop_Acquisition before unloading the library.
 */
#ifndef MV620ACQM_H
#define MV620ACQM_H

/* Version of this header and of the library built from it: 1.0.0.1. */
#define MV620ACQM_VERSION_MAJOR 1
#define MV620ACQM_VERSION_MINOR 0
#define MV620ACQM_VERSION_PATCH 0
#define MV620ACQM_VERSION_BUILD 1

/*
 * MV620_CALL: the calling convention of every exported function. On 32-bit Windows it is cdecl:
 * arguments are pushed right to left as 32-bit words and removed by the caller; the result comes
 * back in EAX. Other platforms have one C calling convention, and the macro is empty there.
 */
#if defined(_WIN32) && !defined(_WIN64)
#define MV620_CALL __cdecl
#else
#define MV620_CALL
#endif

/*
 * MV620_API: how the functions are declared. The Windows DLL exports them through its module
 * definition file (names and ordinals fixed there), so nothing is added to the declarations; the
 * Linux shared library exports exactly these names through default visibility and an export list.
 */
#if !defined(_WIN32) && defined(MV620_BUILDING_LIBRARY)
#define MV620_API __attribute__((visibility("default")))
#else
#define MV620_API
#endif

#if defined(_WIN32)
#include <windows.h>
#else
/* Where there are no windows, a window handle is an opaque pointer-sized value that the library
 * only stores and hands on. */
typedef struct HWND__* HWND;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of Get_DataPoint other than a sample (a sample is 0 to 65535). */
#define SAMPLE_NO_BLOCKS (-1)   /* no block has been transferred since the latest start */
#define SAMPLE_CHANNEL_OFF (-2) /* the channel is off, or not a channel (below 0, 40 or more) */
#define SAMPLE_NOT_YET (-3)     /* the sample's block has not been transferred yet */
#define SAMPLE_OVERWRITTEN (-4) /* the sample is older than the 15 newest blocks, or its block */
                                /* could not be read from the instrument (both reads failed)  */

/* Trigger modes of Get_Trigger. */
#define TRIGGER_RISING 0      /* previous sample below the level, this one at or above it */
#define TRIGGER_FALLING 1     /* previous sample above the level, this one at or below it */
#define TRIGGER_AT_OR_ABOVE 2 /* this sample at or above the level */
#define TRIGGER_AT_OR_BELOW 3 /* this sample at or below the level */

/* Results of Get_MV620ACQ_Status other than a status value (90 to 127). */
#define STATUS_NO_ANSWER (-5) /* no answer: no instrument at the driver's device, the status */
                              /* command or its answer could not be transferred, or an      */
                              /* acquisition runs (the query is then not sent at all)       */
#define STATUS_THREE (-6)     /* the instrument reported status 3 */
#define STATUS_BELOW_90 (-7)  /* the instrument reported a status below 90 (other than 3) */

/* ---- Acquisition -------------------------------------------------------------------------- */

/* Starts a continuous acquisition with the rates set now. A running acquisition is stopped
 * first (waiting for its current block). The sample count and the boundary go back to 0 and
 * sample indices count from the first block of the new acquisition. `window` is only recorded.
 * A status query or download packet already on its way is let finish first; none goes out while
 * the acquisition runs. Returns 1 when the acquisition thread was started, 0 when the start was
 * refused because no channel is enabled or no thread could be created. With no instrument
 * attached the start still returns 1; no block is ever transferred.
 *
 * The acquisition also ends by itself when the instrument has answered no request for one second
 * (unplugged) or the start could not be sent: the blocks read so far stay readable, as after a
 * stop, Get_Current_DataPoint returns 0, the status query and the download work again, and
 * Stop_Acquisition returns at once. Host thread. */
MV620_API int MV620_CALL Start_Acquisition(HWND window);

/* As Start_Acquisition, recording the window in the foreground. */
MV620_API int MV620_CALL LV_Start_Acquisition(void);

/* Stops the acquisition: the thread finishes the block it is on and ends. Returns 0 (also when
 * nothing was running), or -1 should the wait for the thread fail. Blocks and samples stay
 * readable afterwards. Returns promptly also when the instrument has stopped answering. Host
 * thread. */
MV620_API int MV620_CALL Stop_Acquisition(void);

/* Number of blocks (32000 samples each) transferred since the latest start, as an unsigned
 * 32-bit count that wraps. Any thread. */
MV620_API int MV620_CALL Get_Blocks_Transferred(void);

/* ---- Channel rates ------------------------------------------------------------------------ */

/* Sets a channel's rate: the number of samples it yields per 10 scan passes. Requests are cut
 * down to 10, 5, 2 or 1; 0 or less switches the channel off. A channel outside 0 to 39 sets
 * channel 0. The instrument and the addressing of samples use the new rate from the next start
 * on. Returns 40. Host thread. */
MV620_API int MV620_CALL Set_Sample_Rate(int channel, int rate);

/* The channel's rate: 10, 5, 2, 1, or 0 when off or not a channel. Any thread. */
MV620_API int MV620_CALL Get_Sample_Rate(int channel);

/* ---- Reading samples ---------------------------------------------------------------------- */

/* Sample `sampleIndex` of `channel`, counted from the boundary (see Set_Sample_Boundary): a
 * value 0 to 65535, or SAMPLE_NO_BLOCKS, SAMPLE_CHANNEL_OFF, SAMPLE_NOT_YET or
 * SAMPLE_OVERWRITTEN, tested in that order. Only the 15 newest blocks are readable. A value is
 * never returned from a ring slot that the acquisition was overwriting while it was read. Any
 * thread. */
MV620_API int MV620_CALL Get_DataPoint(int channel, int sampleIndex);

/* Reads samples firstSample .. firstSample+count-1 of `channel` into buffer[0..]. Stops at the
 * first sample that cannot be read. Returns how many samples were stored; entries after them are
 * left as they were. A count of 0 or less, or a null buffer, stores nothing and returns 0. Any
 * thread. */
MV620_API int MV620_CALL Get_Data_Samples(int* buffer, int channel, int firstSample, int count);

/* Reads samples as Get_Data_Samples does and returns the value of the first sample from the
 * second one on that meets the trigger `mode` (TRIGGER_*) against the low 16 bits of `level`, or
 * 0 when none does (a triggering sample of value 0 does not count). A mode outside 0 to 3 never
 * triggers. A null buffer reads nothing and returns 0. Any thread. */
MV620_API int MV620_CALL Get_Trigger(int* buffer, int channel, int firstSample, int count, int mode,
                                     int level);

/* While an acquisition runs: a lower count of the channel's samples transferred since the
 * boundary (every index below it lies in a transferred block). 0 when no acquisition runs (also
 * once it has ended by itself) or the channel is not a channel. Any thread. */
MV620_API int MV620_CALL Get_Current_DataPoint(int channel);

/* The number of the channel's samples in 16 cycles of the scan schedule: the step by which
 * sample indices shift when the boundary moves by one. It is the schedule of the acquisition
 * whose samples the library holds; while it holds none, the schedule of the rates set now. 0 for
 * a channel outside 0 to 39. Any thread. */
MV620_API int MV620_CALL Get_Sample_Modulus(int channel);

/* Makes sample indices count from the start of cycle 16 x `boundary` of the acquisition. Sample
 * n counted from boundary m+1 is sample n + Get_Sample_Modulus(c) counted from boundary m. The
 * boundary always starts a cycle, at a block number between -2^31 and 2^31; a `boundary` beyond
 * that range takes the farthest cycle start within it, far in the future (or the past). While
 * the boundary lies beyond the blocks transferred, every sample reads as SAMPLE_OVERWRITTEN.
 * Returns the block number indices now count from, for information only: callers must not rely
 * on it. Host thread. */
MV620_API int MV620_CALL Set_Sample_Boundary(int boundary);

/* ---- Lines and inputs --------------------------------------------------------------------- */

/* Switch the instrument's output lines: line 0 autozero, 1 odd calibration, 2 even calibration,
 * 3 free. Do_Output_On/Off take the line's number (only its low 8 bits count, modulo 32; lines
 * other than 0 to 3 switch nothing). Each returns 1, also when no instrument is attached. Any
 * thread. */
MV620_API int MV620_CALL Do_AZ_On(void);
MV620_API int MV620_CALL Do_AZ_Off(void);
MV620_API int MV620_CALL Do_Odd_Cal_On(void);
MV620_API int MV620_CALL Do_Odd_Cal_Off(void);
MV620_API int MV620_CALL Do_Even_Cal_On(void);
MV620_API int MV620_CALL Do_Even_Cal_Off(void);
MV620_API int MV620_CALL Do_Output_On(int line);
MV620_API int MV620_CALL Do_Output_Off(int line);

/* An autozero pulse: the autozero line on for one second, then off. Busy for that second.
 * Returns 1. Any thread. */
MV620_API int MV620_CALL Do_Autozero(void);

/* Reads digital input `bit` (its low 5 bits count): 1 when the input reads 0 (inputs are active
 * low), else 0. The port has 8 bits, so bit numbers 8 to 31 always return 1; input 3 reads as a
 * copy of input 6. Returns 0 when the input port cannot be read, for instance with no instrument
 * attached. Any thread. */
MV620_API int MV620_CALL Get_Digital_Input(int bit);

/* ---- Status and configuration ------------------------------------------------------------- */

/* Asks the instrument for its status: 90 to 127 as reported, STATUS_THREE, STATUS_BELOW_90, or
 * STATUS_NO_ANSWER. While an acquisition runs nothing is sent and the result is STATUS_NO_ANSWER:
 * the answer would be taken out of the sample stream. Any thread. */
MV620_API int MV620_CALL Get_MV620ACQ_Status(void);

/* Downloads the configuration image "acq620m_2189.idm" from the current directory into the
 * instrument, reporting progress to the progress-bar control `progressBar` (PBM_SETSTEP once,
 * PBM_STEPIT per data packet, PBM_SETPOS 100 at the end). Returns 1 when the instrument echoed the
 * last packet, else 0: no instrument, no file, a malformed image (nothing of it is sent), an image
 * with no data words, a failed transfer, or an acquisition running. Any thread. */
MV620_API int MV620_CALL Do_Download(HWND progressBar);

/* As Do_Download, without progress messages. */
MV620_API int MV620_CALL LV_Download(void);

#ifdef __cplusplus
}
#endif

#endif /* MV620ACQM_H */
