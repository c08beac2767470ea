// A C++20 client of MV620ACQm.h, compiled with the project's warnings as errors: the functions
// have C linkage and exactly these types, the result codes their documented values.
#include "MV620ACQm.h"

#include <cstdio>
#include <type_traits>

namespace {

using NoArguments = int(MV620_CALL*)();
using WindowArgument = int(MV620_CALL*)(HWND);
using OneInt = int(MV620_CALL*)(int);
using TwoInts = int(MV620_CALL*)(int, int);
using BufferAndThree = int(MV620_CALL*)(int*, int, int, int);
using BufferAndFive = int(MV620_CALL*)(int*, int, int, int, int, int);

template <typename Expected, typename Actual> constexpr bool is = std::is_same_v<Expected, Actual>;

static_assert(is<WindowArgument, decltype(&Start_Acquisition)>);
static_assert(is<NoArguments, decltype(&Stop_Acquisition)>);
static_assert(is<NoArguments, decltype(&Get_Blocks_Transferred)>);
static_assert(is<TwoInts, decltype(&Get_DataPoint)>);
static_assert(is<TwoInts, decltype(&Set_Sample_Rate)>);
static_assert(is<OneInt, decltype(&Get_Sample_Rate)>);
static_assert(is<WindowArgument, decltype(&Do_Download)>);
static_assert(is<NoArguments, decltype(&Do_Autozero)>);
static_assert(is<NoArguments, decltype(&Do_Even_Cal_On)>);
static_assert(is<NoArguments, decltype(&Do_Even_Cal_Off)>);
static_assert(is<NoArguments, decltype(&Do_Odd_Cal_On)>);
static_assert(is<NoArguments, decltype(&Do_Odd_Cal_Off)>);
static_assert(is<OneInt, decltype(&Do_Output_On)>);
static_assert(is<OneInt, decltype(&Do_Output_Off)>);
static_assert(is<OneInt, decltype(&Get_Digital_Input)>);
static_assert(is<NoArguments, decltype(&Do_AZ_On)>);
static_assert(is<NoArguments, decltype(&Do_AZ_Off)>);
static_assert(is<NoArguments, decltype(&LV_Start_Acquisition)>);
static_assert(is<NoArguments, decltype(&LV_Download)>);
static_assert(is<BufferAndThree, decltype(&Get_Data_Samples)>);
static_assert(is<BufferAndFive, decltype(&Get_Trigger)>);
static_assert(is<OneInt, decltype(&Get_Current_DataPoint)>);
static_assert(is<NoArguments, decltype(&Get_MV620ACQ_Status)>);
static_assert(is<OneInt, decltype(&Get_Sample_Modulus)>);
static_assert(is<OneInt, decltype(&Set_Sample_Boundary)>);

static_assert(SAMPLE_NO_BLOCKS == -1 && SAMPLE_CHANNEL_OFF == -2 && SAMPLE_NOT_YET == -3 &&
              SAMPLE_OVERWRITTEN == -4);
static_assert(TRIGGER_RISING == 0 && TRIGGER_FALLING == 1 && TRIGGER_AT_OR_ABOVE == 2 &&
              TRIGGER_AT_OR_BELOW == 3);
static_assert(STATUS_NO_ANSWER == -5 && STATUS_THREE == -6 && STATUS_BELOW_90 == -7);
static_assert(MV620ACQM_VERSION_MAJOR == 1 && MV620ACQM_VERSION_MINOR == 0 &&
              MV620ACQM_VERSION_PATCH == 0 && MV620ACQM_VERSION_BUILD == 1);

int passed = 0;
int failed = 0;

void expect(int actual, int expected, const char* what) {
    if (actual == expected) {
        ++passed;
        std::printf("ok   %s = %d\n", what, actual);
    } else {
        ++failed;
        std::printf("FAIL %s = %d, expected %d\n", what, actual, expected);
    }
}

} // namespace

int main() {
    expect(Get_Blocks_Transferred(), 0, "Get_Blocks_Transferred()");
    expect(Set_Sample_Rate(-1, 7), 40, "Set_Sample_Rate(-1, 7)");
    expect(Get_Sample_Rate(0), 5, "Get_Sample_Rate(0) after a rate of 7 for channel -1");
    expect(Set_Sample_Rate(0, 0), 40, "Set_Sample_Rate(0, 0)");
    expect(Get_Sample_Rate(0), 0, "Get_Sample_Rate(0)");
    expect(Get_DataPoint(40, 0), SAMPLE_NO_BLOCKS, "Get_DataPoint(40, 0)");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
