// A C++20 client of MV620ACQm.h, compiled with the project's warnings as errors: the functions
// of the export list have C linkage and exactly their types, the result codes their documented
// values.
#include "MV620ACQm.h"

#include <cstdio>
#include <type_traits>

namespace {

// The shapes of export_list.h.
using None = int(MV620_CALL*)();
using Window = int(MV620_CALL*)(HWND);
using Int = int(MV620_CALL*)(int);
using IntInt = int(MV620_CALL*)(int, int);
using BufferIntIntInt = int(MV620_CALL*)(int*, int, int, int);
using BufferIntIntIntIntInt = int(MV620_CALL*)(int*, int, int, int, int, int);

// Every exported function is declared with exactly the type of its shape.
#define MV620_EXPORT(ordinal, name, shape, arguments)                                              \
    static_assert(std::is_same_v<shape, decltype(&name)>, #name);
#include "export_list.h"
#undef MV620_EXPORT

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
