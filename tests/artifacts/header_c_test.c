/*
 * A C11 client of MV620ACQm.h, compiled with warnings as errors (prototypes required): every
 * function must have exactly the type below, or the assignments of the table do not compile.
 * At run time it calls a few functions whose results need no instrument.
 */
#include "MV620ACQm.h"

#include <stdio.h>

typedef int(MV620_CALL* NoArguments)(void);
typedef int(MV620_CALL* WindowArgument)(HWND);
typedef int(MV620_CALL* OneInt)(int);
typedef int(MV620_CALL* TwoInts)(int, int);
typedef int(MV620_CALL* BufferAndThree)(int*, int, int, int);
typedef int(MV620_CALL* BufferAndFive)(int*, int, int, int, int, int);

static const WindowArgument windowFunctions[] = {Start_Acquisition, Do_Download};
static const NoArguments noArgumentFunctions[] = {
    Stop_Acquisition, Get_Blocks_Transferred, Do_Autozero,    Do_Even_Cal_On,
    Do_Even_Cal_Off,  Do_Odd_Cal_On,          Do_Odd_Cal_Off, Do_AZ_On,
    Do_AZ_Off,        LV_Start_Acquisition,   LV_Download,    Get_MV620ACQ_Status};
static const OneInt oneIntFunctions[] = {
    Get_Sample_Rate,       Do_Output_On,       Do_Output_Off,      Get_Digital_Input,
    Get_Current_DataPoint, Get_Sample_Modulus, Set_Sample_Boundary};
static const TwoInts twoIntFunctions[] = {Get_DataPoint, Set_Sample_Rate};
static const BufferAndThree readFunction = Get_Data_Samples;
static const BufferAndFive triggerFunction = Get_Trigger;

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

    expect((int)(sizeof windowFunctions / sizeof windowFunctions[0]) +
               (int)(sizeof noArgumentFunctions / sizeof noArgumentFunctions[0]) +
               (int)(sizeof oneIntFunctions / sizeof oneIntFunctions[0]) +
               (int)(sizeof twoIntFunctions / sizeof twoIntFunctions[0]) + (readFunction != NULL) +
               (triggerFunction != NULL),
           25, "functions declared");

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
    expect(Get_DataPoint(0, 0), SAMPLE_NO_BLOCKS, "Get_DataPoint(0, 0)");
    expect(Get_Data_Samples(buffer, 0, 0, 4), 0, "Get_Data_Samples(buffer, 0, 0, 4)");
    expect(buffer[0] == 7 && buffer[3] == 7, 1, "buffer left as it was");
    expect(Get_Trigger(NULL, 0, 0, 4, TRIGGER_RISING, 100), 0, "Get_Trigger(NULL, ...)");
    expect(Get_Current_DataPoint(0), 0, "Get_Current_DataPoint(0)");
    expect(Get_Sample_Modulus(40), 0, "Get_Sample_Modulus(40)");

    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
