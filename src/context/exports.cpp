// The 25 exported entry points. Each translates the C interface into one call on the library's
// own code; nothing here throws (every callee is noexcept).
#include "MV620ACQm.h"

#include "acquisition/acquisition.h"
#include "control/config_download.h"
#include "control/digital_lines.h"
#include "control/status_query.h"
#include "platform/window.h"

using namespace mv620;

// The codes of the public header are the subsystems' own.
static_assert(SAMPLE_NO_BLOCKS == acquisition::kSampleNoBlocks);
static_assert(SAMPLE_CHANNEL_OFF == acquisition::kSampleChannelOff);
static_assert(SAMPLE_NOT_YET == acquisition::kSampleNotYet);
static_assert(SAMPLE_OVERWRITTEN == acquisition::kSampleOverwritten);
static_assert(TRIGGER_RISING == acquisition::kTriggerRising);
static_assert(TRIGGER_FALLING == acquisition::kTriggerFalling);
static_assert(TRIGGER_AT_OR_ABOVE == acquisition::kTriggerAtOrAbove);
static_assert(TRIGGER_AT_OR_BELOW == acquisition::kTriggerAtOrBelow);
static_assert(STATUS_NO_ANSWER == control::kStatusNoAnswer);
static_assert(STATUS_THREE == control::kStatusThree);
static_assert(STATUS_BELOW_90 == control::kStatusBelow90);

namespace {

void* asWindow(HWND window) noexcept { return static_cast<void*>(window); }

} // namespace

extern "C" {

// ---- Acquisition ----------------------------------------------------------------------------

MV620_API int MV620_CALL Start_Acquisition(HWND window) {
    return acquisition::startAcquisition(asWindow(window));
}

MV620_API int MV620_CALL LV_Start_Acquisition(void) {
    return acquisition::startAcquisition(platform::foregroundWindow());
}

MV620_API int MV620_CALL Stop_Acquisition(void) {
    return static_cast<int>(acquisition::stopAcquisition());
}

MV620_API int MV620_CALL Get_Blocks_Transferred(void) {
    return static_cast<int>(acquisition::blocksTransferredSinceStart());
}

// ---- Channel rates --------------------------------------------------------------------------

MV620_API int MV620_CALL Set_Sample_Rate(int channel, int rate) {
    acquisition::setSampleRate(channel, rate);
    return acquisition::kChannelCount;
}

MV620_API int MV620_CALL Get_Sample_Rate(int channel) { return acquisition::sampleRate(channel); }

// ---- Reading samples ------------------------------------------------------------------------

MV620_API int MV620_CALL Get_DataPoint(int channel, int sampleIndex) {
    return acquisition::readSample(channel, static_cast<std::uint32_t>(sampleIndex));
}

MV620_API int MV620_CALL Get_Data_Samples(int* buffer, int channel, int firstSample, int count) {
    return acquisition::readSamples(buffer, channel, firstSample, count);
}

MV620_API int MV620_CALL Get_Trigger(int* buffer, int channel, int firstSample, int count, int mode,
                                     int level) {
    return acquisition::searchTrigger(buffer, channel, firstSample, count, mode, level);
}

MV620_API int MV620_CALL Get_Current_DataPoint(int channel) {
    return acquisition::currentSampleCount(channel);
}

MV620_API int MV620_CALL Get_Sample_Modulus(int channel) {
    return acquisition::sampleModulus(channel);
}

MV620_API int MV620_CALL Set_Sample_Boundary(int boundary) {
    return acquisition::setBoundary(boundary);
}

// ---- Lines and inputs -----------------------------------------------------------------------

MV620_API int MV620_CALL Do_AZ_On(void) { return control::switchLineOn(control::kAutozeroLine); }
MV620_API int MV620_CALL Do_AZ_Off(void) { return control::switchLineOff(control::kAutozeroLine); }

MV620_API int MV620_CALL Do_Odd_Cal_On(void) {
    return control::switchLineOn(control::kOddCalibrationLine);
}
MV620_API int MV620_CALL Do_Odd_Cal_Off(void) {
    return control::switchLineOff(control::kOddCalibrationLine);
}

MV620_API int MV620_CALL Do_Even_Cal_On(void) {
    return control::switchLineOn(control::kEvenCalibrationLine);
}
MV620_API int MV620_CALL Do_Even_Cal_Off(void) {
    return control::switchLineOff(control::kEvenCalibrationLine);
}

MV620_API int MV620_CALL Do_Output_On(int line) { return control::switchLineOn(line); }
MV620_API int MV620_CALL Do_Output_Off(int line) { return control::switchLineOff(line); }

MV620_API int MV620_CALL Do_Autozero(void) { return control::pulseAutozero(); }

MV620_API int MV620_CALL Get_Digital_Input(int bit) { return control::readDigitalInput(bit); }

// ---- Status and configuration ---------------------------------------------------------------

MV620_API int MV620_CALL Get_MV620ACQ_Status(void) { return control::queryStatus(); }

MV620_API int MV620_CALL Do_Download(HWND progressBar) {
    return control::downloadConfiguration(asWindow(progressBar), true);
}

MV620_API int MV620_CALL LV_Download(void) {
    return control::downloadConfiguration(nullptr, false);
}

} // extern "C"
