/*
 * A user's program against an installed MV620ACQm: an acquisition of three blocks from the
 * simulated instrument, every sample of two channels checked against the identifying pattern.
 * Prints one line and exits 0 when all is well.
 */
#include "MV620ACQm_sim.h"

#include <stdio.h>
#include <time.h>

#define BLOCKS 3
#define MAX_SAMPLES (BLOCKS * 32000)

static int expected(int channel, int n) { return channel * 1637 + n % 1637; }

int main(void) {
    static int samples[MAX_SAMPLES];
    static const int kChannel[2] = {0, 5};
    static const int kRate[2] = {10, 1};
    const time_t deadline = time(NULL) + 60; /* only against a hang */
    long checked = 0;
    int i;

    MV620Sim_Reset();
    MV620Sim_SetVirtualClock(1, 65536); /* the library's busy waits take no real time */
    MV620Sim_ReadyNeverFrom(BLOCKS);    /* the instrument streams exactly BLOCKS blocks */
    for (i = 0; i < 2; ++i) {
        Set_Sample_Rate(kChannel[i], kRate[i]);
    }
    if (Start_Acquisition(NULL) != 1) {
        printf("consumer: the acquisition did not start\n");
        return 1;
    }
    while (Get_Blocks_Transferred() < BLOCKS && time(NULL) < deadline) {
    }
    for (i = 0; i < 2; ++i) {
        const int channel = kChannel[i];
        /* Channel 0 has 10 of the 11 samples of each period, channel 5 one. */
        const int wanted = channel == 0 ? 29090 * BLOCKS : 2909 * BLOCKS;
        const int got = Get_Data_Samples(samples, channel, 0, wanted);
        int n;
        if (got != wanted) {
            printf("consumer: channel %d gave %d samples, expected %d\n", channel, got, wanted);
            Stop_Acquisition();
            return 1;
        }
        for (n = 0; n < got; ++n) {
            if (samples[n] != expected(channel, n)) {
                printf("consumer: channel %d sample %d is %d, expected %d\n", channel, n,
                       samples[n], expected(channel, n));
                Stop_Acquisition();
                return 1;
            }
        }
        checked += got;
    }
    if (Stop_Acquisition() != 0) {
        printf("consumer: Stop_Acquisition failed\n");
        return 1;
    }
    printf("consumer: %d blocks, %ld samples checked\n", Get_Blocks_Transferred(), checked);
    return 0;
}
