/*
 * A C11 client of MV620ACQm_sim.h (which includes MV620ACQm.h), compiled with warnings as errors
 * (prototypes required), linked against the simulating library.
 */
#include "MV620ACQm_sim.h"

#include <stdio.h>

int main(void) {
    int failed = 0;
    MV620Sim_Reset();
    if (Get_Sample_Rate(0) != 0) {
        printf("FAIL Get_Sample_Rate(0) = %d, expected 0\n", Get_Sample_Rate(0));
        failed = 1;
    }
    if (Set_Sample_Rate(0, 10) != 40 || Get_Sample_Rate(0) != 10) {
        printf("FAIL Set_Sample_Rate(0, 10) did not set the rate\n");
        failed = 1;
    }
    printf("%d passed, %d failed\n", 1 - failed, failed);
    return failed;
}
