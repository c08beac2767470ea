/*
 * A C11 client of MV620ACQm.h, compiled with warnings as errors (prototypes required): every
 * function of the export list must have exactly the type of its shape, or its pointer below does
 * not compile.
 * At run time it calls a few functions whose results need no instrument.
 */
#include "MV620ACQm.h"

#include <stdio.h>

/* The shapes of export_list.h. */
typedef int(MV620_CALL* None)(void);
typedef int(MV620_CALL* Window)(HWND);
typedef int(MV620_CALL* Int)(int);
typedef int(MV620_CALL* IntInt)(int, int);
typedef int(MV620_CALL* BufferIntIntInt)(int*, int, int, int);
typedef int(MV620_CALL* BufferIntIntIntIntInt)(int*, int, int, int, int, int);

/* Every exported function, as a pointer of its shape: a function declared with another type
 * makes its initialisation an incompatible pointer conversion, an error here. */
static const struct {
#define MV620_EXPORT(ordinal, name, shape, arguments) shape name;
#include "export_list.h"
#undef MV620_EXPORT
} kExported = {
#define MV620_EXPORT(ordinal, name, shape, arguments) name,
#include "export_list.h"
#undef MV620_EXPORT
};

static int passed;
static int failed;

static void expect(int actual, int expected, const char* what) {
    if (actual == expected) {
        ++passed;
        printf("ok   %s = %d\n", what, actual);
    } else {
        ++failed;
        printf("FAIL %s = %d, expected %d\n", what, actual, expected);
    }
}

int main(void) {
    int buffer[4] = {7, 7, 7, 7};
    int c;
    int allOff = 1;

    for (c = 0; c < 40; ++c) {
        allOff = allOff && Get_Sample_Rate(c) == 0;
    }
    expect(allOff, 1, "every channel off after load");
    expect(Get_Blocks_Transferred(), 0, "Get_Blocks_Transferred()");
    expect(Stop_Acquisition(), 0, "Stop_Acquisition() with nothing running");
    expect(Start_Acquisition(NULL), 0, "Start_Acquisition(NULL) with no channel enabled");
    expect(Set_Sample_Rate(7, 5), 40, "Set_Sample_Rate(7, 5)");
    expect(Get_Sample_Rate(7), 5, "Get_Sample_Rate(7)");
    expect(Set_Sample_Rate(7, 0), 40, "Set_Sample_Rate(7, 0)");
    expect(Get_Sample_Rate(7), 0, "Get_Sample_Rate(7)");
    expect(Get_Sample_Rate(40), 0, "Get_Sample_Rate(40)");
    expect(kExported.Get_Sample_Rate(7), 0, "Get_Sample_Rate(7) through its pointer");
    expect(Get_DataPoint(0, 0), SAMPLE_NO_BLOCKS, "Get_DataPoint(0, 0)");
    expect(Get_Data_Samples(buffer, 0, 0, 4), 0, "Get_Data_Samples(buffer, 0, 0, 4)");
    expect(buffer[0] == 7 && buffer[3] == 7, 1, "buffer left as it was");
    expect(Get_Trigger(NULL, 0, 0, 4, TRIGGER_RISING, 100), 0, "Get_Trigger(NULL, ...)");
    expect(Get_Current_DataPoint(0), 0, "Get_Current_DataPoint(0)");
    expect(Get_Sample_Modulus(40), 0, "Get_Sample_Modulus(40)");

    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
