// The product DLL, MV620ACQm.dll, loaded by name from the program's folder as an application
// loads it, with its 25 functions.
//
// Wine hands a kernel driver the share mode and the options of a create but not the desired
// access (its I/O manager leaves Parameters.Create.SecurityContext empty), so the access the
// library asks for is taken where the library asks for it: the DLL's import of CreateFileA is
// pointed at a recorder that notes the arguments and calls the system's CreateFileA. The DLL's
// file and code stay as they ship.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mv620::kerneltest {

struct ProductLibrary {
    using Function0 = int(__cdecl*)();
    using FunctionInt = int(__cdecl*)(int);
    using FunctionWindow = int(__cdecl*)(HWND);

    FunctionWindow Start_Acquisition = nullptr;
    Function0 Stop_Acquisition = nullptr;
    Function0 Get_Blocks_Transferred = nullptr;
    int(__cdecl* Get_DataPoint)(int, int) = nullptr;
    int(__cdecl* Set_Sample_Rate)(int, int) = nullptr;
    FunctionInt Get_Sample_Rate = nullptr;
    FunctionWindow Do_Download = nullptr;
    Function0 Do_Autozero = nullptr;
    Function0 Do_Even_Cal_On = nullptr;
    Function0 Do_Even_Cal_Off = nullptr;
    Function0 Do_Odd_Cal_On = nullptr;
    Function0 Do_Odd_Cal_Off = nullptr;
    FunctionInt Do_Output_On = nullptr;
    FunctionInt Do_Output_Off = nullptr;
    FunctionInt Get_Digital_Input = nullptr;
    Function0 Do_AZ_On = nullptr;
    Function0 Do_AZ_Off = nullptr;
    Function0 LV_Start_Acquisition = nullptr;
    Function0 LV_Download = nullptr;
    int(__cdecl* Get_Data_Samples)(int*, int, int, int) = nullptr;
    int(__cdecl* Get_Trigger)(int*, int, int, int, int, int) = nullptr;
    FunctionInt Get_Current_DataPoint = nullptr;
    Function0 Get_MV620ACQ_Status = nullptr;
    FunctionInt Get_Sample_Modulus = nullptr;
    FunctionInt Set_Sample_Boundary = nullptr;

    HMODULE module = nullptr;
    bool complete = false;       // every function was found
    bool recordingOpens = false; // the import of CreateFileA leads to the recorder
};

// Loads the DLL once per process and keeps it loaded.
const ProductLibrary& productLibrary();

// One call of CreateFileA made by the DLL.
struct CreateFileCall {
    std::string path;
    DWORD desiredAccess = 0;
    DWORD shareMode = 0;
    bool securityGiven = false;
    DWORD securityLength = 0;
    BOOL inheritHandle = FALSE;
    DWORD creationDisposition = 0;
    DWORD flagsAndAttributes = 0;
    bool templateGiven = false;
    bool opened = false;
};

// The DLL's calls of CreateFileA since the last clear.
std::vector<CreateFileCall> createFileCalls();
void clearCreateFileCalls();

} // namespace mv620::kerneltest
