/*
 * acquire_demo: a complete acquisition through the public interface of MV620ACQm.
 *
 * Enables four channels at different rates, runs a continuous acquisition for about a second,
 * reads every channel's samples back, searches each channel for a rising edge through the middle of
 * its range, stops, prints a summary and writes the samples to a CSV file.
 *
 * Built against the simulating library it runs without hardware; choose the simulated signal
 * with MV620SIM_PATTERN=sine|ramp|identify and the instrument's pace with MV620SIM_RATE.
 *
 *   usage: acquire_demo [output.csv]
 */
#include "MV620ACQm.h"

#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
static void pause_ms(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void pause_ms(unsigned ms) {
    struct timespec t;
    t.tv_sec = (time_t)(ms / 1000U);
    t.tv_nsec = (long)(ms % 1000U) * 1000000L;
    nanosleep(&t, NULL);
}
#endif

#define CHANNELS 4
#define BLOCKS_TO_ACQUIRE 12 /* fewer than 15: every block stays readable */
#define MAX_SAMPLES (BLOCKS_TO_ACQUIRE * 32000)

static const int kChannel[CHANNELS] = {0, 1, 2, 3};
static const int kRate[CHANNELS] = {10, 5, 2, 1}; /* samples per 10 scan passes */

int main(int argc, char** argv) {
    const char* csv_name = argc > 1 ? argv[1] : "acquisition.csv";
    static int samples[CHANNELS][MAX_SAMPLES];
    int count[CHANNELS];
    int waited_ms = 0, i, k;
    FILE* csv;

    for (i = 0; i < CHANNELS; ++i) {
        Set_Sample_Rate(kChannel[i], kRate[i]);
    }
    printf("MV620ACQm acquisition demo\n");
    printf("instrument status: %d\n", Get_MV620ACQ_Status());
    if (!Start_Acquisition(NULL)) {
        fprintf(stderr, "the acquisition did not start\n");
        return 1;
    }
    while (Get_Blocks_Transferred() < BLOCKS_TO_ACQUIRE) {
        printf("\rblocks transferred: %2d of %d, channel 0 samples so far: %d",
               Get_Blocks_Transferred(), BLOCKS_TO_ACQUIRE, Get_Current_DataPoint(0));
        fflush(stdout);
        pause_ms(50);
        waited_ms += 50;
        if (waited_ms > 30000) {
            printf("\n");
            fprintf(stderr, "no data from the instrument after 30 s (is it connected?)\n");
            Stop_Acquisition();
            return 1;
        }
    }
    Stop_Acquisition();
    printf("\rblocks transferred: %2d of %d%30s\n", Get_Blocks_Transferred(), BLOCKS_TO_ACQUIRE,
           "");

    /* Everything acquired is still in the ring: read each channel from its first sample until
     * the first sample not transferred. */
    for (i = 0; i < CHANNELS; ++i) {
        count[i] = Get_Data_Samples(samples[i], kChannel[i], 0, MAX_SAMPLES);
    }

    printf("\n%-8s %5s %9s %7s %7s  %s\n", "channel", "rate", "samples", "min", "max",
           "rising through the middle");
    for (i = 0; i < CHANNELS; ++i) {
        int lo = 65535, hi = 0, found;
        static int run[MAX_SAMPLES];
        for (k = 0; k < count[i]; ++k) {
            lo = samples[i][k] < lo ? samples[i][k] : lo;
            hi = samples[i][k] > hi ? samples[i][k] : hi;
        }
        /* The first rising crossing of the middle of the channel's range. */
        found = Get_Trigger(run, kChannel[i], 0, count[i], TRIGGER_RISING, (lo + hi) / 2);
        printf("%-8d %5d %9d %7d %7d  ", kChannel[i], Get_Sample_Rate(kChannel[i]), count[i],
               count[i] ? lo : 0, count[i] ? hi : 0);
        if (found) {
            printf("level %d: first at or above it %d\n", (lo + hi) / 2, found);
        } else {
            printf("level %d: none\n", (lo + hi) / 2);
        }
    }

    csv = fopen(csv_name, "w");
    if (csv == NULL) {
        fprintf(stderr, "cannot write %s\n", csv_name);
        return 1;
    }
    fprintf(csv, "sample");
    for (i = 0; i < CHANNELS; ++i) {
        fprintf(csv, ",channel%d", kChannel[i]);
    }
    fprintf(csv, "\n");
    for (k = 0; k < count[0]; ++k) {
        fprintf(csv, "%d", k);
        for (i = 0; i < CHANNELS; ++i) {
            if (k < count[i]) {
                fprintf(csv, ",%d", samples[i][k]);
            } else {
                fprintf(csv, ",");
            }
        }
        fprintf(csv, "\n");
    }
    fclose(csv);
    printf("samples written to %s\n", csv_name);
    return count[0] > 0 ? 0 : 1;
}
