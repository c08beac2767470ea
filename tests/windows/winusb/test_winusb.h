/*
 * The test winusb.dll's own controls, beside the WinUSB functions it implements: the tests find
 * them with GetProcAddress in the winusb.dll the product DLL loaded. Plain C, for both sides.
 */
#ifndef MV620_TEST_WINUSB_H
#define MV620_TEST_WINUSB_H

#ifdef __cplusplus
extern "C" {
#endif

/* One WinUSB call as the test winusb.dll got it, and how it ended. */
typedef struct TestWinusbCall {
    char function[32];   /* "WinUsb_ReadPipe", ... */
    unsigned pipe;       /* the pipe ID, or the descriptor type for WinUsb_GetDescriptor */
    unsigned length;     /* the buffer's length */
    unsigned value;      /* a policy's value; a control transfer's setup packet, packed as
                          * bmRequestType | bRequest << 8 | wValue << 16 */
    unsigned error;      /* 0 for success, else the Windows error the call reported */
    unsigned moved;      /* bytes moved */
    unsigned overlapped; /* 1 when the call came with an OVERLAPPED */
} TestWinusbCall;

/* The calls since the last clear, oldest first. Get returns 0 when `index` is out of range. */
typedef int(__cdecl* TestWinusbCallCount)(void);
typedef int(__cdecl* TestWinusbGetCall)(int index, TestWinusbCall* call);
typedef void(__cdecl* TestWinusbClear)(void);
/* The error a call reports once the instrument is gone (default ERROR_DEVICE_NOT_CONNECTED). */
typedef void(__cdecl* TestWinusbSetGoneError)(unsigned error);
/* Makes WinUsb_Initialize refuse the devices whose file name ends in `suffix` (null: none), as
 * when another program holds them. */
typedef void(__cdecl* TestWinusbRefuse)(const wchar_t* suffix);
/* The file name of the device the latest successful WinUsb_Initialize took, into `name`. */
typedef int(__cdecl* TestWinusbLastDevice)(wchar_t* name, int size);
/* Interface handles initialised and not freed. */
typedef int(__cdecl* TestWinusbOpenInterfaces)(void);

#ifdef __cplusplus
}
#endif

#endif /* MV620_TEST_WINUSB_H */
