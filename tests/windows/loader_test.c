/*
 * Loads MV620ACQm.dll the way an application does and checks it from the outside:
 *   - every function is found under its name and under its ordinal, at the same address, and the
 *     decorated forms of the names (_Name, Name@N) are not exported;
 *   - on 32-bit x86 every function is called through a thunk that checks the cdecl contract: the
 *     callee leaves its arguments on the stack (the caller removes them) and preserves EBX, ESI,
 *     EDI, EBP and the direction flag;
 *   - the version resource gives file and product version 1.0.0.1;
 *   - with no instrument attached (no driver, so the device never opens) the functions give
 *     their documented results.
 *
 * usage: loader_test [--abi-only] [DLL]
 *   DLL         the library to load, by default MV620ACQm.dll (found next to this program)
 *   --abi-only  only the exports and the calling convention, for stand-in libraries
 *
 * The last line is "N passed, M failed"; the exit status is 0 when nothing failed, else 1.
 */
#include <windows.h>

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* ---- Calling through the cdecl contract check (32-bit x86) ------------------------------- */

typedef struct CheckedCall {
    FARPROC function; /* in:  the function */
    int argc;         /* in:  number of 32-bit arguments, 0 to 8 */
    int args[8];      /* in:  the arguments, left to right */
    int result;       /* out: EAX after the call */
    int bytesRemoved; /* out: bytes of arguments the callee removed from the stack */
    int clobbered;    /* out: bit 0 EBX, 1 ESI, 2 EDI, 3 EBP changed; bit 4 DF left set */
} CheckedCall;

#if defined(__i386__)
_Static_assert(offsetof(CheckedCall, argc) == 4, "thunk layout");
_Static_assert(offsetof(CheckedCall, args) == 8, "thunk layout");
_Static_assert(offsetof(CheckedCall, result) == 40, "thunk layout");
_Static_assert(offsetof(CheckedCall, bytesRemoved) == 44, "thunk layout");
_Static_assert(offsetof(CheckedCall, clobbered) == 48, "thunk layout");

void checkedCall(CheckedCall* call);

/* Pushes the arguments right to left onto a 16-byte aligned stack, loads the callee-saved
 * registers with marker values, calls, and records what the callee left behind. The caller's
 * stack pointer and frame are kept in memory, so a callee that breaks the contract cannot make
 * the thunk lose its way back. One call at a time (the program has one thread). */
__asm__(".data\n"
        "checkedCallRecord: .long 0\n"
        "checkedCallFrame: .long 0\n"
        "checkedCallArgsTop: .long 0\n"
        ".text\n"
        ".globl _checkedCall\n"
        "_checkedCall:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    movl 8(%ebp), %ecx\n"
        "    movl %ecx, checkedCallRecord\n"
        "    movl %ebp, checkedCallFrame\n"
        "    movl 4(%ecx), %edx\n" /* argc */
        "    andl $-16, %esp\n"
        "    leal 0(,%edx,4), %eax\n"
        "    negl %eax\n"
        "    andl $15, %eax\n"
        "    subl %eax, %esp\n" /* after the pushes ESP is 16-byte aligned */
        "1:  testl %edx, %edx\n"
        "    jz 2f\n"
        "    decl %edx\n"
        "    pushl 8(%ecx,%edx,4)\n" /* args[argc-1] first: right to left */
        "    jmp 1b\n"
        "2:  movl %esp, checkedCallArgsTop\n"
        "    cld\n"
        "    movl $0x0BADB0B1, %ebx\n"
        "    movl $0x0BADB0B2, %esi\n"
        "    movl $0x0BADB0B3, %edi\n"
        "    movl $0x0BADB0B4, %ebp\n"
        "    call *(%ecx)\n"
        "    movl checkedCallRecord, %ecx\n"
        "    movl %eax, 40(%ecx)\n"
        "    movl %esp, %eax\n"
        "    subl checkedCallArgsTop, %eax\n"
        "    movl %eax, 44(%ecx)\n"
        "    xorl %edx, %edx\n"
        "    cmpl $0x0BADB0B1, %ebx\n"
        "    je 3f\n"
        "    orl $1, %edx\n"
        "3:  cmpl $0x0BADB0B2, %esi\n"
        "    je 4f\n"
        "    orl $2, %edx\n"
        "4:  cmpl $0x0BADB0B3, %edi\n"
        "    je 5f\n"
        "    orl $4, %edx\n"
        "5:  cmpl $0x0BADB0B4, %ebp\n"
        "    je 6f\n"
        "    orl $8, %edx\n"
        "6:  pushfl\n"
        "    popl %eax\n"
        "    testl $0x400, %eax\n"
        "    jz 7f\n"
        "    orl $16, %edx\n"
        "7:  cld\n"
        "    movl %edx, 48(%ecx)\n"
        "    movl checkedCallFrame, %ebp\n"
        "    leal -12(%ebp), %esp\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n");
#endif

/* ---- The exports ------------------------------------------------------------------------- */

typedef struct Export {
    int ordinal;
    const char* name;
    int argc;
} Export;

static const Export kExports[] = {
#define MV620_EXPORT(ordinal, name, shape, arguments) {ordinal, #name, arguments},
#include "export_list.h"
#undef MV620_EXPORT
};

enum { kFunctions = (int)(sizeof kExports / sizeof kExports[0]) };

static FARPROC functions[kFunctions + 1]; /* by ordinal */
static int passed;
static int failed;

static void check(int ok, const char* format, ...) __attribute__((format(printf, 2, 3)));

static void check(int ok, const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs(ok ? "ok   " : "FAIL ", stdout);
    vprintf(format, args);
    fputc('\n', stdout);
    va_end(args);
    if (ok) {
        ++passed;
    } else {
        ++failed;
    }
    fflush(stdout);
}

static const Export* exportNamed(const char* name) {
    for (int k = 0; k < kFunctions; ++k) {
        if (strcmp(kExports[k].name, name) == 0) {
            return &kExports[k];
        }
    }
    return NULL;
}

/* Calls export `name` with `argc` arguments (pointer-sized words) and checks the calling
 * convention on the way. A function that was not found counts as failed and gives INT32_MIN. */
static int callExport(const char* name, int argc, const intptr_t* args) {
    const Export* e = exportNamed(name);
    if (e == NULL || e->argc != argc || functions[e->ordinal] == NULL) {
        check(0, "%s cannot be called with %d arguments (not found)", name, argc);
        return INT32_MIN;
    }
    const FARPROC function = functions[e->ordinal];
#if defined(__i386__)
    CheckedCall call;
    memset(&call, 0, sizeof call);
    call.function = function;
    call.argc = argc;
    for (int k = 0; k < argc; ++k) {
        call.args[k] = (int)args[k];
    }
    checkedCall(&call);
    if (call.bytesRemoved != 0 || call.clobbered != 0) {
        check(0,
              "%s: cdecl contract broken: the callee removed %d bytes of its %d bytes of "
              "arguments, clobbered registers mask 0x%x (1 EBX, 2 ESI, 4 EDI, 8 EBP, 16 DF)",
              name, call.bytesRemoved, 4 * argc, (unsigned)call.clobbered);
    }
    return call.result;
#else
    /* x86-64 has one calling convention; every argument travels in a 64-bit slot. */
    typedef intptr_t A;
    switch (argc) {
    case 0:
        return ((int (*)(void))(void (*)(void))function)();
    case 1:
        return ((int (*)(A))(void (*)(void))function)(args[0]);
    case 2:
        return ((int (*)(A, A))(void (*)(void))function)(args[0], args[1]);
    case 4:
        return ((int (*)(A, A, A, A))(void (*)(void))function)(args[0], args[1], args[2], args[3]);
    case 6:
        return ((int (*)(A, A, A, A, A, A))(void (*)(void))function)(args[0], args[1], args[2],
                                                                     args[3], args[4], args[5]);
    default:
        check(0, "%s: no call shape for %d arguments", name, argc);
        return INT32_MIN;
    }
#endif
}

static int call0(const char* name) { return callExport(name, 0, NULL); }
static int call1(const char* name, intptr_t a) { return callExport(name, 1, &a); }
static int call2(const char* name, intptr_t a, intptr_t b) {
    const intptr_t args[2] = {a, b};
    return callExport(name, 2, args);
}

static void expectResult(int actual, int expected, const char* call) {
    check(actual == expected, "%s = %d%s%d", call, actual,
          actual == expected ? ", expected " : ", EXPECTED ", expected);
}

/* ---- The checks -------------------------------------------------------------------------- */

static void checkExports(HMODULE module, int productOnly) {
    for (int k = 0; k < kFunctions; ++k) {
        const Export* e = &kExports[k];
        const FARPROC byName = GetProcAddress(module, e->name);
        const FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(e->ordinal));
        check(byName != NULL && byName == byOrdinal, "%s found by name (%p) and by ordinal %d (%p)",
              e->name, (void*)(uintptr_t)byName, e->ordinal, (void*)(uintptr_t)byOrdinal);
        functions[e->ordinal] = byName != NULL ? byName : byOrdinal;

        char decorated[64];
        snprintf(decorated, sizeof decorated, "_%s", e->name);
        check(GetProcAddress(module, decorated) == NULL, "%s is not exported", decorated);
        snprintf(decorated, sizeof decorated, "%s@%d", e->name, 4 * e->argc);
        check(GetProcAddress(module, decorated) == NULL, "%s is not exported", decorated);
    }
    if (productOnly) {
        check(GetProcAddress(module, MAKEINTRESOURCEA(kFunctions + 1)) == NULL,
              "nothing is exported at ordinal %d", kFunctions + 1);
    }
}

/* Every function once, with harmless arguments, for the calling convention alone. */
static void callEveryFunction(void) {
    int buffer[8] = {0};
    const intptr_t samples[4] = {(intptr_t)buffer, 0, 0, 4};
    const intptr_t trigger[6] = {(intptr_t)buffer, 0, 0, 4, 0, 100};
    for (int k = 0; k < kFunctions; ++k) {
        const Export* e = &kExports[k];
        const intptr_t zeros[2] = {0, 0};
        const intptr_t* args = e->argc == 4 ? samples : e->argc == 6 ? trigger : zeros;
        const int failedBefore = failed;
        (void)callExport(e->name, e->argc, args);
        if (strcmp(e->name, "Start_Acquisition") == 0 ||
            strcmp(e->name, "LV_Start_Acquisition") == 0) {
            (void)call0("Stop_Acquisition");
        }
        check(failed == failedBefore, "%s called through a %s pointer with %d argument(s)", e->name,
              sizeof(void*) == 4 ? "cdecl" : "function", e->argc);
    }
}

static void checkVersion(HMODULE module) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    check(length > 0 && length<sizeof path, "module file name %s", length> 0 ? path : "?");
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    check(size > 0, "the module has a version resource (%lu bytes)", (unsigned long)size);
    if (size == 0) {
        return;
    }
    static unsigned char info[65536];
    if (size > sizeof info || !GetFileVersionInfoA(path, 0, size, info)) {
        check(0, "GetFileVersionInfoA failed");
        return;
    }
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT fixedLength = 0;
    if (!VerQueryValueA(info, "\\", (void**)&fixed, &fixedLength) || fixed == NULL ||
        fixedLength < sizeof *fixed || fixed->dwSignature != 0xFEEF04BDu) {
        check(0, "no VS_FIXEDFILEINFO in the version resource");
        return;
    }
    check(fixed->dwFileVersionMS == 0x00010000u && fixed->dwFileVersionLS == 0x00000001u,
          "file version %lu.%lu.%lu.%lu, expected 1.0.0.1",
          (unsigned long)HIWORD(fixed->dwFileVersionMS),
          (unsigned long)LOWORD(fixed->dwFileVersionMS),
          (unsigned long)HIWORD(fixed->dwFileVersionLS),
          (unsigned long)LOWORD(fixed->dwFileVersionLS));
    check(fixed->dwProductVersionMS == 0x00010000u && fixed->dwProductVersionLS == 0x00000001u,
          "product version %lu.%lu.%lu.%lu, expected 1.0.0.1",
          (unsigned long)HIWORD(fixed->dwProductVersionMS),
          (unsigned long)LOWORD(fixed->dwProductVersionMS),
          (unsigned long)HIWORD(fixed->dwProductVersionLS),
          (unsigned long)LOWORD(fixed->dwProductVersionLS));

    WORD* translation = NULL;
    UINT translationLength = 0;
    if (!VerQueryValueA(info, "\\VarFileInfo\\Translation", (void**)&translation,
                        &translationLength) ||
        translationLength < 2 * sizeof(WORD)) {
        check(0, "no translation in the version resource");
        return;
    }
    const char* const keys[2] = {"FileVersion", "ProductVersion"};
    for (int k = 0; k < 2; ++k) {
        char query[128];
        snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                 translation[1], keys[k]);
        char* value = NULL;
        UINT valueLength = 0;
        const BOOL found = VerQueryValueA(info, query, (void**)&value, &valueLength);
        check(found && value != NULL && strcmp(value, "1.0.0.1") == 0,
              "%s = \"%s\", expected \"1.0.0.1\"", query,
              found && value != NULL ? value : "(none)");
    }
}

/* With no instrument: no driver answers, the device never opens. */
static void checkWithoutInstrument(void) {
    int c;
    int allOff = 1;
    for (c = 0; c < 40; ++c) {
        allOff = allOff && call1("Get_Sample_Rate", c) == 0;
    }
    check(allOff, "every channel's rate is 0 after load");
    expectResult(call0("Get_Blocks_Transferred"), 0, "Get_Blocks_Transferred()");
    expectResult(call0("Stop_Acquisition"), 0, "Stop_Acquisition() with nothing running");
    expectResult(call1("Start_Acquisition", 0), 0,
                 "Start_Acquisition(NULL) with every channel off");
    expectResult(call0("LV_Start_Acquisition"), 0, "LV_Start_Acquisition() with every channel off");

    expectResult(call0("Get_MV620ACQ_Status"), -5, "Get_MV620ACQ_Status()");
    expectResult(call0("Do_AZ_On"), 1, "Do_AZ_On()");
    expectResult(call0("Do_AZ_Off"), 1, "Do_AZ_Off()");
    expectResult(call0("Do_Even_Cal_On"), 1, "Do_Even_Cal_On()");
    expectResult(call0("Do_Even_Cal_Off"), 1, "Do_Even_Cal_Off()");
    expectResult(call0("Do_Odd_Cal_On"), 1, "Do_Odd_Cal_On()");
    expectResult(call0("Do_Odd_Cal_Off"), 1, "Do_Odd_Cal_Off()");
    expectResult(call1("Do_Output_On", 3), 1, "Do_Output_On(3)");
    expectResult(call1("Do_Output_Off", 3), 1, "Do_Output_Off(3)");
    expectResult(call0("Do_Autozero"), 1, "Do_Autozero()");
    expectResult(call1("Get_Digital_Input", 0), 0, "Get_Digital_Input(0)");
    expectResult(call1("Do_Download", 0), 0, "Do_Download(NULL)");
    expectResult(call0("LV_Download"), 0, "LV_Download()");

    expectResult(call2("Set_Sample_Rate", 0, 10), 40, "Set_Sample_Rate(0, 10)");
    expectResult(call1("Get_Sample_Rate", 0), 10, "Get_Sample_Rate(0)");
    expectResult(call2("Get_DataPoint", 0, 0), -1, "Get_DataPoint(0, 0) before any block");
    check(call1("Get_Sample_Modulus", 0) > 0, "Get_Sample_Modulus(0) > 0 with channel 0 on");
    expectResult(call1("Get_Sample_Modulus", 40), 0, "Get_Sample_Modulus(40)");

    expectResult(call1("Start_Acquisition", 0), 1, "Start_Acquisition(NULL) with channel 0 on");
    expectResult(call0("Get_MV620ACQ_Status"), -5, "Get_MV620ACQ_Status() after the start");
    expectResult(call0("Stop_Acquisition"), 0, "Stop_Acquisition()");
    expectResult(call0("Get_Blocks_Transferred"), 0, "Get_Blocks_Transferred() after the stop");
    expectResult(call1("Get_Current_DataPoint", 0), 0, "Get_Current_DataPoint(0) after the stop");
    expectResult(call2("Get_DataPoint", 0, 0), -1, "Get_DataPoint(0, 0) after the stop");

    int buffer[4] = {7, 7, 7, 7};
    const intptr_t samples[4] = {(intptr_t)buffer, 0, 0, 4};
    expectResult(callExport("Get_Data_Samples", 4, samples), 0,
                 "Get_Data_Samples(buffer, 0, 0, 4)");
    check(buffer[0] == 7 && buffer[1] == 7 && buffer[2] == 7 && buffer[3] == 7,
          "Get_Data_Samples left the buffer as it was");
    const intptr_t trigger[6] = {(intptr_t)buffer, 0, 0, 4, 2, 0};
    expectResult(callExport("Get_Trigger", 6, trigger), 0, "Get_Trigger(buffer, 0, 0, 4, 2, 0)");

    expectResult(call0("LV_Start_Acquisition"), 1, "LV_Start_Acquisition() with channel 0 on");
    expectResult(call0("Stop_Acquisition"), 0, "Stop_Acquisition()");
    expectResult(call0("Stop_Acquisition"), 0, "Stop_Acquisition() again");
    (void)call1("Set_Sample_Boundary", 0);
    expectResult(call2("Set_Sample_Rate", 0, 0), 40, "Set_Sample_Rate(0, 0)");
    expectResult(call1("Start_Acquisition", 0), 0,
                 "Start_Acquisition(NULL) with every channel off");
}

int main(int argc, char** argv) {
    int abiOnly = 0;
    const char* library = "MV620ACQm.dll";
    for (int k = 1; k < argc; ++k) {
        if (strcmp(argv[k], "--abi-only") == 0) {
            abiOnly = 1;
        } else {
            library = argv[k];
        }
    }
    printf("loading %s (%d-bit)\n", library, (int)(8 * sizeof(void*)));

    HMODULE module = LoadLibraryA(library);
    check(module != NULL, "LoadLibraryA(\"%s\") (error %lu)", library,
          module != NULL ? 0ul : (unsigned long)GetLastError());
    if (module != NULL) {
        checkExports(module, !abiOnly);
#if !defined(__i386__)
        printf("note: not 32-bit x86, the calls are not checked against the stack\n");
#endif
        if (abiOnly) {
            callEveryFunction();
        } else {
            checkVersion(module);
            checkWithoutInstrument();
            callEveryFunction();
        }
        check(FreeLibrary(module) != FALSE, "FreeLibrary");
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
